// The shadow (intensity) writes character 1 of the identifier.
#include "flagwright.h"

std::string idshadow(std::string_view text, int position) {
  std::string id(text);
  if (id.size() != 4 || position < 0 || position > 15) return id;
  id[1] = hexdigit(position);
  return id;
}

void shadow(GtkWidget* widget, gpointer field) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  puttext(field, idshadow(gtk_entry_get_text(GTK_ENTRY(field)), position));
}
