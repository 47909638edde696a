#pragma once

#include "ui/pages/page_controls.h"
#include "ui/theme/coalesced_call.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace korvane {

class AppState;
class EndpointRow;
class MissingDeviceRow;
class VirtualPortRow;

// Every MIDI endpoint of the machine with its nickname, the devices the show
// misses, and the program's own virtual ports. Refreshed (coalesced, while
// shown) on project, presence and endpoint-list changes; rows are kept by id
// so a hot-plug never disturbs a field being typed in.
class DevicesPage : public QWidget {
    Q_OBJECT
public:
    explicit DevicesPage(AppState &state, QWidget *parent = nullptr);

    QWidget *missingSection() const { return m_missingSection; }
    QLabel *inputsHeader() const { return m_inputsHeader; }
    QLabel *outputsHeader() const { return m_outputsHeader; }
    QLabel *inputsEmpty() const { return m_inputsEmpty; }
    QLabel *outputsEmpty() const { return m_outputsEmpty; }
    QPushButton *addPortButton() const { return m_addPort; }
    QPushButton *applyPortsButton() const { return m_applyPorts; }
    std::vector<MissingDeviceRow *> missingRows() const { return m_missingOrder; }
    std::vector<EndpointRow *> inputRows() const { return m_inputOrder; }
    std::vector<EndpointRow *> outputRows() const { return m_outputOrder; }
    std::vector<VirtualPortRow *> portRows() const { return m_portOrder; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    AppState &m_state;
    QWidget *m_missingSection = nullptr;
    QLabel *m_inputsHeader = nullptr;
    QLabel *m_outputsHeader = nullptr;
    QLabel *m_inputsEmpty = nullptr;
    QLabel *m_outputsEmpty = nullptr;
    QPushButton *m_addPort = nullptr;
    QPushButton *m_applyPorts = nullptr;
    std::unique_ptr<KeyedRows<MissingDeviceRow>> m_missing;
    std::unique_ptr<KeyedRows<EndpointRow>> m_inputs;
    std::unique_ptr<KeyedRows<EndpointRow>> m_outputs;
    std::unique_ptr<KeyedRows<VirtualPortRow>> m_ports;
    std::vector<MissingDeviceRow *> m_missingOrder;
    std::vector<EndpointRow *> m_inputOrder;
    std::vector<EndpointRow *> m_outputOrder;
    std::vector<VirtualPortRow *> m_portOrder;
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    refresh();
                            }};
};

} // namespace korvane
