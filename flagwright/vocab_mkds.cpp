// The texts of flagwright-mkds: collision types, their descriptions and basic
// effects, intensities and shadow effects of MKDS course collision. The game
// texts are kept exactly as the modding community knows them, typos included.
#include "vocabulary.h"

const Vocabulary mkdsVocabulary = {
    "Flagwright for MKDS v1.0",
    {"Collision Type", "Description:", "Basic Effect", "Intensity", "Shadow Effect"},
    {
        // 0x00
        {"0x00 - Road",
         "A type of road that's solid for both players and items.",
         {"0 - Regular Road", "1 - Sand Road", "2 - Stone Road", "3 - ???", "4 - Wood Road",
          "5 - Snow Road", "6 - Metal Road or Grid", "7 - Slot Dependent (Rainbow Road)"}},
        // 0x01
        {"0x01 - Unknown 1",
         "Unknown.",
         {"0 - ???", "1 - ???", "2 - ???", "3 - Water", "4 - ???", "5 - Unused", "6 - Unused",
          "7 - Unused"}},
        // 0x02
        {"0x02 - Weak Off-road",
         "Terrain that slows you down a bit.",
         {"0 - Sand", "1 - Water", "2 - Snow", "3 - Sand", "4 - Unused", "5 - Unused", "6 - Unused",
          "7 - Unused"}},
        // 0x03
        {"0x03 - Off-road",
         "Terrain that slows you down.",
         {"0 - Sand", "1 - Mud", "2 - Grass", "3 - Sand", "4 - GBA Sky Gardens Sand", "5 - Snow",
          "6 - Unused", "7 - Unused"}},
        // 0x04
        {"0x04 - Fall? (Used in Rainbow Road)",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unused", "1 - Unused", "2 - Unused", "3 - Unused", "4 - Unused", "5 - Unused",
          "6 - Unused", "7 - Unused"}},
        // 0x05
        {"0x05 - Unknown 5",
         "Unknown.",
         {"0 - Sand", "1 - Mud", "2 - Grass", "3 - ??? (You fall through the floor)",
          "4 - Flower Bed", "5 - Unused", "6 - Unused", "7 - Unused"}},
        // 0x06
        {"0x06 - Slippery Road",
         "A type of read that is slippery, but does not slow you down.",
         {"0 - Ice", "1 - Mud", "2 - Unused", "3 - Unused", "4 - Unused", "5 - Unused",
          "6 - Unused", "7 - Unused"}},
        // 0x07
        {"0x07 - Boost Pad",
         "Provides a quick speed boost. Variations make different road sounds when drifting.",
         {"0 - Regular Road", "1 - Rainbow Road", "2 - ???", "3 - ???", "4 - ???", "5 - ???",
          "6 - ???", "7 - ???"}},
        // 0x08
        {"0x08 - Wall",
         "A wall that is solid to both players and items.",
         {"0 - Regular Wall", "1 - Rock Wall", "2 - Metal Wall", "3 - Wooden Wall", "4 - Bush",
          "5 - Slot Dependent", "6 - Jelly Wall", "7 - Ice (or glass) Wall"}},
        // 0x09
        {"0x09 - Wall 2",
         "A wall that is solid to both players and items.",
         {"0 - Regular Wall", "1 - Rock Wall", "2 - Metal Wall", "3 - Wooden Wall", "4 - Bush",
          "5 - Slot Dependent", "6 - Jelly Wall", "7 - Ice (or glass) Wall"}},
        // 0x0A
        {"0x0A - Out of Bounds",
         "Acts as an out of bounds.",
         {"0 - Sand (Like in Split-Up Beach)", "1 - Sand (Like in Desert Hills)", "2 - Regular",
          "3 - Snow", "4 - Water (Like in Cheep Cheep Beach)", "5 - Unused", "6 - Unused",
          "7 - Unused"}},
        // 0x0B
        {"0x0B - Fall",
         "Does nothing, you just fall through it. [?]",
         {"0 - Regular Fall", "1 - Water", "2 - Lava", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - ???"}},
        // 0x0C
        {"0x0C - Jump Pad",
         "A hop effect.",
         {"0 - Jump forward", "1 - ???", "2 - ???", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - ???"}},
        // 0x0D
        {"0x0D - Sticky Road",
         "A road that's sort of sticky.",
         {"0 - Regular Road", "1 - ???", "2 - ???", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - ???"}},
        // 0x0E
        {"0x0E - Small Jump (Ramps in SFC Chocolate Island 2)",
         "A hop effect.",
         {"0 - Wall with no sound?", "1 - ???", "2 - ???", "3 - ???", "4 - ???", "5 - ???",
          "6 - ???", "7 - ???"}},
        // 0x0F
        {"0x0F - Cannon Activator",
         "Activates the cannon.",
         {"0 - Cannon Point", "1 - Cannon Point", "2 - Cannon Point", "3 - Cannon Point",
          "4 - Cannon Point", "5 - Cannon Point", "6 - Cannon Point", "7 - Cannon Point"}},
        // 0x10
        {"0x10 - ???",
         "Unknown.",
         {"0 - Regular Wall", "1 - ???", "2 - ???", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - ???"}},
        // 0x11
        {"0x11 - Falls Water",
         "The water falls like in Yoshi Falls..",
         {"0 - Regular Fall", "1 - Water", "2 - Lava", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - ???"}},
        // 0x12
        {"0x12 - Boost Panel?",
         "Provides a quick speed boost. Variations make different road sounds when drifting. [?]",
         {"0 - Normal Boost", "1 - ???", "2 - Waluigi Pinball Boost Panel", "3 - ???", "4 - ???",
          "5 - ???", "6 - ???", "7 - ???"}},
        // 0x13
        {"0x13 - Looping",
         "Loops?",
         {"0 - Regular Road", "1 - Rainbow Road", "2 - Regular Road with no sound",
          "3 - Regular Road with no sound", "4 - Regular Road with no sound",
          "5 - Regular Road with no sound", "6 - Regular Road with no sound",
          "7 - Regular Road with no sound"}},
        // 0x14
        {"0x14 - Road with Sound Effect",
         "Road that creates some noise.",
         {"0 - ???", "1 - ???", "2 - Rainbow Road", "3 - ???", "4 - ???", "5 - ???", "6 - ???",
          "7 - Unused"}},
        // 0x15
        {"0x15 - Wall with Sound Effect",
         "Wall that creates some noise.",
         {"0 - Regular Wall", "1 - Rock Wall", "2 - Metal Wall", "3 - Wooden Wall", "4 - Bush",
          "5 - ??? (No sound)", "6 - Jelly Wall", "7 - Ice (or glass) Wall"}},
        // 0x16
        {"0x16 - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x17
        {"0x17 - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x18
        {"0x18 - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x19
        {"0x19 - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1A
        {"0x1A - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1B
        {"0x1B - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1C
        {"0x1C - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1D
        {"0x1D - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1E
        {"0x1E - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1F
        {"0x1F - Unused",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
    },
    {"0 (None)", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"},
    {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"},
    "By the kit's authors, for the course-modding community",
};
