// The special property (shadow effect) writes character 0 of the identifier.
#include "flagwright.h"

std::string idspecial(std::string_view text, int position) {
  std::string id(text);
  if (id.size() != 4 || position < 0 || position > 15) return id;
  id[0] = hexdigit(position);
  return id;
}

void special(GtkWidget* widget, gpointer field) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  puttext(field, idspecial(gtk_entry_get_text(GTK_ENTRY(field)), position));
}
