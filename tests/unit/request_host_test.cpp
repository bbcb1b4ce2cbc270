#include "server/request_host.h"

#include <gtest/gtest.h>

using namespace quillmark;

// A build that listens on every interface also takes address literals, never another name.
TEST(RequestHost, EveryInterfaceTakesAddressesButNoOtherName) {
    for (const char* host : {"192.168.1.20", "192.168.1.20:7681", "[fe80::1]", "[2001:db8::5]:7681",
                             "localhost", "[::1]"}) {
        EXPECT_TRUE(hostNamesAgent(host, true)) << host;
    }
    for (const char* host : {"192.168.1.20", "[2001:db8::5]"})
        EXPECT_FALSE(hostNamesAgent(host, false)) << host;
    for (const char* host : {"rebound.example", "192.168.1.20.rebound.example", "192.168.1.20:80",
                             "[localhost]", "fe80::1", "1.2.3", ""}) {
        EXPECT_FALSE(hostNamesAgent(host, true)) << host;
    }
}
