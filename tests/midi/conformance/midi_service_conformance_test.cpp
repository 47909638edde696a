// What every MIDI service backend must do, run once per registry entry and
// for the loopback stand-in: JACK against the server scripts/test.sh starts
// (JACK's own or PipeWire's), the loopback in process.

#include "midi/conformance/conformance_peers.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

using namespace korvane;
using korvane::test::Bytes;
using korvane::test::Peer;
using korvane::test::waitUntil;

namespace {

using Handle = MidiService::Handle;
using Description = MidiService::EndpointDescription;

// Every size a message can have, and the edges of every channel message kind:
// channels 1 and 16 of note off, note on, poly pressure, control change,
// program change, channel pressure and pitch bend, with values 0 and 127;
// then system exclusive and two real-time bytes.
// clang-format off
const std::vector<Bytes> kEveryKind = {
    {0x80, 0, 0}, {0x8F, 127, 127}, {0x90, 0, 0}, {0x9F, 127, 127}, {0xA0, 0, 0}, {0xAF, 127, 127},
    {0xB0, 0, 0}, {0xBF, 127, 127}, {0xC0, 0},    {0xCF, 127},      {0xD0, 0},    {0xDF, 127},
    {0xE0, 0, 0}, {0xEF, 127, 127}, {0xF0, 0x7D, 0, 127, 0xF7},    {0xF8},       {0xFF},
};
// clang-format on

std::optional<Description> listed(const std::vector<Description> &list, const std::string &name)
{
    for (const Description &d : list)
        if (d.displayName == name)
            return d;
    return std::nullopt;
}

std::vector<Bytes> from(const std::vector<Bytes> &all, std::size_t mark)
{
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end()};
}

class MidiServiceConformance : public ::testing::TestWithParam<std::string> {
protected:
    const std::string m_clientName = "korvane-conformance-" + std::to_string(getpid());
    std::unique_ptr<test::BackendHarness> m_harness;
    Handle m_client = 0, m_input = 0, m_output = 0;
    std::atomic<int> m_setupChanges{0};
    std::mutex m_mutex;
    // Backend threads write; what reaches the own virtual destination is kept
    // under a token no connection uses.
    std::vector<std::pair<MidiService::Token, Bytes>> m_inputs;
    static constexpr MidiService::Token kVirtual = ~MidiService::Token{0};

    void SetUp() override
    {
        const MidiBackend loopback = loopbackMidiBackend();
        const MidiBackend *backend = GetParam() == loopback.name ? &loopback : findMidiBackend(GetParam());
        ASSERT_NE(backend, nullptr);
        ASSERT_TRUE(backend->available()) << GetParam() << " cannot serve (scripts/test.sh starts JACK)";
        m_harness = test::makeHarness(GetParam(), m_clientName);
        ASSERT_NE(m_harness, nullptr) << GetParam() << " has no conformance harness";
        open();
    }
    void TearDown() override
    {
        if (m_harness && m_client)
            service().closeClient(m_client);
    }

    MidiService &service() { return m_harness->service(); }

    void open()
    {
        const auto result = service().openClient(m_clientName, [this](MidiService::Notification n) {
            if (n == MidiService::Notification::setupChanged)
                ++m_setupChanges;
        });
        ASSERT_TRUE(result.status.ok()) << toString(result.status.error());
        m_client = result.client;
        const auto onInput = [this](auto packets, auto token) { keep(packets, token); };
        m_input = service().createInputPort(m_client, "in", onInput).value_or(0);
        m_output = service().createOutputPort(m_client, "out").value_or(0);
        ASSERT_NE(m_input, 0u);
        ASSERT_NE(m_output, 0u);
    }

    // Own virtual pair "Conf Out" / "Conf In"; returns their handles.
    std::pair<Handle, Handle> createVirtualPair()
    {
        const auto source = service().createVirtualSource(m_client, "Conf Out");
        const auto destination = service().createVirtualDestination(
            m_client, "Conf In", [this](auto packets) { keep(packets, kVirtual); });
        return {source.value_or(0), destination.value_or(0)};
    }
    void keep(MidiService::PacketList packets, MidiService::Token token)
    {
        std::lock_guard lock(m_mutex);
        for (const auto &p : packets)
            m_inputs.emplace_back(token, Bytes(p.bytes.begin(), p.bytes.end()));
    }

    bool waitListed(const std::string &source, const std::string &destination)
    {
        return waitUntil([&] {
            return listed(service().sources(), source) && listed(service().destinations(), destination);
        });
    }

    std::vector<Bytes> inputs(MidiService::Token token)
    {
        std::lock_guard lock(m_mutex);
        std::vector<Bytes> result;
        for (const auto &[t, bytes] : m_inputs)
            if (t == token)
                result.push_back(bytes);
        return result;
    }

    // Through the output port, or on an own virtual source: queued or not.
    MidiServiceStatus sendTo(Handle destination, const Bytes &bytes, bool publish = false)
    {
        const MidiService::Packet packet{0, bytes};
        return publish ? service().publish(destination, {&packet, 1})
                       : service().send(m_output, destination, {&packet, 1});
    }

    // Sends a batch and waits until `arrived` (from a mark taken before)
    // equals it. A batch lost while the server skipped a cycle is sent again
    // (three tries); one lost with no skipped cycle fails.
    void expectCarried(const std::vector<Bytes> &batch, const std::function<void(const Bytes &)> &send,
                       const std::function<std::vector<Bytes>()> &arrived, const char *what)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::uint64_t skipped = m_harness->skippedCycles();
            const std::size_t mark = arrived().size();
            for (const Bytes &bytes : batch)
                send(bytes);
            waitUntil([&] { return from(arrived(), mark).size() >= batch.size(); });
            const auto got = from(arrived(), mark);
            if (got == batch)
                return;
            ASSERT_NE(m_harness->skippedCycles(), skipped) << what << ": lost with no skipped cycle";
        }
        ADD_FAILURE() << what << ": lost three times";
    }
};

TEST_P(MidiServiceConformance, ListsProgramsAndOwnPortsAndNotifiesTheirComingAndGoing)
{
    const int before = m_setupChanges;
    auto peer = m_harness->addPeer("korvane-list");
    const auto [ownSource, ownDestination] = createVirtualPair();
    EXPECT_TRUE(waitUntil([&] { return m_setupChanges > before; }));
    ASSERT_TRUE(waitListed(peer->sourceName(), peer->destinationName()));
    ASSERT_TRUE(waitListed("Conf Out", "Conf In"));
    const auto sources = service().sources(), destinations = service().destinations();
    EXPECT_EQ(listed(sources, "Conf Out")->handle, ownSource);
    EXPECT_EQ(listed(destinations, "Conf In")->handle, ownDestination);
    EXPECT_FALSE(listed(sources, peer->destinationName()) || listed(destinations, peer->sourceName()));
    std::map<Handle, std::string> handles;
    for (const auto *list : {&sources, &destinations}) {
        std::map<std::int32_t, std::string> ids;
        for (const Description &d : *list) {
            const std::string name = d.displayName.value_or("?");
            EXPECT_TRUE(d.handle != 0 && handles.emplace(d.handle, name).second) << name << ": handle";
            EXPECT_TRUE(!d.uniqueID || (*d.uniqueID != 0 && ids.emplace(*d.uniqueID, name).second)) << name;
        }
    }

    service().disposeEndpoint(ownSource);
    service().disposeEndpoint(ownDestination);
    // A notice stands for every change until both lists are read again, as
    // the engine does after each: read them until no notice comes in between.
    int present = 0;
    do {
        present = m_setupChanges;
        static_cast<void>(service().sources());
        static_cast<void>(service().destinations());
        m_harness->settle();
    } while (m_setupChanges != present);
    const std::string gone = peer->sourceName();
    peer.reset();
    EXPECT_TRUE(waitUntil([&] { return m_setupChanges > present; }));
    EXPECT_TRUE(waitUntil([&] {
        const auto now = service().sources();
        return !listed(now, gone) && !listed(now, "Conf Out") && !listed(service().destinations(), "Conf In");
    }));
}

TEST_P(MidiServiceConformance, CarriesEveryMessageKindBothWaysAndThroughOwnVirtualPorts)
{
    auto peer = m_harness->addPeer("korvane-carry");
    const Handle ownSource = createVirtualPair().first;
    ASSERT_TRUE(waitListed(peer->sourceName(), peer->destinationName()));
    const Handle source = listed(service().sources(), peer->sourceName())->handle;
    const Handle destination = listed(service().destinations(), peer->destinationName())->handle;
    constexpr MidiService::Token kToken = 0x1234'5678'9ABCull;
    ASSERT_TRUE(service().connectSource(m_input, source, kToken).ok());
    m_harness->settle();

    expectCarried(
        kEveryKind, [&](const Bytes &b) { peer->send(b); }, [&] { return inputs(kToken); },
        "peer to input port");
    expectCarried(
        kEveryKind, [&](const Bytes &b) { EXPECT_TRUE(sendTo(destination, b).ok()); },
        [&] { return peer->received(); }, "output port to peer");

    ASSERT_TRUE(peer->listenTo("Conf Out"));
    ASSERT_TRUE(peer->writeTo("Conf In"));
    m_harness->settle();
    expectCarried(
        kEveryKind, [&](const Bytes &b) { EXPECT_TRUE(sendTo(ownSource, b, true).ok()); },
        [&] { return peer->received(); }, "own virtual source to peer");
    expectCarried(
        kEveryKind, [&](const Bytes &b) { peer->send(b); }, [&] { return inputs(kVirtual); },
        "peer to own virtual destination");
}

// A panic right before a stop: everything sent or published before the client
// closes arrives, once, in order; nothing is handed over after.
TEST_P(MidiServiceConformance, ClosingDeliversWhatIsQueuedAndThenNothingMore)
{
    auto peer = m_harness->addPeer("korvane-close");
    for (int attempt = 0;; ++attempt) {
        const Handle ownSource = createVirtualPair().first;
        ASSERT_TRUE(waitListed(peer->sourceName(), peer->destinationName()));
        const Handle source = listed(service().sources(), peer->sourceName())->handle;
        const Handle destination = listed(service().destinations(), peer->destinationName())->handle;
        ASSERT_TRUE(service().connectSource(m_input, source, 1).ok());
        ASSERT_TRUE(peer->listenTo("Conf Out"));
        m_harness->settle();

        const std::uint64_t skipped = m_harness->skippedCycles();
        const std::size_t mark = peer->received().size();
        std::vector<Bytes> sent, published;
        for (std::uint8_t status = 0xB0; status <= 0xBF; ++status) {
            sent.push_back({status, 123, 0});
            published.push_back({status, 120, 0});
            ASSERT_TRUE(sendTo(destination, sent.back()).ok());
            ASSERT_TRUE(sendTo(ownSource, published.back(), true).ok());
        }
        service().closeClient(std::exchange(m_client, 0));
        const std::size_t inputsAtClose = inputs(1).size();

        waitUntil([&] { return from(peer->received(), mark).size() >= 32; });
        std::vector<Bytes> gotSent, gotPublished;
        for (const Bytes &bytes : from(peer->received(), mark))
            (bytes[1] == 123 ? gotSent : gotPublished).push_back(bytes);
        if (gotSent == sent && gotPublished == published) {
            EXPECT_FALSE(sendTo(ownSource, sent[0], true).ok());
            peer->send({0x90, 1, 1});
            m_harness->settle();
            EXPECT_EQ(inputs(1).size(), inputsAtClose);
            return;
        }
        ASSERT_NE(m_harness->skippedCycles(), skipped) << "lost with no skipped cycle: " << gotSent.size()
                                                       << " sent, " << gotPublished.size() << " published";
        ASSERT_LT(attempt, 2) << "lost three times";
        open();
    }
}

// Routes saved in a show name endpoints by unique id: the same program's
// ports, and the program's own, keep theirs when both come back.
TEST_P(MidiServiceConformance, UniqueIdsSurviveARestartOfTheServiceAndOfTheOtherProgram)
{
    auto snapshot = [&](const Peer &peer) {
        EXPECT_TRUE(waitListed(peer.sourceName(), peer.destinationName()));
        EXPECT_TRUE(waitListed("Conf Out", "Conf In"));
        std::map<std::string, std::optional<std::int32_t>> ids;
        for (const std::string &name : {peer.sourceName(), std::string("Conf Out")})
            ids["source " + name] = listed(service().sources(), name).value_or(Description{}).uniqueID;
        for (const std::string &name : {peer.destinationName(), std::string("Conf In")})
            ids["destination " + name] =
                listed(service().destinations(), name).value_or(Description{}).uniqueID;
        return ids;
    };
    auto peer = m_harness->addPeer("korvane-ids");
    static_cast<void>(createVirtualPair());
    const auto before = snapshot(*peer);

    service().closeClient(std::exchange(m_client, 0));
    peer.reset();
    m_harness->restartService();
    peer = m_harness->addPeer("korvane-ids");
    open();
    static_cast<void>(createVirtualPair());
    EXPECT_EQ(snapshot(*peer), before);
}

TEST_P(MidiServiceConformance, FailuresAreTypedAndNeverReportedAsSuccess)
{
    auto peer = m_harness->addPeer("korvane-errors");
    ASSERT_TRUE(waitListed(peer->sourceName(), peer->destinationName()));
    const Handle source = listed(service().sources(), peer->sourceName())->handle;
    const Handle destination = listed(service().destinations(), peer->destinationName())->handle;
    const Handle unknown = 0x7FFF'FFF0;
    const Bytes note{0x90, 60, 100};

    const auto second = service().openClient(m_clientName + "-2", {});
    EXPECT_EQ(second.status.error(), MidiServiceError::alreadyOpen);
    EXPECT_EQ(second.client, 0u);
    const struct {
        const char *what;
        MidiServiceStatus status;
    } whileOpen[] = {
        {"send to an unknown destination", sendTo(unknown, note)},
        {"send to a source", sendTo(source, note)},
        {"publish on another program's port", sendTo(destination, note, true)},
        {"connect an unknown source", service().connectSource(m_input, unknown, 1)},
        {"connect through the output port", service().connectSource(m_output, source, 1)},
        {"disconnect a source never connected", service().disconnectSource(m_input, source)},
    };
    for (const auto &c : whileOpen)
        EXPECT_EQ(c.status.error(), MidiServiceError::unknownObject) << c.what;

    const Handle closed = std::exchange(m_client, 0);
    service().closeClient(closed);
    EXPECT_EQ(service().connectSource(m_input, source, 1).error(), MidiServiceError::notOpen);
    EXPECT_FALSE(sendTo(destination, note).ok());
    EXPECT_FALSE(service().createVirtualSource(closed, "Late Out"));
    EXPECT_FALSE(service().createInputPort(closed, "late", {}));
}

std::vector<std::string> backendNames()
{
    std::vector<std::string> names{std::string(loopbackMidiBackend().name)};
    for (const MidiBackend &backend : midiBackends())
        names.emplace_back(backend.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(EveryBackend, MidiServiceConformance, ::testing::ValuesIn(backendNames()),
                         [](const auto &info) { return info.param; });

} // namespace
