#include "ui/theme/focus_ring.h"

#include "ui/theme/theme.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>

namespace korvane {

namespace {

constexpr int kOutset = 3;

QPointer<FocusRing> s_ring;

bool marksFocusItself(const QWidget *widget)
{
    return qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QPlainTextEdit *>(widget) ||
           qobject_cast<const QAbstractSpinBox *>(widget);
}

// Watches focus for the whole application and moves the one ring.
class FocusWatcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::FocusIn && event->type() != QEvent::FocusOut)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || widget->isWindow())
            return false;
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        if (event->type() == QEvent::FocusOut) {
            if (s_ring && s_ring->target() == widget && reason != Qt::PopupFocusReason)
                s_ring->hide();
            return false;
        }
        // A click, or the window coming back, is no keyboard move to show.
        if (reason == Qt::MouseFocusReason || reason == Qt::ActiveWindowFocusReason ||
            reason == Qt::PopupFocusReason || marksFocusItself(widget) || !widget->parentWidget()) {
            if (s_ring)
                s_ring->hide();
            return false;
        }
        FocusRing::showOn(widget);
        return false;
    }
};

} // namespace

void FocusRing::install(QObject *application)
{
    application->installEventFilter(new FocusWatcher(application));
}

FocusRing *FocusRing::shown()
{
    return s_ring && s_ring->isVisible() ? s_ring.data() : nullptr;
}

void FocusRing::showOn(QWidget *target)
{
    if (!s_ring)
        s_ring = new FocusRing(target);
    s_ring->follow(target);
}

FocusRing::FocusRing(QWidget *target) : QWidget(target->parentWidget())
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void FocusRing::follow(QWidget *target)
{
    if (m_target)
        m_target->removeEventFilter(this);
    m_target = target;
    if (parentWidget() != target->parentWidget())
        setParent(target->parentWidget());
    target->installEventFilter(this);
    place();
}

void FocusRing::place()
{
    if (!m_target || !m_target->isVisible()) {
        hide();
        return;
    }
    setGeometry(m_target->geometry().adjusted(-kOutset, -kOutset, kOutset, kOutset));
    raise();
    show();
}

bool FocusRing::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
            place();
            break;
        case QEvent::Hide:
            hide();
            break;
        default:
            break;
        }
    }
    return false;
}

void FocusRing::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Theme::accent(), 2));
    painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
}

} // namespace korvane
