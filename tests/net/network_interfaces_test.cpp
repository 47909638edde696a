#include "net/network_interfaces.h"

#include <QNetworkInterface>

#include <gtest/gtest.h>

#include <set>

using namespace korvane;

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
    for (const NetInterface &i : NetworkInterfaces::ipv4())
        actual.insert({i.name, i.ip});
    EXPECT_EQ(actual, expected);
}
