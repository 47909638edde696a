#pragma once

// A small JACK client playing "another program": one MIDI output port "out"
// and one MIDI input port "in". Sends are queued to its process callback;
// what arrives is kept with its frame time. It counts the cycles it ran and
// the xruns the server reported: under load the dummy driver skips a client's
// cycle now and then, and what another client wrote for that cycle is gone.
// PipeWire's JACK reports no xruns to clients: a skipped cycle also counts
// when the frame time jumps by more than one period between two cycles.

#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace korvane::test {

class JackTestClient {
public:
    struct Event {
        std::vector<std::uint8_t> bytes;
        jack_nframes_t frame = 0; // absolute frame time of the event
        jack_time_t usecs = 0;    // JACK clock when the cycle that received it began
    };

    enum Ports { both, outOnly, inOnly };

    explicit JackTestClient(const std::string &name, const std::string &server = {}, Ports ports = both)
    {
        // A program on PipeWire's JACK must ask for its MIDI unchanged, as
        // KORVANE does: by default a note-on of velocity 0 becomes a note-off.
        if (onPipeWire())
            setenv("PIPEWIRE_PROPS", "{ jack.fix-midi-events = false }", 0);
        jack_status_t status{};
        const auto options =
            static_cast<jack_options_t>(JackNoStartServer | (server.empty() ? 0 : JackServerName));
        m_client = server.empty() ? jack_client_open(name.c_str(), options, &status)
                                  : jack_client_open(name.c_str(), options, &status, server.c_str());
        if (!m_client)
            return;
        if (ports != inOnly)
            m_out = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (ports != outOnly)
            m_in = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        // JACK reuses port uuids, and its metadata store outlives the ports:
        // start without anything an earlier port with the same uuid left.
        clearProperties();
        jack_set_process_callback(m_client, &JackTestClient::process, this);
        jack_set_xrun_callback(
            m_client,
            [](void *arg) {
                static_cast<JackTestClient *>(arg)->m_xruns.fetch_add(1);
                return 0;
            },
            this);
        jack_activate(m_client);
    }
    ~JackTestClient()
    {
        if (m_client) {
            clearProperties();
            jack_deactivate(m_client);
            jack_client_close(m_client);
        }
        for (jack_ringbuffer_t *buffer : {m_toSend, m_arrived, m_departures})
            jack_ringbuffer_free(buffer);
    }
    JackTestClient(const JackTestClient &) = delete;
    JackTestClient &operator=(const JackTestClient &) = delete;

    static bool onPipeWire() { return std::strstr(jack_get_version_string(), "PipeWire") != nullptr; }

    bool ok() const { return m_client && (m_out || m_in); }
    std::string name() const { return jack_get_client_name(m_client); }
    std::string outPort() const { return name() + ":out"; }
    std::string inPort() const { return name() + ":in"; }
    jack_client_t *client() const { return m_client; }
    jack_nframes_t bufferSize() const { return jack_get_buffer_size(m_client); }

    // Every port connected to `port`, as the graph holds it.
    std::vector<std::string> connections(const std::string &port) const
    {
        jack_port_t *p = jack_port_by_name(m_client, port.c_str());
        return p ? take(jack_port_get_all_connections(m_client, p)) : std::vector<std::string>{};
    }
    // Every port whose name matches the regular expression.
    std::vector<std::string> ports(const std::string &pattern) const
    {
        return take(jack_get_ports(m_client, pattern.c_str(), nullptr, 0));
    }

    bool connect(const std::string &from, const std::string &to)
    {
        const int rc = jack_connect(m_client, from.c_str(), to.c_str());
        return rc == 0 || rc == EEXIST;
    }

    std::uint64_t xruns() const { return m_xruns.load(); }
    // A connection made now shows in the graph, and carries data, from the
    // cycle after the one in progress: waits until this client has run two
    // more cycles (bounded).
    bool waitTwoCycles() const
    {
        const std::uint64_t start = m_cycles.load();
        for (int i = 0; i < 2000 && m_cycles.load() < start + 2; ++i)
            usleep(1000);
        return m_cycles.load() >= start + 2;
    }

    // Goes out at the start of the next cycle (see departures()).
    void send(const std::vector<std::uint8_t> &bytes)
    {
        const std::uint32_t size = static_cast<std::uint32_t>(bytes.size());
        std::lock_guard lock(m_sendMutex);
        jack_ringbuffer_write(m_toSend, reinterpret_cast<const char *>(&size), sizeof size);
        jack_ringbuffer_write(m_toSend, reinterpret_cast<const char *>(bytes.data()), size);
    }

    // Everything received so far.
    std::vector<Event> received()
    {
        Arrival header{};
        while (jack_ringbuffer_peek(m_arrived, reinterpret_cast<char *>(&header), sizeof header) ==
                   sizeof header &&
               jack_ringbuffer_read_space(m_arrived) >= sizeof header + header.size) {
            jack_ringbuffer_read_advance(m_arrived, sizeof header);
            Event &event = m_events.emplace_back(
                Event{std::vector<std::uint8_t>(header.size), header.frame, header.usecs});
            jack_ringbuffer_read(m_arrived, reinterpret_cast<char *>(event.bytes.data()), header.size);
        }
        return m_events;
    }
    std::vector<std::vector<std::uint8_t>> receivedBytes()
    {
        std::vector<std::vector<std::uint8_t>> result;
        for (const Event &event : received())
            result.push_back(event.bytes);
        return result;
    }

    // When queued events actually left (frame time of the cycle start), in order.
    struct Departure {
        jack_nframes_t frame = 0;
    };
    std::vector<Departure> departures()
    {
        Departure departure;
        while (jack_ringbuffer_read(m_departures, reinterpret_cast<char *>(&departure), sizeof departure) ==
               sizeof departure)
            m_sent.push_back(departure);
        return m_sent;
    }

private:
    static std::vector<std::string> take(const char **names)
    {
        std::vector<std::string> result;
        for (const char **n = names; n && *n; ++n)
            result.emplace_back(*n);
        jack_free(names);
        return result;
    }
    void clearProperties()
    {
        for (jack_port_t *port : {m_out, m_in})
            if (port)
                jack_remove_properties(m_client, jack_port_uuid(port));
    }

    struct Arrival {
        std::uint32_t size = 0;
        jack_nframes_t frame;
        jack_time_t usecs;
    };

    static int process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<JackTestClient *>(arg);
        const jack_nframes_t start = jack_last_frame_time(self->m_client);
        const jack_time_t now = jack_get_time();
        void *out = self->m_out ? jack_port_get_buffer(self->m_out, frames) : nullptr;
        if (out)
            jack_midi_clear_buffer(out);
        std::uint32_t size = 0;
        while (out &&
               jack_ringbuffer_peek(self->m_toSend, reinterpret_cast<char *>(&size), sizeof size) ==
                   sizeof size &&
               jack_ringbuffer_read_space(self->m_toSend) >= sizeof size + size) {
            jack_midi_data_t *data = jack_midi_event_reserve(out, 0, size);
            if (!data)
                break;
            jack_ringbuffer_read_advance(self->m_toSend, sizeof size);
            jack_ringbuffer_read(self->m_toSend, reinterpret_cast<char *>(data), size);
            const Departure departure{start};
            jack_ringbuffer_write(self->m_departures, reinterpret_cast<const char *>(&departure),
                                  sizeof departure);
        }
        void *in = self->m_in ? jack_port_get_buffer(self->m_in, frames) : nullptr;
        const std::uint32_t count = in ? jack_midi_get_event_count(in) : 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, i) != 0)
                continue;
            const Arrival header{static_cast<std::uint32_t>(event.size), start + event.time, now};
            if (jack_ringbuffer_write_space(self->m_arrived) < sizeof header + event.size)
                continue;
            jack_ringbuffer_write(self->m_arrived, reinterpret_cast<const char *>(&header), sizeof header);
            jack_ringbuffer_write(self->m_arrived, reinterpret_cast<const char *>(event.buffer), event.size);
        }
        if (self->m_cycles.fetch_add(1) > 0 && start != self->m_lastStart + frames)
            self->m_xruns.fetch_add(1);
        self->m_lastStart = start;
        return 0;
    }

    jack_client_t *m_client = nullptr;
    jack_port_t *m_out = nullptr;
    jack_port_t *m_in = nullptr;
    jack_ringbuffer_t *m_toSend = jack_ringbuffer_create(1 << 14);
    jack_ringbuffer_t *m_arrived = jack_ringbuffer_create(1 << 18);
    jack_ringbuffer_t *m_departures = jack_ringbuffer_create(1 << 14);
    std::mutex m_sendMutex;
    std::atomic<std::uint64_t> m_cycles{0};
    std::atomic<std::uint64_t> m_xruns{0};
    jack_nframes_t m_lastStart = 0; // process callback only
    std::vector<Event> m_events;
    std::vector<Departure> m_sent;
};

// Runs `attempt` until it returns true: again only when one of `clients` saw
// a skipped cycle meanwhile (what was written for it is gone, the only loss a
// test forgives), three times at most.
template <class Attempt>
bool acrossSkippedCycles(std::initializer_list<const JackTestClient *> clients, Attempt attempt)
{
    const auto xruns = [&] {
        std::uint64_t total = 0;
        for (const JackTestClient *client : clients)
            total += client->xruns();
        return total;
    };
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t skipped = xruns();
        if (attempt())
            return true;
        if (xruns() == skipped)
            return false;
    }
    return false;
}

} // namespace korvane::test
