#pragma once

#include "model/project.h"

#include <QAbstractTableModel>

#include <functional>
#include <vector>

namespace korvane {

class AppState;

// One row per input key, one column per output key; a cell is whether some
// enabled route joins the two. Endpoints that enabled routes use but that
// are not there now (unplugged, server stopped, session down) follow the
// present ones, marked absent, so their routes stay in view. Rows and
// columns are reset only when the key lists really change, so the focused
// cell survives ordinary refreshes.
class PatchMatrixModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // AbsentRole: on cells, and on headers for their row or column.
    enum Role { ConnectedRole = Qt::UserRole + 1, LoopRole, ActiveRole, AbsentRole };
    using IsActive = std::function<bool(const Uuid &routeID)>;

    PatchMatrixModel(AppState &state, IsActive isActive, QObject *parent = nullptr);

    // Reads the endpoint lists and the project again.
    void refresh();
    // Re-reads only which cells carried traffic lately.
    void refreshActivity();
    // What a click or Space on the cell does; nothing on a loop cell, nor
    // on an empty cell of an absent endpoint.
    void toggle(const QModelIndex &index);

    // Present endpoints first, then absent ones.
    const std::vector<EndpointKey> &inputs() const { return m_inputs; }
    const std::vector<EndpointKey> &outputs() const { return m_outputs; }
    std::vector<EndpointKey> presentInputs() const;
    std::vector<EndpointKey> presentOutputs() const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Cell {
        bool connected = false;
        bool loop = false;
        bool active = false;
        friend bool operator==(const Cell &, const Cell &) = default;
    };
    std::vector<Cell> computeCells() const;
    void applyCells(std::vector<Cell> cells);

    AppState &m_state;
    IsActive m_isActive;
    std::vector<EndpointKey> m_inputs;
    std::vector<EndpointKey> m_outputs;
    std::size_t m_presentInputs = 0;
    std::size_t m_presentOutputs = 0;
    std::vector<Cell> m_cells; // row-major
};

} // namespace korvane
