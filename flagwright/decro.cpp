// The description label follows the chosen collision type.
#include "flagwright.h"

void decro(GtkWidget* widget, gpointer description) {
  int position = gtk_combo_box_get_active(GTK_COMBO_BOX(widget));
  // With no type chosen the label goes back to its empty start text.
  const char* text = position >= 0 && position < 32 ? vocabulary.types[position].description : "";
  gtk_label_set_text(GTK_LABEL(description), text);
}
