#pragma once

#include "model/project.h"
#include "ui/theme/widgets.h"

#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace korvane {

class AppState;
class ChannelMaskView;
class ToggleSwitch;

// Removable chips, one per item, or "Aucune destination".
class FlowChips : public QWidget {
    Q_OBJECT
public:
    explicit FlowChips(QWidget *parent = nullptr);
    void setItems(const QStringList &items);
    QStringList items() const { return m_items; }
    // The remove button of chip i.
    QToolButton *removeButton(int index) const;

signals:
    void removeRequested(int index);

private:
    QStringList m_items;
    QLabel *m_empty;
    std::vector<QWidget *> m_chips;
};

// One route's editor, bound to the route by id: every edit finds the route
// in the project again and writes only a real change. refresh() shows the
// project as it is now; a route gone from it leaves the card as it was
// until the page removes the card.
class RouteCard : public TOVCard {
    Q_OBJECT
public:
    RouteCard(AppState &state, const Uuid &routeID, QWidget *parent = nullptr);

    const Uuid &routeID() const { return m_id; }
    void refresh(const std::vector<EndpointKey> &inputs, const std::vector<EndpointKey> &outputs);
    void setActive(bool active);

    ToggleSwitch *enabledSwitch() const { return m_enabled; }
    QLineEdit *nameField() const { return m_name; }
    QToolButton *deleteButton() const { return m_delete; }
    QComboBox *sourcePicker() const { return m_source; }
    QComboBox *filterPicker() const { return m_filter; }
    FlowChips *destinationChips() const { return m_chips; }
    QToolButton *addDestinationButton() const { return m_addDestination; }
    ChannelMaskView *channelMask() const { return m_mask; }
    StatusDot *activityLight() const { return m_light; }

signals:
    // After the trash button took the route out of the project; `index` was its place.
    void deleted(const korvane::Route &route, int index);

private:
    const Route *route() const;
    void edit(const std::function<void(Route &)> &change);
    void fillSource(const Route &route);
    void fillFilter(const Route &route);
    void fillDestinationMenu();

    AppState &m_state;
    const Uuid m_id;
    std::vector<EndpointKey> m_inputs;  // what the source picker offers, in its order
    std::vector<EndpointKey> m_outputs; // what the destination menu offers
    StatusDot *m_light;
    ToggleSwitch *m_enabled;
    QLineEdit *m_name;
    QToolButton *m_delete;
    QComboBox *m_source;
    QComboBox *m_filter;
    FlowChips *m_chips;
    QToolButton *m_addDestination;
    ChannelMaskView *m_mask;
};

} // namespace korvane
