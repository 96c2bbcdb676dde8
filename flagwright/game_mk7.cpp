// The texts that flagwright-mk7 shows.
#include "flagwright.h"

const Vocabulary& vocabulary = mk7Vocabulary;
