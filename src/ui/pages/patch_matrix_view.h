#pragma once

#include <QTableView>

namespace korvane {

class PatchMatrixModel;

// The matrix grid: input names down the left, output names rotated across
// the top, one rounded cell per pair. A click, Space or Return on a cell
// toggles its direct route; the arrows move between cells.
class PatchMatrixView : public QTableView {
    Q_OBJECT
public:
    static constexpr int kCell = 32; // a 30 px square and its margin
    static constexpr int kRowHeaderWidth = 150;
    static constexpr int kColumnHeaderHeight = 96;
    static constexpr int kMaxHeight = 360;
    // How far a rotated title reaches right of its column.
    static constexpr int kTitleOverhang = 64;

    explicit PatchMatrixView(PatchMatrixModel *model, QWidget *parent = nullptr);
    PatchMatrixModel *matrix() const { return m_model; }
    // The height the grid needs, at most kMaxHeight; called after each refresh.
    void fitHeight();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void updateGeometries() override;
    void resizeEvent(QResizeEvent *event) override;

private:
    PatchMatrixModel *m_model;
};

} // namespace korvane
