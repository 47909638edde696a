#include "ui/pages/patch_matrix_view.h"

#include "ui/pages/patch_matrix_model.h"
#include "ui/theme/theme.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyledItemDelegate>

namespace korvane {

namespace {

// Names without the bevels of a button row: inputs left-aligned, outputs
// rotated by -55 degrees from the bottom of their column.
class MatrixHeader : public QHeaderView {
public:
    explicit MatrixHeader(Qt::Orientation orientation, QWidget *parent) : QHeaderView(orientation, parent)
    {
        setSectionResizeMode(QHeaderView::Fixed);
        setDefaultSectionSize(PatchMatrixView::kCell);
        setMinimumSectionSize(PatchMatrixView::kCell);
        setHighlightSections(false);
        setSectionsClickable(false);
        setFont(Theme::font(orientation == Qt::Horizontal ? Theme::TextStyle::caption2
                                                          : Theme::TextStyle::caption));
    }

protected:
    QSize sizeHint() const override
    {
        QSize size = QHeaderView::sizeHint();
        if (orientation() == Qt::Horizontal)
            size.setHeight(PatchMatrixView::kColumnHeaderHeight);
        else
            size.setWidth(PatchMatrixView::kRowHeaderWidth);
        return size;
    }

    // A rotated title reaches over the columns to its right: every title is
    // painted on each pass, so one column repainted alone cuts none.
    void paintEvent(QPaintEvent *event) override
    {
        if (orientation() == Qt::Vertical) {
            QHeaderView::paintEvent(event);
            return;
        }
        QPainter painter(viewport());
        for (int i = 0; i < count(); ++i) {
            const QRect rect(sectionViewportPosition(i), 0, sectionSize(i), viewport()->height());
            if (rect.right() + PatchMatrixView::kTitleOverhang < 0 || rect.left() > viewport()->width())
                continue;
            painter.save();
            paintSection(&painter, rect, i);
            painter.restore();
        }
    }

    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override
    {
        const QString name = model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
        const bool absent =
            model()->headerData(logicalIndex, orientation(), PatchMatrixModel::AbsentRole).toBool();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setRenderHint(QPainter::TextAntialiasing);
        painter->setPen(absent ? Theme::tertiaryText() : Theme::textPrimary());
        painter->setFont(font());
        // An absent endpoint is greyed behind the unplugged sign.
        const int sign = absent ? 16 : 0;
        const auto drawSign = [&](QPoint at) {
            if (absent)
                painter->drawPixmap(at, Theme::iconPixmap(QStringLiteral("unplug"), Theme::systemRed(), 12,
                                                          painter->device()->devicePixelRatioF()));
        };
        if (orientation() == Qt::Vertical) {
            const QRect text = rect.adjusted(4 + sign, 0, -8, 0);
            drawSign({rect.left() + 2, rect.center().y() - 6});
            painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                              fontMetrics().elidedText(name, Qt::ElideRight, text.width()));
            return;
        }
        // A 96 x 28 box turned about the bottom centre of the column.
        painter->translate(rect.center().x() - 2, rect.bottom() - 4);
        painter->rotate(-55);
        const QRect box(sign, -14, 96 - sign, 28);
        drawSign({0, -6});
        painter->drawText(box, Qt::AlignVCenter | Qt::AlignLeft,
                          fontMetrics().elidedText(name, Qt::ElideRight, box.width()));
    }
};

class MatrixCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        return {PatchMatrixView::kCell, PatchMatrixView::kCell};
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const bool connected = index.data(PatchMatrixModel::ConnectedRole).toBool();
        const bool loop = index.data(PatchMatrixModel::LoopRole).toBool();
        const bool active = index.data(PatchMatrixModel::ActiveRole).toBool();
        const bool absent = index.data(PatchMatrixModel::AbsentRole).toBool();
        const QRectF square = QRectF(option.rect).adjusted(1, 1, -1, -1);

        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setOpacity(loop ? 0.25 : absent ? 0.4 : 1.0);
        QPainterPath path;
        path.addRoundedRect(square, 5, 5);
        QColor idle = Theme::textSecondary();
        idle.setAlphaF(0.12f);
        painter->fillPath(path, connected ? Theme::accent() : idle);
        if (option.state & QStyle::State_HasFocus) {
            painter->setPen(QPen(Theme::textPrimary(), 1.5));
            painter->drawPath(path);
        }
        if (connected) {
            // The dot lights up while the route carries traffic.
            const qreal d = active ? 12 : 8;
            painter->setPen(Qt::NoPen);
            painter->setBrush(active ? Theme::ok() : QColor(Qt::white));
            painter->drawEllipse(QRectF(square.center().x() - d / 2, square.center().y() - d / 2, d, d));
        }
        painter->restore();
    }
};

} // namespace

PatchMatrixView::PatchMatrixView(PatchMatrixModel *model, QWidget *parent)
    : QTableView(parent), m_model(model)
{
    setHorizontalHeader(new MatrixHeader(Qt::Horizontal, this));
    setVerticalHeader(new MatrixHeader(Qt::Vertical, this));
    setModel(model);
    setItemDelegate(new MatrixCellDelegate(this));
    setShowGrid(false);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setCornerButtonEnabled(false);
    setFocusPolicy(Qt::StrongFocus);
    // One Tab stop: the arrows move between cells, Tab goes on to the cards.
    setTabKeyNavigation(false);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setStyleSheet(QStringLiteral("QTableView { background: transparent; }"
                                 "QHeaderView { background: transparent; border: none; }"
                                 "QTableCornerButton::section { background: transparent; border: none; }"));
    viewport()->setAutoFillBackground(false);
    for (QHeaderView *header : {horizontalHeader(), verticalHeader()})
        header->viewport()->setAutoFillBackground(false);
    horizontalHeader()->setFixedHeight(kColumnHeaderHeight);
    verticalHeader()->setFixedWidth(kRowHeaderWidth);
    connect(this, &QAbstractItemView::clicked, this,
            [this](const QModelIndex &index) { m_model->toggle(index); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { fitHeight(); });
    fitHeight();
}

void PatchMatrixView::updateGeometries()
{
    QTableView::updateGeometries();
    // Room to the right of the grid where the last rotated titles end; the
    // column header reaches over it.
    const QMargins margins = viewportMargins();
    if (margins.right() != kTitleOverhang)
        setViewportMargins(margins.left(), margins.top(), kTitleOverhang, margins.bottom());
    QHeaderView *header = horizontalHeader();
    header->setGeometry(header->x(), header->y(), viewport()->width() + kTitleOverhang, header->height());
}

void PatchMatrixView::fitHeight()
{
    int height = kColumnHeaderHeight + kCell * m_model->rowCount() + 2;
    const int contentWidth = kRowHeaderWidth + kCell * m_model->columnCount() + kTitleOverhang;
    // Room for the horizontal scroll bar when the columns do not fit.
    if (width() > 0 && contentWidth > width())
        height += horizontalScrollBar()->sizeHint().height();
    setFixedHeight(qMin(height, kMaxHeight));
}

void PatchMatrixView::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    // Only the height is fixed here, so this cannot resize the width again.
    fitHeight();
}

void PatchMatrixView::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            m_model->toggle(currentIndex());
            event->accept();
            return;
        }
        break;
    default:
        break;
    }
    QTableView::keyPressEvent(event);
}

} // namespace korvane
