// The basic-effect list holds the eight effects of the chosen collision type,
// with none of them chosen.
#include "flagwright.h"

void basiceffect(GtkWidget* widget, gpointer effects) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  gtk_list_store_clear(GTK_LIST_STORE(gtk_combo_box_get_model(GTK_COMBO_BOX(effects))));
  // With no type chosen the list stays empty, as at start.
  if (position < 0 || position >= 32) return;
  for (const char* text : vocabulary.types[position].effects)
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(effects), text);
}
