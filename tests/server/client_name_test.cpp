#include "server/client_name.h"

#include <gtest/gtest.h>

namespace quavelink {
namespace {

TEST(DisplayableClientName, MarkupAndPrintableTextInAnyScriptStayAsTheyAre) {
    EXPECT_EQ(displayableClientName("<b>x</b><img src=a.png> & %s%n"),
              "<b>x</b><img src=a.png> & %s%n");
    EXPECT_EQ(displayableClientName("K\xC3\xBC"
                                    "che \xE2\x82\xAC \xF0\x9F\x8E\xB5"),
              "K\xC3\xBC"
              "che \xE2\x82\xAC \xF0\x9F\x8E\xB5");
}

TEST(DisplayableClientName, ControlCharactersBecomeOneMarkEach) {
    EXPECT_EQ(displayableClientName("a\nb\rc\td\x1b[2Je\x7f"
                                    "f\x01"),
              "a?b?c?d?[2Je?f?");
    // C1 controls, line and paragraph separators, a right-to-left override and an isolate.
    EXPECT_EQ(displayableClientName("\xC2\x85\xC2\x9B|\xE2\x80\xA8\xE2\x80\xA9|\xE2\x80\xAE|"
                                    "\xE2\x81\xA6"),
              "??|??|?|?");
}

TEST(DisplayableClientName, BytesThatAreNoUtf8BecomeOneMarkEach) {
    EXPECT_EQ(displayableClientName("a\xFF"
                                    "b\x80"
                                    "c"),
              "a?b?c");
    EXPECT_EQ(displayableClientName("\xC0\xAF"), "??");            // overlong '/'
    EXPECT_EQ(displayableClientName("\xED\xA0\x80"), "???");       // a surrogate
    EXPECT_EQ(displayableClientName("\xF4\x90\x80\x80"), "????");  // beyond U+10FFFF
    EXPECT_EQ(displayableClientName("\xE2\x82z"), "??z");          // sequence broken off
    EXPECT_EQ(displayableClientName("end\xE2\x82"), "end??");      // ... at the end of a name
}

TEST(DisplayableClientName, KeepsTheFirst255BytesAndDropsACharacterTheCutSplit) {
    EXPECT_EQ(displayableClientName(std::string(300, 'n')), std::string(255, 'n'));
    EXPECT_EQ(displayableClientName(std::string(255, '\n')), std::string(255, '?'));
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";  // 3 bytes each: the cut splits the 86th
    std::string shown = displayableClientName(euros);
    EXPECT_EQ(shown, euros.substr(0, 85 * 3));
    // A name of exactly 255 bytes is not cut: a broken sequence at its end is marked.
    EXPECT_EQ(displayableClientName(std::string(253, 'n') + "\xE2\x82"),
              std::string(253, 'n') + "??");
}

}  // namespace
}  // namespace quavelink
