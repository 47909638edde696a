#pragma once

#include "model/project.h"
#include "net/network_interfaces.h"
#include "ui/theme/widgets.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace korvane {

class AppState;
class PortField;
class StatusDot;
class ToggleSwitch;
struct RTPSessionStatus;

// The editor of one network session, found in the project by id at every
// edit. What the running session reports (state, peers, round trips) is
// shown beside its name.
class RTPSessionCard : public TOVCard {
    Q_OBJECT
public:
    RTPSessionCard(AppState &state, Uuid id, QWidget *parent = nullptr);

    // `clashes`: other enabled sessions this one cannot share its ports with.
    void setSession(const RTPSessionConfig &session, const std::vector<NetInterface> &interfaces,
                    const std::vector<std::string> &clashes);
    // Peers as the manager lists them; status absent while no session runs for this entry.
    void setRunning(const std::vector<std::string> &peers, const RTPSessionStatus *status);

    ToggleSwitch *enabledSwitch() const { return m_enabled; }
    QLineEdit *nameField() const { return m_name; }
    QComboBox *roleBox() const { return m_role; }
    PortField *localPortField() const { return m_localPort; }
    QComboBox *interfaceBox() const { return m_interface; }
    QLabel *addressesLabel() const { return m_addresses; }
    QWidget *remoteRow() const { return m_remoteRow; }
    QLineEdit *remoteHostField() const { return m_remoteHost; }
    PortField *remotePortField() const { return m_remotePort; }
    QLabel *peersLabel() const { return m_peersLabel; }
    StatusDot *peersDot() const { return m_peersDot; }
    QWidget *peersBadge() const { return m_badge; }
    QLabel *stateLabel() const { return m_stateLabel; }
    QLabel *clashLabel() const { return m_clash; }
    ToggleSwitch *journalSwitch() const { return m_journal; }
    QComboBox *accessBox() const { return m_access; }
    QLineEdit *allowedHostsField() const { return m_hosts; }
    QLabel *allowedHostsError() const { return m_hostsError; }
    QPushButton *deleteButton() const { return m_delete; }

private:
    void edit(const std::function<void(RTPSessionConfig &)> &change);

    AppState &m_state;
    Uuid m_id;
    std::vector<NetInterface> m_interfaces;
    ToggleSwitch *m_enabled;
    QLineEdit *m_name;
    QLabel *m_stateLabel;
    QWidget *m_badge;
    StatusDot *m_peersDot;
    QLabel *m_peersLabel;
    QPushButton *m_delete;
    QComboBox *m_role;
    PortField *m_localPort;
    QComboBox *m_interface;
    QLabel *m_addresses;
    QWidget *m_remoteRow;
    QLineEdit *m_remoteHost;
    PortField *m_remotePort;
    QLabel *m_clash;
    ToggleSwitch *m_journal;
    QComboBox *m_access;
    QLineEdit *m_hosts;
    QLabel *m_hostsError;
};

} // namespace korvane
