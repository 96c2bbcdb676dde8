// The texts that flagwright-mkds shows.
#include "flagwright.h"

const Vocabulary& vocabulary = mkdsVocabulary;
