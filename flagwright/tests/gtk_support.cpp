#include "gtk_support.h"

#include <chrono>
#include <cstdlib>
#include <thread>

bool wait_until(const std::function<bool()>& done, double seconds, bool gtk) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (gtk) settle();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

::testing::AssertionResult open_display() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return ::testing::AssertionFailure()
           << "DISPLAY is not set: this test needs an X server (scripts/test starts an Xvfb; "
              "or run it under xvfb-run -a)";
  static bool opened = false;
  for (int attempt = 0; !opened && attempt < 10; ++attempt) {
    opened = gtk_init_check(nullptr, nullptr);
    if (!opened) g_usleep(50000);
  }
  if (!opened) return ::testing::AssertionFailure() << "cannot open the X display " << display;
  return ::testing::AssertionSuccess();
}

void settle() {
  while (gtk_events_pending()) gtk_main_iteration();
}

std::vector<std::string> list_texts(GtkWidget* combo) {
  std::vector<std::string> texts;
  GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
  GtkTreeIter it;
  for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok;
       ok = gtk_tree_model_iter_next(model, &it)) {
    gchar* text = nullptr;
    gtk_tree_model_get(model, &it, 0, &text, -1);
    texts.push_back(text ? text : "");
    g_free(text);
  }
  return texts;
}
