// The basic effect writes bits 5-7 of the identifier into character 2, which
// also carries bit 4 of the collision type.
#include "flagwright.h"

namespace {

// The value of a hexadecimal digit; anything else counts as 0.
int hexvalue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

std::string ideffect(std::string_view text, int position) {
  std::string id(text);
  if (id.size() != 4 || position < 0 || position > 7) return id;
  int typebit = hexvalue(id[2]) & 1;
  id[2] = hexdigit(2 * position + typebit);
  return id;
}

void becalc(GtkWidget* widget, gpointer field) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  puttext(field, ideffect(gtk_entry_get_text(GTK_ENTRY(field)), position));
}
