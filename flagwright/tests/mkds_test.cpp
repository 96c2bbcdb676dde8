// What sets flagwright-mkds apart: its titles and the MKDS collision texts.
#include "window_fixture.h"

#include <cstdio>

namespace {

TEST_F(WindowTest, MkdsTitleAndCaptions) {
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Flagwright for MKDS v1.0");
  std::vector<GtkWidget*> all = widgets();
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[3])), "Intensity");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[4])), "Shadow Effect");
}

TEST_F(WindowTest, MkdsCannonActivator) {
  choose(combod, 0x0F);
  EXPECT_EQ(list_texts(combod).at(0x0F), "0x0F - Cannon Activator");
  std::vector<std::string> effects = list_texts(combob);
  ASSERT_EQ(effects.size(), 8u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(effects[i], std::to_string(i) + " - Cannon Point");
}

TEST_F(WindowTest, MkdsUnusedRowsStillWriteTheirOwnCodes) {
  for (int code = 0x16; code <= 0x1F; ++code) {
    char entry_text[32], digits[8];
    std::snprintf(entry_text, sizeof entry_text, "0x%02X - Unused", code);
    std::snprintf(digits, sizeof digits, "%02X", code);
    EXPECT_EQ(list_texts(combod).at(code), entry_text);
    choose(combod, code);
    EXPECT_EQ(description_text(), "Does nothing, you just fall through it. [?]");
    std::vector<std::string> effects = list_texts(combob);
    ASSERT_EQ(effects.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(effects[i], std::to_string(i) + " - Unknown");
    EXPECT_EQ(id().substr(2), digits);
  }
  choose(combob, 7);
  EXPECT_EQ(id().substr(2), "FF");
}

TEST_F(WindowTest, MkdsAttributeLists) {
  std::vector<std::string> intensities = list_texts(combosh), effects = list_texts(combosp);
  ASSERT_EQ(intensities.size(), 16u);
  ASSERT_EQ(effects.size(), 16u);
  EXPECT_EQ(intensities.front(), "0 (None)");
  EXPECT_EQ(effects.front(), "0");
  EXPECT_EQ(effects.back(), "F");
}

TEST_F(WindowTest, MkdsSmallJumpWithAttributes) {
  choose(combod, 0x0E);
  EXPECT_EQ(list_texts(combod).at(0x0E), "0x0E - Small Jump (Ramps in SFC Chocolate Island 2)");
  choose(combosh, 3);
  choose(combosp, 10);
  EXPECT_EQ(id(), "A30E");
}

TEST_F(WindowTest, MkdsKeepsTheCommunitysSpellings) {
  choose(combod, 0x06);
  EXPECT_EQ(description_text(), "A type of read that is slippery, but does not slow you down.");
}

}  // namespace
