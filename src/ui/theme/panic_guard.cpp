#include "ui/theme/panic_guard.h"

#include "ui/theme/theme.h"

#include <QCoreApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLayout>
#include <QPushButton>

namespace korvane {

namespace {

const QString kBarName = QStringLiteral("korvanePanicBar");

} // namespace

PanicGuard::PanicGuard(std::function<void()> panic, QObject *parent)
    : QObject(parent), m_panic(std::move(panic))
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool PanicGuard::isPanicKey(const QKeyEvent &event)
{
    const Qt::KeyboardModifiers mods = event.modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    return event.key() == Qt::Key_Period && mods == Qt::ControlModifier;
}

QPushButton *PanicGuard::buttonIn(const QDialog *dialog)
{
    const auto *bar = dialog->findChild<QWidget *>(kBarName, Qt::FindDirectChildrenOnly);
    return bar ? bar->findChild<QPushButton *>() : nullptr;
}

bool PanicGuard::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Taken as a plain key press, so no shortcut (or a blocked one) gets it.
        if (isPanicKey(*static_cast<QKeyEvent *>(event))) {
            event->accept();
            return true;
        }
        break;
    case QEvent::KeyPress: {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (isPanicKey(*key)) {
            if (!key->isAutoRepeat())
                m_panic();
            return true;
        }
        break;
    }
    case QEvent::Polish:
    case QEvent::Show:
        // Polish comes before the dialog's first layout pass, so the bar is
        // counted in its size; Show catches dialogs polished before they
        // became modal.
        if (auto *dialog = qobject_cast<QDialog *>(watched);
            dialog && dialog->isWindow() && (dialog->isModal() || dialog->testAttribute(Qt::WA_ShowModal)))
            equip(dialog);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void PanicGuard::equip(QDialog *dialog)
{
    auto *bar = dialog->findChild<QWidget *>(kBarName, Qt::FindDirectChildrenOnly);
    if (!bar) {
        bar = new QWidget(dialog);
        bar->setObjectName(kBarName);
        auto *row = new QHBoxLayout(bar);
        row->setContentsMargins(12, 10, 12, 2);
        auto *button = new QPushButton(Theme::icon(QStringLiteral("octagon-alert"), Qt::white, 16),
                                       QStringLiteral("Panic"), bar);
        button->setToolTip(QStringLiteral("All Notes / All Sound Off"));
        button->setAutoDefault(false);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; font-weight: 600; "
                                             "border: 1px solid transparent; border-radius: 6px; "
                                             "padding: 4px 12px; }"
                                             "QPushButton:focus { border-color: white; }"
                                             "QPushButton:pressed { background: %2; }")
                                  .arg(Theme::systemRed().name(), Theme::systemRed().darker(130).name()));
        row->addWidget(button);
        row->addStretch(1);
        connect(button, &QPushButton::clicked, this, [this] { m_panic(); });
    }
    // A dialog that rebuilt its layout since gets the bar back on top.
    if (QLayout *layout = dialog->layout()) {
        if (layout->menuBar() != bar)
            layout->setMenuBar(bar);
    } else {
        bar->adjustSize();
    }
    bar->show();
}

} // namespace korvane
