// KORVANE against an AppleMIDI stack written by others: the npm package
// rtpmidi (installed by scripts/test.sh, which exports KORVANE_RTPMIDI_DIR),
// run by node as tests/net/integration/npm/rtpmidi_peer.js.

#include "net/integration/rtp_test_support.h"

#include <QProcess>

using namespace korvane;
using namespace korvane::test;

namespace {

// A free pair whose control port is even: rtpmidi picks its socket by the
// parity of the port it writes to.
int evenPortPair()
{
    int p = freePortPair();
    while (p > 0 && p % 2 != 0)
        p = freePortPair();
    return p;
}

// The node process; its lines are read as they come.
struct NpmPeer {
    NpmPeer(int localPort, int remotePort)
    {
        process.start("node", {QStringLiteral(KORVANE_TESTS_DIR "/net/integration/npm/rtpmidi_peer.js"),
                               QString::number(localPort), QString::number(remotePort)});
    }
    ~NpmPeer()
    {
        process.write("quit\n");
        if (!process.waitForFinished(2000))
            process.kill();
    }
    void send(const std::string &hexBytes) { process.write(("send " + hexBytes + "\n").c_str()); }
    // Lines starting with prefix, the prefix taken off.
    std::vector<std::string> lines(const std::string &prefix)
    {
        while (process.canReadLine())
            all.push_back(process.readLine().trimmed().toStdString());
        std::vector<std::string> out;
        for (const auto &line : all)
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line.substr(prefix.size()));
        return out;
    }
    QProcess process;
    std::vector<std::string> all;
};

} // namespace

TEST(RTPNpmPeer, ReadsJournalledPacketsAndIsToldToInviteAgainAfterARestart)
{
    if (qEnvironmentVariableIsEmpty("KORVANE_RTPMIDI_DIR")) {
        if (!qEnvironmentVariableIsEmpty("CI"))
            FAIL() << "KORVANE_RTPMIDI_DIR not set: run through scripts/test.sh";
        GTEST_SKIP() << "the npm package rtpmidi is installed by scripts/test.sh";
    }
    const int port = evenPortPair();
    auto korvane = std::make_unique<SessionProbe>(loopbackConfig("Scène", port), "KORVANE");
    ASSERT_TRUE(korvane->startListening());
    NpmPeer npm(evenPortPair(), port);
    ASSERT_TRUE(korvane->waitPeers({"npm"}, 10s));

    // Channel messages at the edges of channel, note and value, and a sysex:
    // every one read, in order, though each packet carries a journal (J set).
    std::vector<std::string> expected;
    for (const char *m : {"90007F", "9F7F01", "800000", "8F7F40", "B0407F", "BF0700", "C000", "CF7F",
                          "E00040", "F07E7F0601F7"}) {
        korvane->session->send(MIDIMessage(hex(m)));
        expected.push_back(QByteArray(m).toLower().toStdString());
    }
    ASSERT_TRUE(waitUntil([&] { return npm.lines("midi ").size() >= expected.size(); }, 5s));
    EXPECT_EQ(npm.lines("midi "), expected);

    // And the other way (once rtpmidi has synchronised its clock).
    ASSERT_TRUE(waitUntil([&] { return npm.send("913c64"), !korvane->received().empty(); }, 10s));
    EXPECT_EQ(korvane->received().front(), hex("91 3C 64"));

    // The listener restarts; the peer goes on sending on its old stream, as
    // one that missed the BY would: the new session tells it to invite again,
    // at most once a second.
    const auto byes = [&] { return static_cast<long>(npm.lines("control end").size()); };
    const long before = byes();
    korvane.reset();
    ASSERT_TRUE(waitUntil([&] { return byes() == before + 1; })) << "the farewell of the stopped session";
    korvane = std::make_unique<SessionProbe>(loopbackConfig("Scène", port), "KORVANE");
    ASSERT_TRUE(korvane->startListening());
    for (int i = 0; i < 15; ++i) {
        npm.send("903c64");
        spinFor(100ms);
    }
    EXPECT_GE(byes() - before - 1, 1);
    EXPECT_LE(byes() - before - 1, 2);
    EXPECT_TRUE(korvane->received().empty()) << "nothing from a stranger";
}
