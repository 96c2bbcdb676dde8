// What sets flagwright-mk7 apart: its titles and the MK7 collision texts,
// typos of the game texts included.
#include "window_fixture.h"

namespace {

TEST_F(WindowTest, Mk7TitleAndCaptions) {
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), "Flagwright for MK7 v1.0");
  std::vector<GtkWidget*> all = widgets();
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[3])), "Shadow");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[4])), "Special Property");
}

TEST_F(WindowTest, Mk7KeepsTheCommunitysSpellings) {
  choose(combod, 0x00);
  EXPECT_EQ(list_texts(combob).at(1), "1 - Sand/Gavel");
  choose(combod, 0x07);
  EXPECT_EQ(description_text(), "A type of read that is slippery, but does not slow you down.");
  choose(combod, 0x1F);
  EXPECT_EQ(list_texts(combob).at(1), "1 - Rowerbed");
}

TEST_F(WindowTest, Mk7RowsWithTheSameNameKeepTheirCodes) {
  EXPECT_EQ(list_texts(combod).at(0x03), "0x03 - Road 4");
  EXPECT_EQ(list_texts(combod).at(0x0D), "0x0D - Road 4");
  choose(combod, 0x03);
  EXPECT_EQ(id().substr(2), "03");
  choose(combod, 0x0D);
  EXPECT_EQ(id().substr(2), "0D");
}

TEST_F(WindowTest, Mk7EffectTriggers) {
  EXPECT_EQ(list_texts(combod).at(0x1A), "0x1A - Effect Trigger");
  choose(combod, 0x1A);
  std::string trigger = description_text();
  EXPECT_EQ(trigger, "Triggers a visual effect when passing through this collision.");
  EXPECT_EQ(list_texts(combob).at(2), "2 - Tree leaves");
  choose(combob, 2);
  EXPECT_EQ(id().substr(2), "5A");
  choose(combod, 0x1F);
  EXPECT_EQ(list_texts(combod).at(0x1F), "0x1F - Effect Trigger 2");
  EXPECT_EQ(description_text(), trigger);
}

TEST_F(WindowTest, Mk7AttributeLists) {
  std::vector<std::string> shadows = list_texts(combosh), specials = list_texts(combosp);
  ASSERT_EQ(shadows.size(), 16u);
  ASSERT_EQ(specials.size(), 16u);
  EXPECT_EQ(shadows.front(), "0 (None)");
  EXPECT_EQ(shadows.back(), "F");
  EXPECT_EQ(specials.front(), "0 - Nothing");
  EXPECT_EQ(specials.at(3), "3 - Pushes you back & Trickable");
  EXPECT_EQ(specials.back(), "F - Trickable (Cannon Activator if used with 0x09 or 0x1C?)");
}

}  // namespace
