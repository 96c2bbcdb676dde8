// The texts of the collision-flag calculators, with no window code: the
// calculators show one record each, kiln names identifiers with both.
#ifndef FLAGWRIGHT_VOCABULARY_H
#define FLAGWRIGHT_VOCABULARY_H

// One collision type: the text listed in the type box, the description shown
// beside it and its eight basic effects, in value order 0 to 7.
struct TypeRow {
  const char* entry;
  const char* description;
  const char* effects[8];
};

// Every text that one calculator shows.
struct Vocabulary {
  const char* title;
  const char* captions[5];   // Collision type, description, basic effect, bits 8-11, bits 12-15
  TypeRow types[32];         // in code order 0x00 to 0x1F
  const char* shadows[16];   // bits 8-11, value order 0 to 15
  const char* specials[16];  // bits 12-15, value order 0 to 15
  const char* credit;
};

extern const Vocabulary mk7Vocabulary;   // vocab_mk7.cpp
extern const Vocabulary mkdsVocabulary;  // vocab_mkds.cpp

#endif
