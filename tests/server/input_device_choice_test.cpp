#include "server/input_device_choice.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(InputDeviceChoice, HandsEachChoiceOverOnceWithTheLatestIndex) {
    InputDeviceChoice choice;
    int index = -1;
    EXPECT_FALSE(choice.take(index));
    EXPECT_EQ(index, 0);

    choice.choose(2);
    choice.choose(5);
    EXPECT_TRUE(choice.take(index));
    EXPECT_EQ(index, 5);
    EXPECT_FALSE(choice.take(index));
    EXPECT_EQ(index, 5);

    choice.choose(5);
    EXPECT_TRUE(choice.take(index));
}

}  // namespace
}  // namespace quavelink
