// The calculator window of this build, driven in-process with the toolkit's
// own calls and checked against the build's vocabulary.
#include "window_fixture.h"

#include <gdk/gdkkeysyms.h>

#include <cstdio>
#include <cstring>

namespace {

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string prefix(const char* format, int value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

struct Place {
  int x, y, width, height;
};

Place place_of(GtkWidget* widget) {
  Place p{};
  gtk_container_child_get(GTK_CONTAINER(gtk_widget_get_parent(widget)), widget, "x", &p.x, "y",
                          &p.y, nullptr);
  gtk_widget_get_size_request(widget, &p.width, &p.height);
  return p;
}

// Width in pixels of a label's text in the desktop's font.
int text_width(GtkWidget* label) {
  int width = 0, height = 0;
  PangoLayout* layout = gtk_widget_create_pango_layout(label, gtk_label_get_text(GTK_LABEL(label)));
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  return width;
}

bool has_focus_in(GtkWidget* window, GtkWidget* widget) {
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(window));
  return focus && (focus == widget || gtk_widget_is_ancestor(focus, widget));
}

// The table itself: the digits that begin each text agree with its place.
TEST(Vocabulary, TextsBeginWithTheirValues) {
  for (int code = 0; code < 32; ++code) {
    const TypeRow& row = vocabulary.types[code];
    EXPECT_EQ(std::string(row.entry).rfind(prefix("0x%02X - ", code), 0), 0u) << row.entry;
    EXPECT_GT(std::strlen(row.description), 0u);
    for (int effect = 0; effect < 8; ++effect)
      EXPECT_EQ(std::string(row.effects[effect]).rfind(prefix("%d - ", effect), 0), 0u)
          << row.effects[effect];
  }
  for (int value = 0; value < 16; ++value) {
    EXPECT_EQ(vocabulary.shadows[value][0], hexdigit(value));
    EXPECT_EQ(vocabulary.specials[value][0], hexdigit(value));
  }
}

TEST(Vocabulary, CreditIsOneLineWithoutAWebSite) {
  std::string credit = vocabulary.credit;
  EXPECT_NE(credit.find("course-modding community"), std::string::npos);
  EXPECT_EQ(credit.find('\n'), std::string::npos);
  for (const char* site : {"http", "www.", ".com", ".org", ".net"})
    EXPECT_EQ(credit.find(site), std::string::npos);
}

TEST_F(WindowTest, StartsWithNothingChosen) {
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(window)), vocabulary.title);
  EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(window)));
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(window)), 5u);
  GtkWindowPosition position;
  g_object_get(window, "window-position", &position, nullptr);
  EXPECT_EQ(position, GTK_WIN_POS_CENTER);

  for (GtkWidget* combo : {combod, combob, combosh, combosp})
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), -1);
  EXPECT_TRUE(list_texts(combob).empty());
  EXPECT_EQ(id(), "0000");
  EXPECT_FALSE(gtk_editable_get_editable(GTK_EDITABLE(entry)));
  EXPECT_EQ(description_text(), "");
}

TEST_F(WindowTest, ListsHoldTheVocabularyInOrder) {
  std::vector<std::string> types, shadows, specials;
  for (const TypeRow& row : vocabulary.types) types.push_back(row.entry);
  for (const char* text : vocabulary.shadows) shadows.push_back(text);
  for (const char* text : vocabulary.specials) specials.push_back(text);
  EXPECT_EQ(list_texts(combod), types);
  EXPECT_EQ(list_texts(combosh), shadows);
  EXPECT_EQ(list_texts(combosp), specials);
}

TEST_F(WindowTest, WidgetsStandAtTheirPlaces) {
  std::vector<GtkWidget*> all = widgets();
  ASSERT_EQ(all.size(), 13u);
  // Lists, description, identifier: exactly where they belong.
  struct Expected {
    GtkWidget* widget;
    Place place;
  };
  for (const Expected& e :
       {Expected{combod, {150, 0, 500, 30}}, Expected{all[6], {150, 30, 500, 30}},
        Expected{combob, {150, 60, 500, 30}}, Expected{combosh, {150, 90, 500, 30}},
        Expected{combosp, {150, 120, 500, 30}}, Expected{all[10], {150, 180, 97, 30}},
        Expected{entry, {240, 180, 97, 30}}, Expected{all[12], {150, 250, 400, 30}}}) {
    Place p = place_of(e.widget);
    EXPECT_EQ(p.x, e.place.x);
    EXPECT_EQ(p.y, e.place.y);
    EXPECT_EQ(p.width, e.place.width);
    EXPECT_EQ(p.height, e.place.height);
  }
  EXPECT_EQ(all[5], combod);
  EXPECT_EQ(all[7], combob);
  EXPECT_EQ(all[8], combosh);
  EXPECT_EQ(all[9], combosp);
  EXPECT_EQ(all[11], entry);
  EXPECT_EQ(label, all[12]);  // the last label made is the credit

  // Captions: the vocabulary's texts, right-justified in the left column,
  // 97 pixels wide or, when the text is wider, as wide as the text around
  // the same centre and never reaching the lists.
  for (int i = 0; i < 5; ++i) {
    GtkWidget* caption = all[i];
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(caption)), vocabulary.captions[i]);
    EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(caption)), GTK_JUSTIFY_RIGHT);
    Place p = place_of(caption);
    EXPECT_EQ(p.y, 30 * i);
    EXPECT_EQ(p.height, 30);
    EXPECT_GE(p.width, 97);
    EXPECT_GE(p.width, text_width(caption)) << vocabulary.captions[i];
    EXPECT_LE(p.x + p.width, 150);
    EXPECT_NEAR(p.x + p.width / 2.0, 40 + 97 / 2.0, 1.0);
    if (text_width(caption) <= 97) {
      EXPECT_EQ(p.x, 40);
    }
  }
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[10])), "KCL ID:");
  EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(all[10])), GTK_JUSTIFY_RIGHT);
  EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(all[6])), GTK_JUSTIFY_LEFT);
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(all[12])), vocabulary.credit);
  EXPECT_EQ(gtk_label_get_justify(GTK_LABEL(all[12])), GTK_JUSTIFY_RIGHT);
}

TEST_F(WindowTest, ShownWindowTakesItsLayoutsSize) {
  show();
  gint x, y, width, height, depth;
  gdk_window_get_geometry(window->window, &x, &y, &width, &height, &depth);
  EXPECT_EQ(width, 660);  // 650 x 280 of layout plus the border of 5
  EXPECT_EQ(height, 290);
  gint left, top;
  gdk_window_get_origin(window->window, &left, &top);
  GdkScreen* screen = gtk_widget_get_screen(window);
  EXPECT_EQ(left, (gdk_screen_get_width(screen) - 660) / 2);
  EXPECT_EQ(top, (gdk_screen_get_height(screen) - 290) / 2);

  // Asking for another size changes nothing.
  gtk_window_resize(GTK_WINDOW(window), 900, 500);
  wait_until([] { return false; }, 0.2, true);
  gdk_window_get_geometry(window->window, &x, &y, &width, &height, &depth);
  EXPECT_EQ(width, 660);
  EXPECT_EQ(height, 290);
}

TEST_F(WindowTest, EveryTypeSetsDescriptionEffectsAndIdentifier) {
  for (int code = 0; code < 32; ++code) {
    SCOPED_TRACE(vocabulary.types[code].entry);
    choose(combod, code);
    EXPECT_EQ(description_text(), vocabulary.types[code].description);
    std::vector<std::string> effects(vocabulary.types[code].effects,
                                     vocabulary.types[code].effects + 8);
    EXPECT_EQ(list_texts(combob), effects);
    EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combob)), -1);
    EXPECT_EQ(id(), hex4(code));
    EXPECT_TRUE(all_selected());
    // Choose an effect so that the next type change has one to clear.
    int effect = (code * 5 + 3) % 8;
    choose(combob, effect);
    EXPECT_EQ(id(), hex4(code + effect * 0x20));
    EXPECT_TRUE(all_selected());
    // The list and the description stay with the type.
    EXPECT_EQ(list_texts(combob), effects);
    EXPECT_EQ(description_text(), vocabulary.types[code].description);
  }
  // Back to a type below 0x10 after the last one, with an effect chosen.
  choose(combod, 0x02);
  EXPECT_EQ(id(), "0002");
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combob)), -1);
  EXPECT_EQ(list_texts(combob).size(), 8u);
}

TEST_F(WindowTest, SelectionsComposeTheBitLayout) {
  for (int code = 0; code < 32; ++code)
    for (int effect = 0; effect < 8; ++effect) {
      int shade = (code + effect) % 16, property = (code * 3 + effect * 7) % 16;
      choose(combod, code);
      choose(combob, effect);
      choose(combosh, shade);
      choose(combosp, property);
      ASSERT_EQ(id(), hex4(code + effect * 0x20 + shade * 0x100 + property * 0x1000));
      ASSERT_TRUE(all_selected());
    }
}

TEST_F(WindowTest, SequenceFromStart) {
  choose(combosp, 15);
  EXPECT_EQ(id(), "F000");
  choose(combod, 0x1C);
  EXPECT_EQ(id(), "F01C");
  choose(combob, 5);
  EXPECT_EQ(id(), "F0BC");
  choose(combosh, 3);
  EXPECT_EQ(id(), "F3BC");
  choose(combod, 0x05);
  EXPECT_EQ(id(), "F305");
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combob)), -1);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combosh)), 3);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combosp)), 15);
  choose(combob, 2);
  EXPECT_EQ(id(), "F345");
  choose(combob, 6);
  EXPECT_EQ(id(), "F3C5");
}

TEST_F(WindowTest, AttributesBeforeAnyTypeTouchOnlyTheirCharacter) {
  choose(combosh, 3);
  EXPECT_EQ(id(), "0300");
  choose(combosp, 10);
  EXPECT_EQ(id(), "A300");
  EXPECT_TRUE(all_selected());
}

TEST_F(WindowTest, ClearedEffectLeavesTheFieldButSelectsIt) {
  choose(combod, 0x05);
  choose(combob, 2);
  ASSERT_EQ(id(), "0045");
  gtk_editable_select_region(GTK_EDITABLE(entry), 1, 2);
  choose(combob, -1);  // what emptying the list reports
  EXPECT_EQ(id(), "0045");
  EXPECT_TRUE(all_selected());
}

// No type chosen (not reachable with the mouse or keyboard): the window goes
// back to its start texts and the identifier stays as it was.
TEST_F(WindowTest, NoTypeChosenEmptiesDescriptionAndEffects) {
  choose(combod, 0x05);
  choose(combob, 2);
  choose(combod, -1);
  EXPECT_EQ(description_text(), "");
  EXPECT_TRUE(list_texts(combob).empty());
  EXPECT_EQ(id(), "0045");
}

TEST_F(WindowTest, LongDescriptionsWrapWithinTheirPlace) {
  show();
  EXPECT_TRUE(gtk_label_get_line_wrap(GTK_LABEL(description())));
  for (int code = 0; code < 32; ++code) {
    choose(combod, code);
    settle();
    int width = 0, height = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(description())), &width, &height);
    EXPECT_LE(width, 500) << vocabulary.types[code].description;
    EXPECT_LE(pango_layout_get_line_count(gtk_label_get_layout(GTK_LABEL(description()))), 2)
        << vocabulary.types[code].description;
  }
}

TEST_F(WindowTest, FocusStartsOnTheTypeListAndTabFollowsTheLayout) {
  show();
  EXPECT_TRUE(has_focus_in(window, combod));
  auto tab = [&] { g_signal_emit_by_name(window, "move-focus", GTK_DIR_TAB_FORWARD); };
  // The empty basic-effect list is skipped.
  tab();
  EXPECT_TRUE(has_focus_in(window, combosh));
  tab();
  EXPECT_TRUE(has_focus_in(window, combosp));
  tab();
  EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(window)), entry);
  // Once a type is chosen the basic-effect list takes its turn.
  choose(combod, 1);
  gtk_widget_grab_focus(combod);
  tab();
  EXPECT_TRUE(has_focus_in(window, combob));
}

TEST_F(WindowTest, IdentifierCannotBeTypedInto) {
  show();
  gtk_widget_grab_focus(entry);
  settle();
  // The keys do reach the field: made editable for a moment, it takes them.
  gtk_editable_set_editable(GTK_EDITABLE(entry), TRUE);
  gtk_editable_set_position(GTK_EDITABLE(entry), -1);
  ASSERT_TRUE(gtk_test_widget_send_key(entry, GDK_KEY_7, GdkModifierType(0)));
  settle();
  ASSERT_EQ(id(), "00007");
  gtk_editable_set_editable(GTK_EDITABLE(entry), FALSE);
  gtk_entry_set_text(GTK_ENTRY(entry), "0000");

  choose(combod, 0x12);
  ASSERT_EQ(id(), "0012");
  for (guint key : {GDK_KEY_7, GDK_KEY_BackSpace, GDK_KEY_Delete, GDK_KEY_a})
    EXPECT_TRUE(gtk_test_widget_send_key(entry, key, GdkModifierType(0)));
  settle();
  EXPECT_EQ(id(), "0012");
}

TEST_F(WindowTest, IdentifierIsOfferedAsThePrimarySelection) {
  show();
  choose(combod, 0x1B);
  choose(combosh, 4);
  gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_PRIMARY));
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "041B");
  g_free(text);
}

TEST_F(WindowTest, ClosingTheWindowEndsTheMainLoop) {
  show();
  bool timed_out = false;
  g_idle_add(
      [](gpointer w) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(w));
        return FALSE;
      },
      window);
  guint guard = g_timeout_add(
      5000,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        gtk_main_quit();
        return FALSE;
      },
      &timed_out);
  gtk_main();
  window = nullptr;  // destroyed
  if (!timed_out) g_source_remove(guard);
  EXPECT_FALSE(timed_out) << "destroying the window did not end gtk_main";
}

// ---- The icon -----------------------------------------------------------

TEST_F(WindowTest, WindowCarriesTheIconFromItsFolder) {
  GdkPixbuf* icon = gtk_window_get_icon(GTK_WINDOW(window));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 64);
  EXPECT_EQ(gdk_pixbuf_get_height(icon), 64);
}

TEST_F(WindowTest, WithoutIconTheWindowSaysSoOnceAndGoesOn) {
  testkit::TempDir empty;
  testing::internal::CaptureStderr();
  build_in(empty.path());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(gtk_window_get_icon(GTK_WINDOW(window)), nullptr);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_GT(err.size(), 1u);
  choose(combod, 3);
  EXPECT_EQ(id(), "0003");
}

TEST(CreatePixbuf, LoadsAnImage) {
  testing::internal::CaptureStderr();
  GdkPixbuf* pixbuf = create_pixbuf(FLAGWRIGHT_ICON);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(pixbuf, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), 64);
  g_object_unref(pixbuf);
}

TEST(CreatePixbuf, PrintsOneLineForAFileThatIsNoImage) {
  testkit::TempDir dir;
  testkit::WriteFile(dir / "icon.png", "not an image\n");
  for (const std::string& path : {dir / "icon.png", dir / "missing.png", dir.path()}) {
    testing::internal::CaptureStderr();
    GdkPixbuf* pixbuf = create_pixbuf(path.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pixbuf, nullptr) << path;
    ASSERT_GT(err.size(), 1u) << path;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }
}

}  // namespace
