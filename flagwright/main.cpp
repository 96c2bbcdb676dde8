// flagwright-mk7 and flagwright-mkds: the calculator window until it is closed.
#include "flagwright.h"

int main(int argc, char* argv[]) {
  gtk_init(&argc, &argv);
  GtkWidget* window = build_window();
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
