// flagwright-bench-baseline TITLE: the least any GTK 2 calculator must do to
// come on screen: a window with that title holding one label.
#include <gtk/gtk.h>

int main(int argc, char* argv[]) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), argc > 1 ? argv[1] : "baseline");
  gtk_container_add(GTK_CONTAINER(window), gtk_label_new("KCL ID:"));
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
