// The fixture of the in-process window tests: a calculator window built in a
// folder that holds the icon, and helpers to drive and read it.
#ifndef FLAGWRIGHT_TESTS_WINDOW_H
#define FLAGWRIGHT_TESTS_WINDOW_H

#include "flagwright.h"
#include "gtk_support.h"
#include "test_support.h"

#include <string>
#include <vector>

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the window in `folder` (the icon is looked up there).
  void build_in(const std::string& folder);
  // Shows the window and waits until it is on screen at its final size.
  void show();

  void choose(GtkWidget* combo, int position) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), position);
  }
  std::string id() const { return gtk_entry_get_text(GTK_ENTRY(entry)); }
  // The widgets in the order in which they were put into the window.
  std::vector<GtkWidget*> widgets() const;
  GtkWidget* description() const { return widgets().at(6); }
  std::string description_text() const { return gtk_label_get_text(GTK_LABEL(description())); }
  // True when the identifier's whole text is selected.
  bool all_selected() const;

  GtkWidget* window = nullptr;
  testkit::TempDir folder;
  std::string cwd;
};

#endif
