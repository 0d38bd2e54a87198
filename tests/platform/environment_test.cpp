#include "platform/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quavelink {
namespace {

TEST(PortFromEnvironmentText, TakesTheLeadingDigitsKeptTo16Bits) {
    EXPECT_EQ(portFromEnvironmentText("59020"), 59020);
    EXPECT_EQ(portFromEnvironmentText("70000"), 4464);
    EXPECT_EQ(portFromEnvironmentText("60000abc"), 60000);
    EXPECT_EQ(portFromEnvironmentText("0"), 0);
    // Far more digits than fit in 32 bits still give the low 16 bits of the number.
    EXPECT_EQ(portFromEnvironmentText("100000000000000065536"), 0);
    EXPECT_EQ(portFromEnvironmentText("4294967296"), 0);
    EXPECT_EQ(portFromEnvironmentText("4294967297"), 1);
}

TEST(PortFromEnvironmentText, IgnoresTextThatDoesNotStartWithADigit) {
    EXPECT_FALSE(portFromEnvironmentText(nullptr));
    EXPECT_FALSE(portFromEnvironmentText(""));
    EXPECT_FALSE(portFromEnvironmentText(" 59020"));
    EXPECT_FALSE(portFromEnvironmentText("+59020"));
    EXPECT_FALSE(portFromEnvironmentText("-1"));
    EXPECT_FALSE(portFromEnvironmentText("port59020"));
}

TEST(EnvironmentSwitch, IsOnFor1OrOnInAnyCase) {
    const char* name = "QUAVELINK_TEST_SWITCH";
    for (const char* on : {"1", "on", "ON", "oN"}) {
        setenv(name, on, 1);
        EXPECT_TRUE(environmentSwitchOn(name)) << on;
    }
    for (const char* off : {"", "0", "yes", "true", " on", "on ", "11"}) {
        setenv(name, off, 1);
        EXPECT_FALSE(environmentSwitchOn(name)) << off;
    }
    unsetenv(name);
    EXPECT_FALSE(environmentSwitchOn(name));
}

}  // namespace
}  // namespace quavelink
