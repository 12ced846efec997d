#include "server/ListenAddress.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyglass {
namespace {

// What the user writes either names one address and port exactly, or is refused
// before anything is bound; a refused text never becomes "every interface".
TEST(ListenAddress, readsNumericAddressesWithAPortAndRefusesTheRest)
{
    const std::pair<std::string, std::string> readable[] = {
        {"0.0.0.0:4318", "0.0.0.0:4318"},
        {"172.17.0.1:45832", "172.17.0.1:45832"},
        {"[::]:4318", "[::]:4318"},
        {"[0:0::1]:1", "[::1]:1"},
        {"[::ffff:10.0.0.1]:65535", "[::ffff:10.0.0.1]:65535"},
    };
    for (const auto& [text, written] : readable) {
        SCOPED_TRACE(text);
        const auto address = ListenAddress::parse(text);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(address->text(), written);
        EXPECT_EQ(ListenAddress::parse(address->text()), address);
    }
    EXPECT_TRUE(ListenAddress::parse("[::]:4318")->isAnyAddress());
    EXPECT_FALSE(ListenAddress::parse("[::1]:4318")->isAnyAddress());
    for (const char* text : {"", "4318", ":4318", "0.0.0.0", "0.0.0.0:", "0.0.0.0:0", "0.0.0.0:65536", "0.0.0.0:-1",
                             "0.0.0.0:43 18", " 0.0.0.0:4318", "localhost:4318", "host.docker.internal:4318", "1.2.3:4318",
                             "::1:4318", "[::1]4318", "[::1:4318", "[localhost]:4318", "[1.2.3.4]:4318",
                             "0.0.0.0:+4318", "0.0.0.0:4318x"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ListenAddress::parse(text).has_value());
    }
}

} // namespace
} // namespace tallyglass
