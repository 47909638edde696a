#pragma once

// The rows of the devices page. Each is updated in place by the page's
// refresh and writes its edits to the project through the controller.

#include "midi/midi_engine.h"
#include "model/project.h"
#include "ui/pages/config_checks.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace korvane {

class AppState;
class StatusDot;

// One platform endpoint: online dot, nickname field, "<name> · ID <id>", and
// the "VIRTUEL" badge for the program's own ports.
class EndpointRow : public QWidget {
    Q_OBJECT
public:
    EndpointRow(AppState &state, QWidget *parent = nullptr);
    void setInfo(const MIDIEndpointInfo &info);

    QLineEdit *nicknameField() const { return m_nickname; }
    QLabel *detailLabel() const { return m_detail; }
    QLabel *virtualBadge() const { return m_badge; }
    StatusDot *onlineDot() const { return m_dot; }

private:
    AppState &m_state;
    MIDIEndpointInfo m_info;
    StatusDot *m_dot;
    QLineEdit *m_nickname;
    QLabel *m_detail;
    QLabel *m_badge;
};

// One of the program's virtual ports: name, "Out", "In", delete. Found in the
// project by id at every edit.
class VirtualPortRow : public QWidget {
    Q_OBJECT
public:
    VirtualPortRow(AppState &state, Uuid id, QWidget *parent = nullptr);
    void setPort(const VirtualPortConfig &port, PortNameProblem problem);

    QLineEdit *nameField() const { return m_name; }
    QCheckBox *outBox() const { return m_out; }
    QCheckBox *inBox() const { return m_in; }
    QPushButton *deleteButton() const { return m_delete; }
    QLabel *problemLabel() const { return m_problem; }

private:
    void edit(const std::function<void(VirtualPortConfig &)> &change);

    AppState &m_state;
    Uuid m_id;
    QLineEdit *m_name;
    QCheckBox *m_out;
    QCheckBox *m_in;
    QLabel *m_problem;
    QPushButton *m_delete;
};

// A device the project needs that is absent, with the button that stops watching it.
class MissingDeviceRow : public QWidget {
    Q_OBJECT
public:
    MissingDeviceRow(AppState &state, QWidget *parent = nullptr);
    void setKey(const EndpointKey &key);

    QLabel *nameLabel() const { return m_name; }
    QPushButton *forgetButton() const { return m_forget; }

private:
    AppState &m_state;
    EndpointKey m_key;
    QLabel *m_name;
    QPushButton *m_forget;
};

} // namespace korvane
