#pragma once

// The real-time side of the JACK backend. The process callback moves events
// between JACK port buffers and lock-free ring buffers (jack_ringbuffer_t,
// one reader and one writer each), or routes them within the cycle; it never
// locks or allocates.
//
//   routed: process callback: input port -> in-cycle routing -> output port
//           buffers of the same cycle
//   input:  process callback -> one input ring -> MIDI input thread, which
//           hands each run of events to the handler bound to its port (when
//           no in-cycle routing is set)
//   output: any thread -> one ring per output port (writers serialised by a
//           mutex) -> process callback -> port buffer of the current cycle

#include "midi/service/midi_service.h"

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore.h>
#include <thread>
#include <unordered_map>
#include <vector>

namespace korvane::jackio {

// One of our JACK input ports as the process callback sees it. `binding`
// names the handler its events go to; 0 drops them.
struct InputSlot {
    jack_port_t *port = nullptr;
    std::atomic<std::uint32_t> binding{0};
    // The service handle in-cycle routing knows this input by (the source's,
    // or the own virtual destination's); 0 until known.
    std::atomic<MidiService::Handle> endpoint{0};
};

// One of our JACK output ports with its ring. Shared by senders; freed only
// once the process callback can no longer see it.
//
// Every stream bound for the port meets here, in the process callback: the
// ring (whole messages from other threads) at the cycle's start, then what
// in-cycle routing writes, each input under its own owner tag. While one
// input's system-exclusive message is open on the port (it arrives in pieces
// over several events), other owners' messages wait in a small hold buffer,
// in order, real-time bytes excepted; once one has waited `holdLimit`
// frames, the open message is abandoned here (its further pieces dropped,
// counted) and the held messages go out.
class Output {
public:
    // Owner of the messages drained from the ring.
    static constexpr std::uint32_t kQueuedOwner = 1;
    static constexpr std::size_t kHoldBytes = std::size_t{1} << 14;

    struct Counters {
        std::atomic<std::uint64_t> failed{0};    // could not be written into the port buffer
        std::atomic<std::uint64_t> abandoned{0}; // system-exclusive messages abandoned here
    };

    // `bufferBytes`: the size of the port's MIDI buffer, an upper bound for one
    // event until the process callback has measured the real one (0: unknown).
    Output(jack_port_t *port, std::size_t ringBytes, std::size_t bufferBytes, Counters &counters);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // Any thread. Queues every packet or, when the ring lacks room or a packet
    // is larger than one event of the port buffer can be, none.
    bool write(MidiService::PacketList packets);
    // Process callback only: clears the port buffer of cycle `cycle`, which
    // starts at frame time `cycleStart`, and writes what is queued, then
    // takes in-cycle writes.
    void drainInto(void *portBuffer, std::uint64_t cycle, std::uint64_t cycleStart,
                   std::uint64_t holdLimit) noexcept;
    // Process callback only: a message or a piece of one (MidiService
    // piece flags) from `owner` at `frame` of cycle `cycle`. False when it
    // could not be written (full buffer, another cycle).
    bool writeNow(std::uint64_t cycle, jack_nframes_t frame, const std::uint8_t *data, std::size_t size,
                  std::uint32_t owner, std::uint8_t flags) noexcept;
    // Any thread: nothing queued is still waiting for a cycle.
    bool drained() const;
    // Main thread, before the port is connected to its destination: queued
    // messages wait until the connection carries data (it does from a cycle
    // or two after jack_connect returns), for at most `frames`.
    void awaitConnection(std::uint64_t frames) { m_connectionWait.store(frames, std::memory_order_relaxed); }

    jack_port_t *port() const { return m_port; }

private:
    struct Header {
        std::uint32_t size;
    };
    struct Held {
        std::uint32_t owner;
        std::uint32_t size;
        std::uint8_t flags;
    };

    bool put(jack_nframes_t frame, const std::uint8_t *data, std::size_t size) noexcept;
    bool accept(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
                std::size_t size) noexcept;
    bool emit(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
              std::size_t size) noexcept;
    bool hold(jack_nframes_t frame, std::uint32_t owner, std::uint8_t flags, const std::uint8_t *data,
              std::size_t size) noexcept;
    bool holding() const noexcept { return m_holdEnd != m_holdBegin; }
    bool holdsOpenMessage(std::uint32_t owner) const noexcept;
    void flushHeld(jack_nframes_t frame) noexcept;
    void abandon(jack_nframes_t frame) noexcept;
    void expire(jack_nframes_t frame) noexcept;
    void drainRing() noexcept;

    jack_port_t *m_port;
    jack_ringbuffer_t *m_ring;
    std::mutex m_writeMutex;
    // Largest event an empty port buffer holds; 0 while unknown.
    std::atomic<std::size_t> m_maxEvent;
    Counters &m_counters;
    // Process callback only.
    void *m_cycleBuffer = nullptr;
    std::uint64_t m_bufferCycle = ~std::uint64_t{0};
    jack_nframes_t m_lastFrame = 0;
    std::uint64_t m_cycleStart = 0;
    std::uint64_t m_holdLimit = 0;
    std::uint32_t m_openOwner = 0; // 0: no system-exclusive message open here
    std::array<std::uint8_t, kHoldBytes> m_hold{};
    std::size_t m_holdBegin = 0;
    std::size_t m_holdEnd = 0;
    std::uint64_t m_heldSince = 0;                     // frame time the oldest held message arrived
    std::uint64_t m_ringWaitSince = ~std::uint64_t{0}; // the ring's next message waits since
    std::atomic<std::uint64_t> m_connectionWait{0};
    std::uint64_t m_unconnectedSince = ~std::uint64_t{0};
};

// A fixed table of pointers the process callback walks every cycle. Written
// on the main thread only; an entry removed here must stay alive until the
// process callback has finished one more cycle.
template <typename T, std::size_t N> class SlotTable {
public:
    int add(T *item)
    {
        for (std::size_t i = 0; i < N; ++i) {
            if (m_slots[i].load(std::memory_order_relaxed) == nullptr) {
                m_slots[i].store(item, std::memory_order_seq_cst);
                if (i + 1 > m_used.load(std::memory_order_relaxed))
                    m_used.store(i + 1, std::memory_order_release);
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    void remove(int index)
    {
        if (index >= 0 && static_cast<std::size_t>(index) < N)
            m_slots[static_cast<std::size_t>(index)].store(nullptr, std::memory_order_seq_cst);
    }
    void clear()
    {
        for (auto &slot : m_slots)
            slot.store(nullptr, std::memory_order_seq_cst);
        m_used.store(0, std::memory_order_release);
    }
    template <typename F> void forEach(F &&f) const noexcept
    {
        const std::size_t used = m_used.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < used; ++i)
            if (T *item = m_slots[i].load(std::memory_order_acquire))
                f(*item);
    }

private:
    std::array<std::atomic<T *>, N> m_slots{};
    std::atomic<std::size_t> m_used{0};
};

// The MIDI input thread and the ring that feeds it.
class InputPump {
public:
    using Handler = std::shared_ptr<const MidiService::VirtualInputHandler>;

    explicit InputPump(std::size_t ringBytes);
    ~InputPump();
    InputPump(const InputPump &) = delete;
    InputPump &operator=(const InputPump &) = delete;

    void startThread();
    std::thread::native_handle_type threadHandle() { return m_thread.native_handle(); }
    // Joins the thread; events still queued are dropped.
    void stopThread();

    // Process callback only.
    void push(std::uint32_t binding, const std::uint8_t *data, std::size_t size,
              std::uint64_t timestamp) noexcept;
    void wake() noexcept;

    // Main thread. Ids are never reused, so events queued for a removed
    // binding are dropped rather than handed to a new one.
    std::uint32_t addBinding(MidiService::VirtualInputHandler handler);
    void removeBinding(std::uint32_t binding);
    void clearBindings();

    std::uint64_t dropped() const { return m_dropped.load(std::memory_order_relaxed); }

private:
    struct Header {
        std::uint32_t binding;
        std::uint32_t size;
        std::uint64_t timestamp;
    };
    struct Pending {
        std::uint32_t binding;
        std::uint64_t timestamp;
        std::size_t offset;
        std::size_t size;
    };

    void run();
    void drain();
    Handler handlerFor(std::uint32_t binding);

    jack_ringbuffer_t *m_ring;
    sem_t m_ready;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint64_t> m_dropped{0};

    std::mutex m_bindingsMutex;
    std::uint32_t m_nextBinding = 1;
    std::unordered_map<std::uint32_t, Handler> m_bindings;

    // Input thread only.
    std::vector<Pending> m_pending;
    std::vector<std::uint8_t> m_bytes;
    std::vector<MidiService::Packet> m_packets;
};

} // namespace korvane::jackio
