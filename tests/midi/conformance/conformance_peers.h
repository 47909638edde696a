#pragma once

// What the conformance suite needs from each backend besides MidiService:
// a way to play other programs on it. Every backend in the registry, and the
// loopback stand-in, has one here; one without fails the suite.

#include "midi/service/midi_backends.h"

#if KORVANE_BACKEND_JACK
#include "midi/service/jack/jack_backend.h"
#include "support/jack_test_client.h"
#endif
#include "midi/service/loopback/loopback_midi_service.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace korvane::test {

using Bytes = std::vector<std::uint8_t>;

// Another program with one source and one destination.
class Peer {
public:
    virtual ~Peer() = default;
    // As the service lists them.
    virtual std::string sourceName() const = 0;
    virtual std::string destinationName() const = 0;
    // From its source, and into every own virtual destination it writes to.
    virtual void send(const Bytes &bytes) = 0;
    // Everything that reached its destination, in order.
    virtual std::vector<Bytes> received() = 0;
    // Wires it to the client's own virtual ports, given by their listed names.
    virtual bool listenTo(const std::string &ownVirtualSource) = 0;
    virtual bool writeTo(const std::string &ownVirtualDestination) = 0;
};

class BackendHarness {
public:
    virtual ~BackendHarness() = default;
    virtual MidiService &service() = 0;
    // A fresh instance, as after a restart of the program.
    virtual void restartService() = 0;
    virtual std::unique_ptr<Peer> addPeer(const std::string &name) = 0;
    // Until what was just connected carries data.
    virtual void settle() = 0;
    // Cycles the server reported skipped so far: data lost across one of
    // them is the server's doing, not the backend's.
    virtual std::uint64_t skippedCycles() = 0;
};

class LoopbackHarness final : public BackendHarness {
public:
    class LoopbackPeer final : public Peer {
    public:
        LoopbackPeer(LoopbackMidiService &service, std::string name)
            : m_service(service), m_name(std::move(name)),
              m_source(service.addSource(sourceName(), idOf(sourceName()))),
              m_destination(service.addDestination(destinationName(), idOf(destinationName())))
        {
        }
        ~LoopbackPeer() override
        {
            m_service.removeEndpoint(m_source);
            m_service.removeEndpoint(m_destination);
        }
        std::string sourceName() const override { return m_name + ":out"; }
        std::string destinationName() const override { return m_name + ":in"; }
        void send(const Bytes &bytes) override
        {
            m_service.inject(m_source, bytes);
            for (const auto handle : m_writesTo)
                m_service.writeToVirtualDestination(handle, bytes);
        }
        std::vector<Bytes> received() override
        {
            std::vector<Bytes> result;
            for (const auto &d : m_service.deliveries())
                if ((!d.published && d.endpoint == m_destination) ||
                    (d.published && std::count(m_listensTo.begin(), m_listensTo.end(), d.endpoint)))
                    result.push_back(d.bytes);
            return result;
        }
        bool listenTo(const std::string &ownVirtualSource) override
        {
            return m_listensTo.emplace_back(m_service.find(ownVirtualSource)) != 0;
        }
        bool writeTo(const std::string &ownVirtualDestination) override
        {
            return m_writesTo.emplace_back(m_service.find(ownVirtualDestination)) != 0;
        }

    private:
        // The loopback takes ids from whoever adds an endpoint: a device's
        // own id, the same at every plug.
        static std::int32_t idOf(const std::string &name)
        {
            return static_cast<std::int32_t>(std::hash<std::string>{}(name) | 1u);
        }
        LoopbackMidiService &m_service;
        std::string m_name;
        MidiService::Handle m_source, m_destination;
        std::vector<MidiService::Handle> m_listensTo, m_writesTo;
    };

    MidiService &service() override { return *m_service; }
    void restartService() override { m_service = std::make_shared<LoopbackMidiService>(); }
    std::unique_ptr<Peer> addPeer(const std::string &name) override
    {
        return std::make_unique<LoopbackPeer>(*m_service, name);
    }
    void settle() override {}
    std::uint64_t skippedCycles() override { return 0; }

private:
    std::shared_ptr<LoopbackMidiService> m_service = std::make_shared<LoopbackMidiService>();
};

#if KORVANE_BACKEND_JACK
class JackHarness final : public BackendHarness {
public:
    // `clientName`: the name the suite opens its client under, which prefixes
    // its own ports.
    explicit JackHarness(std::string clientName) : m_clientName(std::move(clientName)) {}

    class JackPeer final : public Peer {
    public:
        JackPeer(JackHarness &harness, const std::string &name)
            : m_harness(harness), m_client(name + "-" + std::to_string(getpid()))
        {
            m_harness.m_peers.push_back(&m_client);
        }
        ~JackPeer() override { std::erase(m_harness.m_peers, &m_client); }
        std::string sourceName() const override { return m_client.outPort(); }
        std::string destinationName() const override { return m_client.inPort(); }
        void send(const Bytes &bytes) override { m_client.send(bytes); }
        std::vector<Bytes> received() override { return m_client.receivedBytes(); }
        bool listenTo(const std::string &ownVirtualSource) override
        {
            return m_client.connect(m_harness.m_clientName + ":" + ownVirtualSource, m_client.inPort());
        }
        bool writeTo(const std::string &ownVirtualDestination) override
        {
            return m_client.connect(m_client.outPort(), m_harness.m_clientName + ":" + ownVirtualDestination);
        }

    private:
        JackHarness &m_harness;
        JackTestClient m_client;
    };

    MidiService &service() override { return *m_service; }
    void restartService() override { m_service = makeJackMidiService(); }
    std::unique_ptr<Peer> addPeer(const std::string &name) override
    {
        return std::make_unique<JackPeer>(*this, name);
    }
    void settle() override
    {
        for (JackTestClient *peer : m_peers)
            peer->waitTwoCycles();
        m_witness.waitTwoCycles();
    }
    std::uint64_t skippedCycles() override { return m_witness.xruns(); }

private:
    std::string m_clientName;
    std::shared_ptr<MidiService> m_service = makeJackMidiService();
    // Hears of every xrun of the server.
    JackTestClient m_witness{"korvane-witness-" + std::to_string(getpid()), {}, JackTestClient::outOnly};
    std::vector<JackTestClient *> m_peers;
};
#endif

inline std::unique_ptr<BackendHarness> makeHarness(std::string_view backend, const std::string &clientName)
{
    if (backend == "loopback")
        return std::make_unique<LoopbackHarness>();
#if KORVANE_BACKEND_JACK
    if (backend == "jack")
        return std::make_unique<JackHarness>(clientName);
#endif
    static_cast<void>(clientName);
    return nullptr;
}

} // namespace korvane::test
