#include "versioncheck/version_rules.h"

#include <gtest/gtest.h>

#include <climits>

namespace quavelink {
namespace {

TEST(VersionRules, FramedAddressNeedsMoreThanSevenCharactersBetweenItsQuotes) {
    EXPECT_EQ(framedUrl("<frame src=12345678\"abcdefgh\">"), "abcdefgh");
    EXPECT_EQ(framedUrl("<frame src=12345678\"abcdefg\">"), std::nullopt);
    EXPECT_EQ(framedUrl("<frame src=\"http://h/f.txt>"), std::nullopt) << "unclosed";
}

TEST(VersionRules, PublishedVersionEndsAtALineBreakOrAZeroByte) {
    EXPECT_EQ(publishedVersion("2.2 beta\r\nnotes"), "2.2 beta");
    EXPECT_EQ(publishedVersion("2.2"), "2.2");
    EXPECT_EQ(publishedVersion(responseText(std::string("2.2\0garbage", 11))), "2.2");
}

TEST(VersionRules, HugeStoredCheckTimeDoesNotWrapAround) {
    // The store is a file a user can edit.
    EXPECT_TRUE(checkedRecently(INT_MAX, std::int64_t{INT_MAX} + 1));
}

}  // namespace
}  // namespace quavelink
