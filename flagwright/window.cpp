// The calculator window: four lists, the description of the chosen type and
// the identifier field, with the handlers that keep them in step.
#include "flagwright.h"

#include <algorithm>
#include <cstdio>

GtkWidget* combod = nullptr;
GtkWidget* combob = nullptr;
GtkWidget* combosh = nullptr;
GtkWidget* combosp = nullptr;
GtkWidget* entry = nullptr;
GtkWidget* label = nullptr;

GdkPixbuf* create_pixbuf(const gchar* filename) {
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(filename, &error);
  if (!pixbuf) {
    std::fprintf(stderr, "%s\n", error ? error->message : "cannot load the icon");
    if (error) g_error_free(error);
  }
  return pixbuf;
}

namespace {

void place(GtkWidget* fixed, GtkWidget* widget, int x, int y, int width) {
  gtk_fixed_put(GTK_FIXED(fixed), widget, x, y);
  gtk_widget_set_size_request(widget, width, 30);
}

GtkWidget* newlabel(const char* text, GtkJustification justify) {
  label = gtk_label_new(text);
  gtk_label_set_justify(GTK_LABEL(label), justify);
  return label;
}

// A caption of the left column, 97 pixels wide at x 40. One whose text is
// wider (in the desktop's font) grows around the same centre instead of
// being cut off; the column has room up to the lists at x 150.
void putcaption(GtkWidget* fixed, const char* text, int y) {
  GtkWidget* caption = newlabel(text, GTK_JUSTIFY_RIGHT);
  GtkRequisition natural;
  gtk_widget_size_request(caption, &natural);
  int width = std::max(97, natural.width);
  place(fixed, caption, std::max(0, 40 - (width - 97) / 2), y, width);
}

GtkWidget* newlist(const char* const* texts, int count) {
  GtkWidget* combo = gtk_combo_box_text_new();
  for (int i = 0; i < count; ++i)
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), texts[i]);
  return combo;
}

}  // namespace

GtkWidget* build_window() {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), vocabulary.title);
  gtk_container_set_border_width(GTK_CONTAINER(window), 5);
  gtk_window_resize(GTK_WINDOW(window), 686, 280);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);

  GtkWidget* fixed = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(window), fixed);

  GdkPixbuf* icon = create_pixbuf("icon.png");
  gtk_window_set_icon(GTK_WINDOW(window), icon);

  for (int i = 0; i < 5; ++i) putcaption(fixed, vocabulary.captions[i], 30 * i);

  const char* types[32];
  for (int i = 0; i < 32; ++i) types[i] = vocabulary.types[i].entry;
  combod = newlist(types, 32);
  place(fixed, combod, 150, 0, 500);

  GtkWidget* description = newlabel("", GTK_JUSTIFY_LEFT);
  place(fixed, description, 150, 30, 500);
  // The longest descriptions need two lines.
  gtk_label_set_line_wrap(GTK_LABEL(description), TRUE);
  g_signal_connect(combod, "changed", G_CALLBACK(decro), description);

  combob = gtk_combo_box_text_new();
  g_signal_connect(combod, "changed", G_CALLBACK(basiceffect), combob);
  place(fixed, combob, 150, 60, 500);

  combosh = newlist(vocabulary.shadows, 16);
  place(fixed, combosh, 150, 90, 500);
  combosp = newlist(vocabulary.specials, 16);
  place(fixed, combosp, 150, 120, 500);

  place(fixed, newlabel("KCL ID:", GTK_JUSTIFY_RIGHT), 150, 180, 97);

  entry = gtk_entry_new();
  gtk_entry_set_text(GTK_ENTRY(entry), "0000");
  gtk_editable_set_editable(GTK_EDITABLE(entry), FALSE);
  place(fixed, entry, 240, 180, 97);

  g_signal_connect(combod, "changed", G_CALLBACK(val2ent), entry);
  g_signal_connect(combob, "changed", G_CALLBACK(becalc), entry);
  g_signal_connect(combosh, "changed", G_CALLBACK(shadow), entry);
  g_signal_connect(combosp, "changed", G_CALLBACK(special), entry);

  place(fixed, newlabel(vocabulary.credit, GTK_JUSTIFY_RIGHT), 150, 250, 400);

  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

  if (icon) g_object_unref(icon);
  return window;
}
