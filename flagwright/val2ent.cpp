// The collision type writes characters 2 and 3 of the identifier.
#include "flagwright.h"

std::string idtype(std::string_view text, int position) {
  std::string id(text);
  if (id.size() != 4 || position < 0 || position > 0x1F) return id;
  id[2] = position < 0x10 ? '0' : '1';  // bit 4 of the type; basic effect 0
  id[3] = hexdigit(position);           // bits 0-3 of the type
  return id;
}

void val2ent(GtkWidget* widget, gpointer field) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  puttext(field, idtype(gtk_entry_get_text(GTK_ENTRY(field)), position));
}
