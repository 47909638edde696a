#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

class QToolButton;

namespace korvane {

// Sixteen channel buttons and the all/none button over one 16-bit mask
// (bit n-1 is channel n). Shows what setMask() gives it; a click reports
// the mask it asks for and changes nothing itself.
class ChannelMaskView : public QWidget {
    Q_OBJECT
public:
    explicit ChannelMaskView(std::function<void(std::uint16_t)> write, QWidget *parent = nullptr);
    void setMask(std::uint16_t mask);
    QToolButton *channelButton(int channel) const { return m_buttons[channel - 1]; }
    QToolButton *allOrNoneButton() const { return m_allOrNone; }

private:
    std::function<void(std::uint16_t)> m_write;
    std::array<QToolButton *, 16> m_buttons{};
    QToolButton *m_allOrNone = nullptr;
    std::uint16_t m_mask = 0xFFFF;
};

} // namespace korvane
