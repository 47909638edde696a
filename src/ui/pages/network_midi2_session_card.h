#pragma once

#include "model/project.h"
#include "ui/theme/widgets.h"

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace korvane {

class AppState;
class PortField;
class StatusDot;
class ToggleSwitch;
struct NetworkMIDI2Status;

// The editor of one Network MIDI 2.0 session, found in the project by id at
// every edit, with what the running session reports: its state and its
// peers with their round trip.
class NetworkMIDI2SessionCard : public TOVCard {
    Q_OBJECT
public:
    NetworkMIDI2SessionCard(AppState &state, Uuid id, QWidget *parent = nullptr);

    // `clashes`: enabled sessions of either kind holding the same UDP port;
    // `nameTaken`: another session of either kind has this name.
    void setSession(const NetworkMIDI2SessionConfig &session, const std::vector<std::string> &clashes,
                    bool nameTaken);
    // Absent while no session runs for this entry.
    void setRunning(const NetworkMIDI2Status *status);

    ToggleSwitch *enabledSwitch() const { return m_enabled; }
    QLineEdit *nameField() const { return m_name; }
    QLabel *kindLabel() const { return m_kind; }
    QComboBox *roleBox() const { return m_role; }
    PortField *localPortField() const { return m_localPort; }
    QWidget *remoteRow() const { return m_remoteRow; }
    QLineEdit *remoteHostField() const { return m_remoteHost; }
    PortField *remotePortField() const { return m_remotePort; }
    QSpinBox *fecBox() const { return m_fec; }
    QSpinBox *retransmitBox() const { return m_retransmit; }
    QSpinBox *groupBox() const { return m_group; }
    QLabel *stateLabel() const { return m_stateLabel; }
    StatusDot *peersDot() const { return m_peersDot; }
    QLabel *peersLabel() const { return m_peersLabel; }
    QLabel *peerList() const { return m_peerList; }
    QLabel *problemLabel() const { return m_problem; }
    QPushButton *deleteButton() const { return m_delete; }

private:
    void edit(const std::function<void(NetworkMIDI2SessionConfig &)> &change);
    QSpinBox *numberBox(int low, int high, const QString &name, const std::function<void(int)> &store);

    AppState &m_state;
    Uuid m_id;
    ToggleSwitch *m_enabled;
    QLineEdit *m_name;
    QLabel *m_kind;
    QLabel *m_stateLabel;
    StatusDot *m_peersDot;
    QLabel *m_peersLabel;
    QPushButton *m_delete;
    QComboBox *m_role;
    PortField *m_localPort;
    QWidget *m_remoteRow;
    QLineEdit *m_remoteHost;
    PortField *m_remotePort;
    QSpinBox *m_fec;
    QSpinBox *m_retransmit;
    QSpinBox *m_group;
    QLabel *m_peerList;
    QLabel *m_problem;
};

} // namespace korvane
