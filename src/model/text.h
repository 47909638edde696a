#pragma once

// The one conversion between Qt's strings and the standard strings the
// model, the MIDI layer and the network layer use (both UTF-8 on this side).

#include <QString>

#include <string>
#include <string_view>

namespace korvane {

inline QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string toStd(const QString &text)
{
    return text.toStdString();
}

} // namespace korvane
