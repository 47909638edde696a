// KORVANE against an AppleMIDI stack written by others: the npm package
// rtpmidi (installed by scripts/test.sh, which exports KORVANE_RTPMIDI_DIR),
// run by node as tests/net/integration/npm/rtpmidi_peer.js.

#include "net/integration/rtp_test_support.h"

#include <QProcess>
#include <QProcessEnvironment>

using namespace korvane;
using namespace korvane::test;

namespace {

// A free pair whose control port is even: rtpmidi picks its socket by the
// parity of the port it writes to.
int evenPortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int p = freePortPair();
        if (p % 2 == 0)
            return p;
    }
    return -1;
}

class NpmPeer {
public:
    NpmPeer(int localPort, int remotePort)
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("NODE_PATH", qEnvironmentVariable("KORVANE_RTPMIDI_DIR"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start("node", {QStringLiteral(KORVANE_TESTS_DIR "/net/integration/npm/rtpmidi_peer.js"),
                                 QString::number(localPort), QString::number(remotePort)});
    }
    ~NpmPeer()
    {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(2000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
    void send(const std::string &hexBytes) { m_process.write(("send " + hexBytes + "\n").c_str()); }
    // Every line printed so far.
    const std::vector<std::string> &lines()
    {
        while (m_process.canReadLine())
            m_lines.push_back(m_process.readLine().trimmed().toStdString());
        return m_lines;
    }
    long count(const std::string &line)
    {
        const auto &all = lines();
        return std::count(all.begin(), all.end(), line);
    }
    std::vector<std::string> midi()
    {
        std::vector<std::string> out;
        for (const auto &line : lines())
            if (line.rfind("midi ", 0) == 0)
                out.push_back(line.substr(5));
        return out;
    }

private:
    QProcess m_process;
    std::vector<std::string> m_lines;
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
    ASSERT_TRUE(waitUntil([&] { return korvane->session && !korvane->peerReports.empty() && korvane->peerReports.back() == std::vector<std::string>{"npm"}; }, 10s));

    // Channel messages at the edges of channel, note and value, and a sysex:
    // every one read, in order, though each packet carries a journal (J set).
    const std::vector<Bytes> messages = {hex("90 00 7F"), hex("9F 7F 01"), hex("80 00 00"), hex("8F 7F 40"),
                                         hex("B0 40 7F"), hex("BF 07 00"), hex("C0 00"),    hex("CF 7F"),
                                         hex("E0 00 40"), hex("F0 7E 7F 06 01 F7")};
    std::vector<std::string> expected;
    for (const auto &m : messages) {
        korvane->session->send(MIDIMessage(m));
        std::string text = toHex(m);
        std::erase(text, ' ');
        std::transform(text.begin(), text.end(), text.begin(), ::tolower);
        expected.push_back(text);
    }
    ASSERT_TRUE(waitUntil([&] { return npm.midi().size() >= expected.size(); }, 5s)) << npm.midi().size();
    EXPECT_EQ(npm.midi(), expected);

    // And the other way (once rtpmidi has synchronised its clock).
    ASSERT_TRUE(waitUntil(
        [&] {
            npm.send("913c64");
            return !korvane->received().empty();
        },
        10s));
    EXPECT_EQ(korvane->received().front(), hex("91 3C 64"));

    // The listener restarts; the peer goes on sending on its old stream, as
    // one that missed the BY would: the new session tells it to invite
    // again, at most once a second.
    const auto byes = npm.count("control end");
    korvane.reset();
    spinFor(200ms);
    const auto byesAtStop = npm.count("control end");
    EXPECT_EQ(byesAtStop, byes + 1) << "the farewell of the stopped session";
    korvane = std::make_unique<SessionProbe>(loopbackConfig("Scène", port), "KORVANE");
    ASSERT_TRUE(korvane->startListening());
    for (int i = 0; i < 15; ++i) {
        npm.send("903c64");
        spinFor(100ms);
    }
    EXPECT_GE(npm.count("control end") - byesAtStop, 1);
    EXPECT_LE(npm.count("control end") - byesAtStop, 2);
    EXPECT_TRUE(korvane->received().empty()) << "nothing from a stranger";
}
