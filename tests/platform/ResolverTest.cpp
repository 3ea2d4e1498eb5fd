#include "platform/Resolver.h"
#include "platform/Socket.h"

#include <gtest/gtest.h>

TEST(Resolver, ForwardLookups) {
    EXPECT_EQ(TResolver::ResolveIPv4("localhost"), "127.0.0.1");
    EXPECT_EQ(TResolver::ResolveIPv4("LocalHost"), "127.0.0.1");
    EXPECT_EQ(TResolver::ResolveIPv4("192.0.2.44"), "192.0.2.44");
    EXPECT_EQ(TResolver::ResolveIPv4("2001:db8::1"), "2001:db8::1");
    EXPECT_EQ(TResolver::ResolveIPv4("[::1]"), "[::1]");
}

TEST(Resolver, FailuresCarryTheName) {
    try {
        TResolver::ResolveIPv4("no-such-host.invalid");
        FAIL() << "resolved";
    } catch (const ESocketError &e) {
        EXPECT_NE(std::string(e.what()).find("no-such-host.invalid"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(TResolver::ResolveIPv4(""), ESocketError);
    EXPECT_THROW(TResolver::ReverseLookup("no-such-host.invalid"), ESocketError);
}

TEST(Resolver, ReverseLookup) {
    // 127.0.0.1 is named in /etc/hosts on any Debian machine.
    EXPECT_FALSE(TResolver::ReverseLookup("127.0.0.1").empty());
    // TEST-NET-1 has no registered names.
    EXPECT_THROW(TResolver::ReverseLookup("192.0.2.1"), ESocketError);
}

TEST(Resolver, LiteralChecks) {
    EXPECT_TRUE(TResolver::IsIPv4Literal("10.0.0.1"));
    EXPECT_FALSE(TResolver::IsIPv4Literal("10.0.0"));
    EXPECT_FALSE(TResolver::IsIPv4Literal("example.org"));
    EXPECT_TRUE(TResolver::IsIPv6Literal("::1"));
    EXPECT_TRUE(TResolver::IsIPv6Literal("[fe80::1]"));
    EXPECT_FALSE(TResolver::IsIPv6Literal("10.0.0.1"));
}
