#include "ui/pages/patch_matrix_model.h"

#include "app/app_state.h"
#include "midi/midi_router.h"
#include "model/text.h"

namespace korvane {

PatchMatrixModel::PatchMatrixModel(AppState &state, IsActive isActive, QObject *parent)
    : QAbstractTableModel(parent), m_state(state), m_isActive(std::move(isActive))
{
    refresh();
}

namespace {

// Appends `key` unless a key already listed denotes the same endpoint.
void appendAbsent(std::vector<EndpointKey> &keys, const EndpointKey &key)
{
    for (const EndpointKey &listed : keys)
        if (MIDIRouter::keysMatch(listed, key))
            return;
    keys.push_back(key);
}

} // namespace

void PatchMatrixModel::refresh()
{
    auto inputs = m_state.availableSourceKeys();
    auto outputs = m_state.availableDestinationKeys();
    const std::size_t presentInputs = inputs.size(), presentOutputs = outputs.size();
    for (const Route &route : m_state.project().routes) {
        if (!route.enabled)
            continue;
        appendAbsent(inputs, route.source);
        for (const EndpointKey &destination : route.destinations)
            appendAbsent(outputs, destination);
    }
    if (inputs != m_inputs || outputs != m_outputs || presentInputs != m_presentInputs ||
        presentOutputs != m_presentOutputs) {
        beginResetModel();
        m_inputs = std::move(inputs);
        m_outputs = std::move(outputs);
        m_presentInputs = presentInputs;
        m_presentOutputs = presentOutputs;
        m_cells = computeCells();
        endResetModel();
        return;
    }
    applyCells(computeCells());
}

std::vector<EndpointKey> PatchMatrixModel::presentInputs() const
{
    return {m_inputs.begin(), m_inputs.begin() + static_cast<long>(m_presentInputs)};
}

std::vector<EndpointKey> PatchMatrixModel::presentOutputs() const
{
    return {m_outputs.begin(), m_outputs.begin() + static_cast<long>(m_presentOutputs)};
}

void PatchMatrixModel::refreshActivity()
{
    applyCells(computeCells());
}

std::vector<PatchMatrixModel::Cell> PatchMatrixModel::computeCells() const
{
    const auto &routes = m_state.project().routes;
    std::vector<Cell> cells(m_inputs.size() * m_outputs.size());
    for (std::size_t r = 0; r < m_inputs.size(); ++r) {
        for (std::size_t c = 0; c < m_outputs.size(); ++c) {
            Cell &cell = cells[r * m_outputs.size() + c];
            cell.loop = MIDIRouter::keysMatch(m_inputs[r], m_outputs[c]);
            cell.connected = m_state.hasMatrixConnection(m_inputs[r], m_outputs[c]);
            if (!cell.connected || !m_isActive)
                continue;
            for (const Route &route : routes) {
                if (!route.enabled || !MIDIRouter::keysMatch(route.source, m_inputs[r]))
                    continue;
                for (const EndpointKey &d : route.destinations)
                    cell.active =
                        cell.active || (MIDIRouter::keysMatch(d, m_outputs[c]) && m_isActive(route.id));
            }
        }
    }
    return cells;
}

void PatchMatrixModel::applyCells(std::vector<Cell> cells)
{
    if (cells == m_cells)
        return;
    m_cells = std::move(cells);
    if (!m_cells.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

void PatchMatrixModel::toggle(const QModelIndex &index)
{
    if (!index.isValid() || index.model() != this || index.data(LoopRole).toBool() ||
        (index.data(AbsentRole).toBool() && !index.data(ConnectedRole).toBool()))
        return;
    // Copies: the edit below changes what the lists are read from.
    const EndpointKey source = m_inputs[index.row()];
    const EndpointKey destination = m_outputs[index.column()];
    m_state.toggleMatrix(source, destination);
}

int PatchMatrixModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_inputs.size());
}

int PatchMatrixModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_outputs.size());
}

QVariant PatchMatrixModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Cell &cell = m_cells[static_cast<std::size_t>(index.row()) * m_outputs.size() + index.column()];
    switch (role) {
    case ConnectedRole:
        return cell.connected;
    case LoopRole:
        return cell.loop;
    case ActiveRole:
        return cell.active;
    case AbsentRole:
        return static_cast<std::size_t>(index.row()) >= m_presentInputs ||
               static_cast<std::size_t>(index.column()) >= m_presentOutputs;
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        if (cell.loop)
            return QStringLiteral("Boucle interdite");
        return toQString(m_inputs[index.row()].name + " \u2192 " + m_outputs[index.column()].name) +
               (index.data(AbsentRole).toBool() ? QStringLiteral(" (absent)") : QString());
    default:
        return {};
    }
}

QVariant PatchMatrixModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    const auto &keys = orientation == Qt::Horizontal ? m_outputs : m_inputs;
    if (section < 0 || section >= static_cast<int>(keys.size()))
        return {};
    const EndpointKey &key = keys[section];
    const bool absent = static_cast<std::size_t>(section) >=
                        (orientation == Qt::Horizontal ? m_presentOutputs : m_presentInputs);
    if (role == Qt::DisplayRole)
        return toQString(key.name);
    if (role == Qt::ToolTipRole)
        return toQString(m_state.displayName(key)) + (absent ? QStringLiteral(" (absent)") : QString());
    if (role == AbsentRole)
        return absent;
    return {};
}

Qt::ItemFlags PatchMatrixModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (index.data(LoopRole).toBool())
        return Qt::NoItemFlags;
    // An absent endpoint's cell only lets its route be removed.
    if (index.data(AbsentRole).toBool() && !index.data(ConnectedRole).toBool())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled;
}

} // namespace korvane
