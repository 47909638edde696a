#pragma once

#include "net/rtp_discovery.h"
#include "ui/pages/page_controls.h"

#include <QFrame>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace korvane {

class AppState;

// One service found by DNS-SD, with the button that connects to it.
class DiscoveredRow : public QFrame {
    Q_OBJECT
public:
    DiscoveredRow(AppState &state, QWidget *parent = nullptr);
    void setPeer(const DiscoveredPeer &peer);
    QLabel *nameLabel() const { return m_name; }
    QLabel *addressLabel() const { return m_address; }
    QLabel *kindLabel() const { return m_kind; }
    QPushButton *connectButton() const { return m_connect; }

private:
    AppState &m_state;
    DiscoveredPeer m_peer;
    QLabel *m_name;
    QLabel *m_address;
    QLabel *m_kind;
    QPushButton *m_connect;
};

// The own publication and the services found on the network. The page calls
// refresh().
class DiscoverySection : public QWidget {
    Q_OBJECT
public:
    explicit DiscoverySection(AppState &state, QWidget *parent = nullptr);
    void refresh();

    QLabel *advertisedLabel() const { return m_advertised; }
    QLabel *advertisedMidi2Label() const { return m_advertisedMidi2; }
    QWidget *searchingRow() const { return m_searching; }
    std::vector<DiscoveredRow *> rows() const { return m_order; }

private:
    AppState &m_state;
    QLabel *m_advertised;
    QLabel *m_advertisedMidi2;
    QWidget *m_searching;
    std::unique_ptr<KeyedRows<DiscoveredRow>> m_rows;
    std::vector<DiscoveredRow *> m_order;
};

} // namespace korvane
