// The collision-flag calculators: window globals, change handlers, the
// identifier rules and the vocabulary record that each build shows.
#ifndef FLAGWRIGHT_H
#define FLAGWRIGHT_H

#include <gtk/gtk.h>

#include <string>
#include <string_view>

#include "vocabulary.h"

// ---- Vocabulary ---------------------------------------------------------

// The record this program shows: mk7Vocabulary or mkdsVocabulary, chosen by
// the unit each program links (game_mk7.cpp or game_mkds.cpp).
extern const Vocabulary& vocabulary;

// ---- Identifier rules ---------------------------------------------------
// Each takes the four-character identifier text and the position chosen in
// its list, and returns the text with its own characters rewritten. A
// position outside the accepted range, or a text that is not four
// characters long, comes back unchanged.

// Collision type 0x00-0x1F: characters 2 and 3 (clears the basic effect).
std::string idtype(std::string_view text, int position);
// Basic effect 0-7: character 2, keeping bit 4 of the collision type.
std::string ideffect(std::string_view text, int position);
// Shadow (intensity) 0-15: character 1.
std::string idshadow(std::string_view text, int position);
// Special property (shadow effect) 0-15: character 0.
std::string idspecial(std::string_view text, int position);

// The uppercase hexadecimal digit of v (0-15).
inline char hexdigit(int v) { return "0123456789ABCDEF"[v & 15]; }

// ---- Window -------------------------------------------------------------

extern GtkWidget* combod;   // collision type
extern GtkWidget* combob;   // basic effect of the chosen type
extern GtkWidget* combosh;  // shadow / intensity
extern GtkWidget* combosp;  // special property / shadow effect
extern GtkWidget* entry;    // the identifier, not editable
extern GtkWidget* label;    // the label most recently created

// Loads an image; on failure prints the loader's message on stderr and
// returns nullptr.
GdkPixbuf* create_pixbuf(const gchar* filename);

// Builds the calculator window from this build's vocabulary, with every
// widget, list and handler, and returns it unshown. Sets the globals above.
GtkWidget* build_window();

// Change handlers of the type box.
void decro(GtkWidget* widget, gpointer description);
void basiceffect(GtkWidget* widget, gpointer effects);
// Change handlers that rewrite the identifier held by the entry `field`.
void val2ent(GtkWidget* widget, gpointer field);
void becalc(GtkWidget* widget, gpointer field);
void shadow(GtkWidget* widget, gpointer field);
void special(GtkWidget* widget, gpointer field);

// Puts `text` into the identifier field and selects all of it.
inline void puttext(gpointer field, const std::string& text) {
  gtk_entry_set_text(GTK_ENTRY(field), text.c_str());
  gtk_editable_select_region(GTK_EDITABLE(field), 0, -1);
}

#endif
