#include "net/network_interfaces.h"
#include "net/rtp_discovery.h"

#include <QNetworkInterface>

#include <gtest/gtest.h>

#include <set>

namespace korvane {
namespace {

// Ids are what settings store and lists key on; the label is what the user picks from.
TEST(NetInterfaceTest, IdsJoinEveryField)
{
    const NetInterface eth{"eth0", "192.168.1.20"};
    EXPECT_EQ(eth.id(), "eth0|192.168.1.20");
    EXPECT_EQ(eth.label(), "eth0 \xE2\x80\x94 192.168.1.20"); // U+2014 in UTF-8
    EXPECT_EQ((DiscoveredPeer{"Studio Mac", "192.168.1.7", 5004}.id()), "Studio Mac|192.168.1.7:5004");
}

// Qt reads the interface list through its own code path (netlink); it serves as the reference.
TEST(NetworkInterfacesTest, ListsTheUpIPv4AddressesOfThisMachineWithoutLoopback)
{
    std::multiset<std::pair<std::string, std::string>> expected, actual;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                expected.insert({iface.name().toStdString(), entry.ip().toString().toStdString()});
    }
    for (const NetInterface &i : NetworkInterfaces::ipv4()) {
        EXPECT_FALSE(i.ip.starts_with("127.")) << i.id();
        actual.insert({i.name, i.ip});
    }
    EXPECT_EQ(actual, expected);
}

} // namespace
} // namespace korvane
