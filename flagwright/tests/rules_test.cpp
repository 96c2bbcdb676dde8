// The identifier rules on the four-character text, without a display.
#include "flagwright.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The identifier of a full selection, composed the way the handlers do when
// the lists are chosen in the order type, basic effect, shadow, special.
std::string compose(int type, int effect, int shade, int property) {
  std::string id = idtype("0000", type);
  id = ideffect(id, effect);
  id = idshadow(id, shade);
  return idspecial(id, property);
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

TEST(IdentifierRules, WorkedExamples) {
  EXPECT_EQ(compose(0x08, 3, 2, 0), "0268");
  EXPECT_EQ(compose(0x1A, 2, 0, 1), "105A");
  EXPECT_EQ(compose(0x1F, 7, 15, 15), "FFFF");
  EXPECT_EQ(idtype("0000", 0x10), "0010");
}

TEST(IdentifierRules, SequenceFromStart) {
  std::string id = "0000";
  id = idspecial(id, 15);
  EXPECT_EQ(id, "F000");
  id = idtype(id, 0x1C);
  EXPECT_EQ(id, "F01C");
  id = ideffect(id, 5);
  EXPECT_EQ(id, "F0BC");
  id = idshadow(id, 3);
  EXPECT_EQ(id, "F3BC");
  id = idtype(id, 0x05);  // a new type clears the basic effect
  EXPECT_EQ(id, "F305");
  id = ideffect(id, 2);
  EXPECT_EQ(id, "F345");
  id = ideffect(id, 6);
  EXPECT_EQ(id, "F3C5");
}

// Every selection in every order of choosing gives the value
// type + effect * 0x20 + shadow * 0x100 + special * 0x1000.
TEST(IdentifierRules, EveryCombinationMatchesTheBitLayout) {
  for (int type = 0; type < 32; ++type)
    for (int effect = 0; effect < 8; ++effect)
      for (int shade = 0; shade < 16; ++shade)
        for (int property = 0; property < 16; ++property) {
          std::string expected = hex4(type + effect * 0x20 + shade * 0x100 + property * 0x1000);
          ASSERT_EQ(compose(type, effect, shade, property), expected);
          // Shadow and special first, then type and effect.
          std::string id = idtype(idshadow(idspecial("0000", property), shade), type);
          ASSERT_EQ(ideffect(id, effect), expected);
        }
}

TEST(IdentifierRules, AttributesBeforeAnyTypeTouchOnlyTheirCharacter) {
  EXPECT_EQ(idshadow("0000", 3), "0300");
  EXPECT_EQ(idspecial("0000", 10), "A000");
  EXPECT_EQ(idspecial(idshadow("0000", 12), 1), "1C00");
}

TEST(IdentifierRules, TypeLeavesAttributesAndClearsEffect) {
  EXPECT_EQ(idtype("F3BC", 0x05), "F305");
  EXPECT_EQ(idtype("F3FF", 0x00), "F300");
  EXPECT_EQ(idtype("12E3", 0x1F), "121F");
}

TEST(IdentifierRules, RepeatedEffectsNeverChangeTheType) {
  for (int type = 0; type < 32; ++type) {
    std::string id = idtype("ABCD", type);
    for (int round = 0; round < 3; ++round)
      for (int effect : {7, 0, 3, 5, 1, 6, 2, 4}) {
        id = ideffect(id, effect);
        ASSERT_EQ(id, idtype("ABCD", type).substr(0, 2) + hex4(type + effect * 0x20).substr(2));
      }
  }
}

TEST(IdentifierRules, PositionsOutsideTheRangeChangeNothing) {
  for (int position : {-1, -2, 32, 100}) EXPECT_EQ(idtype("F3BC", position), "F3BC");
  for (int position : {-1, 8, 15}) EXPECT_EQ(ideffect("F3BC", position), "F3BC");
  for (int position : {-1, 16, 255}) {
    EXPECT_EQ(idshadow("F3BC", position), "F3BC");
    EXPECT_EQ(idspecial("F3BC", position), "F3BC");
  }
}

TEST(IdentifierRules, UppercaseDigitsOnly) {
  EXPECT_EQ(idtype("0000", 0x1E), "001E");
  EXPECT_EQ(ideffect("001E", 6), "00DE");
  EXPECT_EQ(idshadow("0000", 11), "0B00");
  EXPECT_EQ(idspecial("0000", 12), "C000");
  // A lowercase digit left in character 2 still counts with its value.
  EXPECT_EQ(ideffect("00b0", 0), "0010");
}

TEST(IdentifierRules, TextsOfAnotherLengthComeBackUnchanged) {
  for (const char* text : {"", "000", "00000", "0x0000"}) {
    EXPECT_EQ(idtype(text, 5), text);
    EXPECT_EQ(ideffect(text, 5), text);
    EXPECT_EQ(idshadow(text, 5), text);
    EXPECT_EQ(idspecial(text, 5), text);
  }
}

}  // namespace
