#pragma once

#include "ui/pages/page_controls.h"
#include "ui/theme/coalesced_call.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace korvane {

class AppState;
class DiscoverySection;
class NetworkMIDI2SessionCard;
class RTPSessionCard;

// The project's network sessions, the services found by DNS-SD and the
// network log. Refreshed (coalesced, while shown) on project, session,
// log and discovery changes; cards are kept by session id.
class NetworkPage : public QWidget {
    Q_OBJECT
public:
    explicit NetworkPage(AppState &state, QWidget *parent = nullptr);

    QPushButton *newSessionButton() const { return m_newSession; }
    QPushButton *applyButton() const { return m_apply; }
    DiscoverySection *discovery() const { return m_discovery; }
    QLabel *noSessionLabel() const { return m_noSession; }
    std::vector<RTPSessionCard *> cards() const { return m_cardOrder; }
    QPushButton *newMidi2Button() const { return m_newMidi2; }
    QLabel *noMidi2Label() const { return m_noMidi2; }
    std::vector<NetworkMIDI2SessionCard *> midi2Cards() const { return m_midi2Order; }
    QWidget *logBlock() const { return m_logBlock; }
    QLabel *logText() const { return m_log; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void refreshMidi2();

    AppState &m_state;
    QPushButton *m_newSession = nullptr;
    QPushButton *m_apply = nullptr;
    DiscoverySection *m_discovery = nullptr;
    QLabel *m_noSession = nullptr;
    QWidget *m_logBlock = nullptr;
    QLabel *m_log = nullptr;
    std::unique_ptr<KeyedRows<RTPSessionCard>> m_cards;
    std::vector<RTPSessionCard *> m_cardOrder;
    QPushButton *m_newMidi2 = nullptr;
    QLabel *m_noMidi2 = nullptr;
    std::unique_ptr<KeyedRows<NetworkMIDI2SessionCard>> m_midi2Cards;
    std::vector<NetworkMIDI2SessionCard *> m_midi2Order;
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    refresh();
                            }};
};

} // namespace korvane
