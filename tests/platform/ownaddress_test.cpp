// This machine's address as the main window shows it.

#include "platform/ownaddress.h"

#include <gtest/gtest.h>

using relvane::ChooseOwnAddress;

TEST(OwnAddress, ALoopbackHostAddressGivesWayToAnInterfaceAddress) {
    const QStringList ifaces{QStringLiteral("127.0.0.1"), QStringLiteral("192.168.1.5"),
                             QStringLiteral("10.0.0.2")};
    // Debian's usual host entry.
    EXPECT_EQ(ChooseOwnAddress({QStringLiteral("127.0.1.1")}, ifaces), u"192.168.1.5");
    EXPECT_EQ(ChooseOwnAddress({QStringLiteral("127.255.255.254")}, ifaces), u"192.168.1.5");
    // A usable looked-up address wins, whatever the interfaces say.
    EXPECT_EQ(ChooseOwnAddress({QStringLiteral("10.0.0.2"), QStringLiteral("127.0.1.1")}, ifaces),
              u"10.0.0.2");
    EXPECT_EQ(ChooseOwnAddress({QStringLiteral("128.0.0.1")}, ifaces), u"128.0.0.1");
    // The lookup failed.
    EXPECT_EQ(ChooseOwnAddress({}, ifaces), u"192.168.1.5");
    // Nothing better: the looked-up address, or nothing at all.
    EXPECT_EQ(ChooseOwnAddress({QStringLiteral("127.0.1.1")}, {QStringLiteral("127.0.0.1")}),
              u"127.0.1.1");
    EXPECT_EQ(ChooseOwnAddress({}, {QStringLiteral("127.0.0.1")}), QString());
    EXPECT_EQ(ChooseOwnAddress({}, {}), QString());
}
