#include "window_fixture.h"

#include <unistd.h>

#include <climits>

void WindowTest::SetUp() {
  ASSERT_TRUE(open_display());
  char here[PATH_MAX];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  cwd = here;
  testkit::WriteFile(folder / "icon.png", testkit::ReadFile(FLAGWRIGHT_ICON));
  build_in(folder.path());
}

void WindowTest::build_in(const std::string& where) {
  if (window) {
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(gtk_main_quit),
                                         nullptr);
    gtk_widget_destroy(window);
  }
  ASSERT_EQ(chdir(where.c_str()), 0);
  window = build_window();
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

void WindowTest::TearDown() {
  if (window) {
    // Destroying the window would end a main loop; the tests run none.
    g_signal_handlers_disconnect_by_func(window, reinterpret_cast<gpointer>(gtk_main_quit),
                                         nullptr);
    gtk_widget_destroy(window);
    settle();
  }
}

void WindowTest::show() {
  gtk_widget_show_all(window);
  bool shown = wait_until(
      [&] {
        if (!window->window || !gdk_window_is_viewable(window->window)) return false;
        gint x, y, w, h, depth;
        gdk_window_get_geometry(window->window, &x, &y, &w, &h, &depth);
        return w == window->allocation.width && h == window->allocation.height;
      },
      10, true);
  ASSERT_TRUE(shown) << "the window did not come on screen";
}

std::vector<GtkWidget*> WindowTest::widgets() const {
  std::vector<GtkWidget*> all;
  GtkWidget* fixed = gtk_bin_get_child(GTK_BIN(window));
  GList* children = gtk_container_get_children(GTK_CONTAINER(fixed));
  for (GList* l = children; l; l = l->next) all.push_back(GTK_WIDGET(l->data));
  g_list_free(children);
  return all;
}

bool WindowTest::all_selected() const {
  gint start = -1, end = -1;
  return gtk_editable_get_selection_bounds(GTK_EDITABLE(entry), &start, &end) && start == 0 &&
         end == 4;
}
