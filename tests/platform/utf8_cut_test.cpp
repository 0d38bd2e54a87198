#include "platform/utf8_cut.h"

#include <gtest/gtest.h>

#include <string>

namespace quavelink {
namespace {

// "ü" (2 bytes), "€" (3 bytes) and a note (4 bytes), each placed so that the cut at 255
// falls after each of its bytes in turn.
TEST(CutUtf8, NeverSplitsACharacterAtTheCut) {
    for (std::string character : {"\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB5"}) {
        for (std::size_t inside = 1; inside < character.size(); ++inside) {
            const std::string text = std::string(255 - inside, 'a') + character + "z";
            EXPECT_EQ(cutUtf8(text, 255), std::string(255 - inside, 'a'))
                << character.size() << "-byte character, " << inside << " bytes before the cut";
        }
        // The character ends right at the cut: it stays.
        const std::string whole = std::string(255 - character.size(), 'a') + character;
        EXPECT_EQ(cutUtf8(whole + "z", 255), whole);
        EXPECT_EQ(cutUtf8(whole, 255), whole);
    }
}

TEST(CutUtf8, CutsBytesThatAreNoUtf8AtTheLimit) {
    EXPECT_EQ(cutUtf8(std::string(300, 'n'), 255), std::string(255, 'n'));
    // Stray continuation bytes and bytes that start no character are cut like ASCII.
    EXPECT_EQ(cutUtf8(std::string(255, 'n') + "\x80", 255), std::string(255, 'n'));
    EXPECT_EQ(cutUtf8(std::string(10, '\x80'), 4), std::string(4, '\x80'));
    EXPECT_EQ(cutUtf8(std::string(254, 'n') + "\xC0\xAF", 255), std::string(254, 'n') + "\xC0");
    EXPECT_EQ(cutUtf8("\xE2\x82\xAC", 2), "");
    EXPECT_EQ(cutUtf8("short", 255), "short");
}

}  // namespace
}  // namespace quavelink
