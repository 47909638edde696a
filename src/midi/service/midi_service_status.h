#pragma once

// What a MIDI service call that can fail reports: a kind every backend shares,
// and the backend's own code for logs. The class is [[nodiscard]]: a caller
// that means to ignore a failure says so with a cast to void.

#include <cstdint>
#include <string_view>

namespace korvane {

enum class MidiServiceError : std::uint8_t {
    none = 0,
    serverUnreachable, // no server answered, or it refused the client
    alreadyOpen,       // the service serves one client at a time
    notOpen,           // no client, or the server has gone away since
    unknownObject,     // a handle this client does not know, or of the wrong kind
    rejected,          // the message was not queued: no room, or too large for the service
    backendFailure,    // anything else the backend reports
};

constexpr std::string_view toString(MidiServiceError error)
{
    switch (error) {
    case MidiServiceError::none:
        return "none";
    case MidiServiceError::serverUnreachable:
        return "serverUnreachable";
    case MidiServiceError::alreadyOpen:
        return "alreadyOpen";
    case MidiServiceError::notOpen:
        return "notOpen";
    case MidiServiceError::unknownObject:
        return "unknownObject";
    case MidiServiceError::rejected:
        return "rejected";
    case MidiServiceError::backendFailure:
        return "backendFailure";
    }
    return "?";
}

class [[nodiscard]] MidiServiceStatus {
public:
    constexpr MidiServiceStatus() = default;
    constexpr MidiServiceStatus(MidiServiceError error, int nativeCode = 0)
        : m_error(error), m_nativeCode(error == MidiServiceError::none ? 0 : nativeCode)
    {
    }

    constexpr bool ok() const { return m_error == MidiServiceError::none; }
    constexpr explicit operator bool() const { return ok(); }
    constexpr MidiServiceError error() const { return m_error; }
    // The backend's own code (JACK's status bits, for instance); 0 when it gave none.
    constexpr int nativeCode() const { return m_nativeCode; }
    // One number for log lines: 0 on success, else the native code, else the
    // error kind's value (never 0 for a failure).
    constexpr int code() const
    {
        if (ok())
            return 0;
        return m_nativeCode != 0 ? m_nativeCode : static_cast<int>(m_error);
    }

    friend constexpr bool operator==(const MidiServiceStatus &, const MidiServiceStatus &) = default;

private:
    MidiServiceError m_error = MidiServiceError::none;
    int m_nativeCode = 0;
};

} // namespace korvane
