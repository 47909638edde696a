#pragma once

// A small JACK client playing "the other program" in integration tests: one
// optional MIDI output it plays queued messages on, one optional MIDI input
// whose messages it keeps. Header-only; only suites linking libjack use it.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace korvane::test {

class JackTestClient {
public:
    JackTestClient(const std::string &name, bool withOutput, bool withInput)
    {
        jack_status_t status{};
        m_client = jack_client_open(name.c_str(), JackNoStartServer, &status);
        if (!m_client)
            return;
        m_toSend = jack_ringbuffer_create(1 << 16);
        m_received = jack_ringbuffer_create(1 << 16);
        if (withOutput)
            m_out = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (withInput)
            m_in = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(m_client, &JackTestClient::process, this);
        m_active = jack_activate(m_client) == 0;
    }

    ~JackTestClient() { close(); }
    JackTestClient(const JackTestClient &) = delete;
    JackTestClient &operator=(const JackTestClient &) = delete;

    bool ok() const { return m_client && m_active; }

    // The client leaves the server: its ports disappear for everyone.
    void close()
    {
        if (m_client) {
            jack_deactivate(m_client);
            jack_client_close(m_client);
            m_client = nullptr;
        }
        if (m_toSend) {
            jack_ringbuffer_free(m_toSend);
            jack_ringbuffer_free(m_received);
            m_toSend = m_received = nullptr;
        }
    }

    std::string outputName() const { return m_out ? jack_port_name(m_out) : std::string(); }
    std::string inputName() const { return m_in ? jack_port_name(m_in) : std::string(); }

    // Played on the output in the next process cycle.
    void send(const std::vector<std::uint8_t> &bytes)
    {
        std::lock_guard lock(m_sendMutex);  // one writer; the process thread is the reader
        const auto size = static_cast<std::uint32_t>(bytes.size());
        if (jack_ringbuffer_write_space(m_toSend) < sizeof size + size)
            return;
        jack_ringbuffer_write(m_toSend, reinterpret_cast<const char *>(&size), sizeof size);
        jack_ringbuffer_write(m_toSend, reinterpret_cast<const char *>(bytes.data()), size);
    }

    // Everything received on the input so far.
    std::vector<std::vector<std::uint8_t>> received()
    {
        std::uint32_t size = 0;
        while (m_received && jack_ringbuffer_read_space(m_received) >= sizeof size) {
            jack_ringbuffer_read(m_received, reinterpret_cast<char *>(&size), sizeof size);
            std::vector<std::uint8_t> bytes(size);
            jack_ringbuffer_read(m_received, reinterpret_cast<char *>(bytes.data()), size);
            m_log.push_back(std::move(bytes));
        }
        return m_log;
    }

private:
    static int process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<JackTestClient *>(arg);
        if (self->m_out) {
            void *buffer = jack_port_get_buffer(self->m_out, frames);
            jack_midi_clear_buffer(buffer);
            std::uint32_t size = 0;
            char data[256];
            while (jack_ringbuffer_read_space(self->m_toSend) >= sizeof size) {
                jack_ringbuffer_peek(self->m_toSend, reinterpret_cast<char *>(&size), sizeof size);
                if (size > sizeof data)
                    break;
                jack_ringbuffer_read_advance(self->m_toSend, sizeof size);
                jack_ringbuffer_read(self->m_toSend, data, size);
                jack_midi_event_write(buffer, 0, reinterpret_cast<jack_midi_data_t *>(data), size);
            }
        }
        if (self->m_in) {
            void *buffer = jack_port_get_buffer(self->m_in, frames);
            const auto count = jack_midi_get_event_count(buffer);
            for (std::uint32_t i = 0; i < count; ++i) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, i) != 0)
                    continue;
                const auto size = static_cast<std::uint32_t>(event.size);
                if (jack_ringbuffer_write_space(self->m_received) < sizeof size + size)
                    continue;
                jack_ringbuffer_write(self->m_received, reinterpret_cast<const char *>(&size), sizeof size);
                jack_ringbuffer_write(self->m_received, reinterpret_cast<const char *>(event.buffer), size);
            }
        }
        return 0;
    }

    jack_client_t *m_client = nullptr;
    jack_port_t *m_out = nullptr;
    jack_port_t *m_in = nullptr;
    jack_ringbuffer_t *m_toSend = nullptr;
    jack_ringbuffer_t *m_received = nullptr;
    bool m_active = false;
    std::mutex m_sendMutex;
    std::vector<std::vector<std::uint8_t>> m_log;
};

} // namespace korvane::test
