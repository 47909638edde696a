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

    void paintSection(QPainter *painter, const QRect &rect, int logicalIndex) const override
    {
        const QString name = model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setRenderHint(QPainter::TextAntialiasing);
        painter->setPen(Theme::textPrimary());
        painter->setFont(font());
        if (orientation() == Qt::Vertical) {
            const QRect text = rect.adjusted(4, 0, -8, 0);
            painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                              fontMetrics().elidedText(name, Qt::ElideRight, text.width()));
            return;
        }
        // A 96 x 28 box turned about the bottom centre of the column.
        painter->translate(rect.center().x() - 2, rect.bottom() - 4);
        painter->rotate(-55);
        const QRect box(0, -14, 96, 28);
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
        const QRectF square = QRectF(option.rect).adjusted(1, 1, -1, -1);

        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setOpacity(loop ? 0.25 : 1.0);
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

void PatchMatrixView::fitHeight()
{
    int height = kColumnHeaderHeight + kCell * m_model->rowCount() + 2;
    const int contentWidth = kRowHeaderWidth + kCell * m_model->columnCount();
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
