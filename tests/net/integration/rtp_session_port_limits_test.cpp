// Ports from a project file that do not fit in an int: the file opens and
// the session refuses them, never a truncated port that happens to be valid.

#include "model/project_json.h"
#include "net/integration/rtp_test_support.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

TEST(RTPSessionPortLimits, PortsBeyondIntFromTheFileAreRefusedWithALogLine)
{
    const int free = freePortPair();
    const struct {
        std::string session;
        std::string line;
    } cases[] = {
        // 2^32 + 5004 and 2^32 + 5005 would truncate to valid ports.
        {R"("localPort": 4294972300, "bindAddress": "127.0.0.1")", "RTP P: port local invalide (2147483647)"},
        {R"("localPort": -4294962292, "bindAddress": "127.0.0.1")",
         "RTP P: port local invalide (-2147483648)"},
        {R"("localPort": )" + std::to_string(free) +
             R"(, "bindAddress": "127.0.0.1", "role": "initiator", "remoteHost": "127.0.0.1", "remotePort": 4294972301)",
         "RTP P: port distant invalide (2147483647)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const auto read = readProjectJson(
            QByteArray::fromStdString(R"({"rtpSessions": [{"name": "P", )" + c.session + "}]}"));
        ASSERT_TRUE(read) << read.error;
        SessionProbe s(read.value->rtpSessions.at(0), "KORVANE");
        s.session->start();
        EXPECT_TRUE(s.waitLog(c.line));
        EXPECT_TRUE(waitUntil(
            [&] { return !s.statuses.empty() && s.statuses.back().state == RTPSessionState::invalidPort; }));
        s.session->stop();
    }
}

} // namespace
