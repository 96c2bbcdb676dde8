// What the calculators' tests need of GTK: the display, the main loop and
// the texts of a list.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

// Polls `done` every 20 ms for up to `seconds`, running the GTK main loop in
// between when `gtk` is set.
bool wait_until(const std::function<bool()>& done, double seconds, bool gtk = false);

// Opens GTK on $DISPLAY once per process (retrying a few times: the X server
// may drop a connection accepted at the moment another client leaves). Fails,
// saying why, when no display is set or it cannot be opened: window tests
// never pass without one.
::testing::AssertionResult open_display();

// Runs the GTK main loop until no event is pending.
void settle();

// The texts of a text combo box, in list order.
std::vector<std::string> list_texts(GtkWidget* combo);
