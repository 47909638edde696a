#include "net/network_interfaces.h"
#include "net/rtp_discovery.h"

#include <QNetworkInterface>

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

namespace korvane {
namespace {

TEST(NetInterfaceTest, IdAndLabelJoinNameAndAddress)
{
    const NetInterface eth{"eth0", "192.168.1.20"};
    EXPECT_EQ(eth.id(), "eth0|192.168.1.20");
    EXPECT_EQ(eth.label(), "eth0 \xE2\x80\x94 192.168.1.20"); // U+2014 in UTF-8

    // Value semantics: equal fields, equal value and hash; any differing field makes another value.
    std::unordered_set<NetInterface> set{eth, NetInterface{"eth0", "192.168.1.20"},
                                         NetInterface{"eth0", "10.0.0.1"},
                                         NetInterface{"wlan0", "192.168.1.20"}};
    EXPECT_EQ(set.size(), 3u);
}

TEST(DiscoveredPeerTest, IdIsNameHostAndPort)
{
    const DiscoveredPeer peer{"Studio Mac", "192.168.1.7", 5004};
    EXPECT_EQ(peer.id(), "Studio Mac|192.168.1.7:5004");
    std::unordered_set<DiscoveredPeer> set{peer, DiscoveredPeer{"Studio Mac", "192.168.1.7", 5004},
                                           DiscoveredPeer{"Studio Mac", "192.168.1.8", 5004},
                                           DiscoveredPeer{"Studio Mac", "192.168.1.7", 5006}};
    EXPECT_EQ(set.size(), 3u);
}

// Qt reads the interface list through its own code path (netlink); it serves as the reference.
TEST(NetworkInterfacesTest, ListsTheUpIPv4AddressesOfThisMachineWithoutLoopback)
{
    std::multiset<std::pair<std::string, std::string>> expected;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                expected.insert({iface.name().toStdString(), entry.ip().toString().toStdString()});
    }

    std::multiset<std::pair<std::string, std::string>> actual;
    for (const NetInterface &i : NetworkInterfaces::ipv4()) {
        EXPECT_NE(i.name, "lo");
        EXPECT_FALSE(i.ip.starts_with("127.")) << i.id();
        EXPECT_NE(i.ip.find('.'), std::string::npos) << i.id();
        actual.insert({i.name, i.ip});
    }
    EXPECT_EQ(actual, expected);
}

} // namespace
} // namespace korvane
