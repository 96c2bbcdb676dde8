// The texts of flagwright-mk7: collision types, their descriptions and basic
// effects, shadows and special properties of MK7 course collision. The game
// texts are kept exactly as the modding community knows them, typos included.
#include "vocabulary.h"

const Vocabulary mk7Vocabulary = {
    "Flagwright for MK7 v1.0",
    {"Collision Type", "Description:", "Basic Effect", "Shadow", "Special Property"},
    {
        // 0x00
        {"0x00 - Road",
         "A type of road that's solid for both players and items.",
         {"0 - Normal", "1 - Sand/Gavel", "2 - Sand/Gavel", "3 - Smooth", "4 - Wood",
          "5 - Slot Based", "6 - Metal Grid", "7 - Metal"}},
        // 0x01
        {"0x01 - Road 2",
         "A type of road that's solid for both players and items.",
         {"0 - Normal (Different Sound to 0x00)", "1 - Carpet", "2 - Slot Based",
          "3 - Bouncy Road (Like a mushroom but non-trickable)", "4 - Grass/Gravel", "5 - Glass",
          "6 - Normal (Bump Effect)", "7 - Slot Based (Rainbow Road sounds on RR and rRR slots)"}},
        // 0x02
        {"0x02 - Road 3",
         "A type of road that's solid for both players and items.",
         {"0 - Normal", "1 - Slot Based (Piano sounds on MM)",
          "2 - Slot Based (Xylophone sounds on MM)", "3 - Slot Based (Glockenspiel sounds on MM)",
          "4 - Smooth (Bump effect)", "5 - Slot Based", "6 - Metal Grid", "7 - Slot Based"}},
        // 0x03
        {"0x03 - Road 4",
         "A type of road that's solid for both players and items.",
         {"0 - Dirt (Graphic Effect)", "1 - Sand/Gravel", "2 - Slot Based", "3 - Slot Based",
          "4 - Slot Based", "5 - Snow", "6 - Dirt", "7 - Sand/Gravel"}},
        // 0x04
        {"0x04 - Slippery Road",
         "A type of road that is slippery, but does not slow you down.",
         {"0 - Dirt (Graphic Effect)", "1 - Sand/Gravel", "2 - Carpet", "3 - Water", "4 - Grass",
          "5 - Wood", "6 - Mud/Tar (Bump effect)", "7 - Dirt"}},
        // 0x05
        {"0x05 - Off-road",
         "Terrain that slows you down.",
         {"0 - Dirt", "1 - Sand", "2 - Honey", "3 - Water", "4 - Grass", "5 - Snow",
          "6 - Mud/Tar (Bump effect)", "7 - Wood"}},
        // 0x06
        {"0x06 - Heavy Off-road",
         "Terrain that slows you down a lot.",
         {"0 - Dirt", "1 - Mud/Tar", "2 - Slot Based", "3 - Slot Based", "4 - Grass", "5 - Snow",
          "6 - Glass", "7 - Mud"}},
        // 0x07
        {"0x07 - Slippery Road 2",
         "A type of read that is slippery, but does not slow you down.",
         {"0 - Ice", "1 - Mud", "2 - Wet Road", "3 - Water", "4 - Slot Based",
          "5 - Normal (Different sound to 0x00)", "6 - Normal (Different sound to 0x00)",
          "7 - Normal (Different sound to 0x00)"}},
        // 0x08
        {"0x08 - Boost Pad",
         "Provides a quick speed boost. Variations make different road sounds when drifting.",
         {"0 - Normal", "1 - Sand/Gravel", "2 - Sand/Gravel", "3 - Smooth", "4 - Wood",
          "5 - Slot Based", "6 - Metal Grid", "7 - Metal"}},
        // 0x09
        {"0x09 - Glider Pad",
         "Activates glider after passing over it. Variations make different road sounds when "
         "drifting.",
         {"0 - Normal", "1 - Instantly Activates Glider (rMC2 Ramp)", "2 - Sand/Gravel",
          "3 - Slot Based", "4 - Sand/Gravel", "5 - Slot Based (Used in RR)", "6 - Metal Grid",
          "7 - Metal"}},
        // 0x0A
        {"0x0A - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x0B
        {"0x0B - Solid Fall",
         "Acts as an out of bounds.",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x0C
        {"0x0C - Moving Terrain",
         "Terrain that can move the player. Linked to routes in the KMP[?].",
         {"0 - Water", "1 - Slot Based (RR Conveyor Belt)", "2 - Road (Different sound to 0x00)",
          "3 - Road (Different sound to 0x00)", "4 - Road (Different sound to 0x00)",
          "5 - Road (Different sound to 0x00)", "6 - Road (Different sound to 0x00)",
          "7 - Road (Different sound to 0x00)"}},
        // 0x0D
        {"0x0D - Road 4",
         "A type of road that's solid for both players and items.",
         {"0 - Slot Based", "1 - Slot Based (Metal on rAF)", "2 - Slot Based", "3 - Metal",
          "4 - Slot Based", "5 - Slot Based", "6 - Smooth", "7 - Smooth"}},
        // 0x0E
        {"0x0E - Unknown [!]Crashes the game[!]",
         "The game crashes when either the player or CPUs make contact with this collision.",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x0F
        {"0x0F - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x10
        {"0x10 - Wall",
         "A wall that is solid to both players and items.",
         {"0 - Normal", "1 - Rock", "2 - Metal", "3 - Wood", "4 - Slot Based", "5 - Slot Based",
          "6 - Rubber", "7 - Music Wall"}},
        // 0x11
        {"0x11 - Wall 2",
         "A wall that is solid to both players and items.",
         {"0 - Rope", "1 - Glass", "2 - Glass", "3 - Balloon", "4 - Slot Based", "5 - Slot Based",
          "6 - Slot Based", "7 - Slot Based"}},
        // 0x12
        {"0x12 - Invisible Wall",
         "A wall that is solid to both players but not items.",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x13
        {"0x13 - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x14
        {"0x14 - Wall 3",
         "A wall that is solid to both players and items.",
         {"0 - Normal", "1 - Rock", "2 - Metal", "3 - Wood", "4 - Slot Based", "5 - Glass",
          "6 - Rubber", "7 - Music Wall (no effects)"}},
        // 0x15
        {"0x15 - Wall 4",
         "A wall that is solid to both players and items.",
         {"0 - Normal", "1 - Rock", "2 - Metal", "3 - Wood", "4 - Slot Based", "5 - Glass",
          "6 - Rubber", "7 - Music Wall (no effects)"}},
        // 0x16
        {"0x16 - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x17
        {"0x17 - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x18
        {"0x18 - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x19
        {"0x19 - Fall Boundary",
         "Causes the player to fall and be respawned back on the track.",
         {"0 - Air Fall", "1 - Water", "2 - Lava", "3 - Lava (no splash)", "4 - Air Fall",
          "5 - Unknown", "6 - Air Fall", "7 - Air Fall"}},
        // 0x1A
        {"0x1A - Effect Trigger",
         "Triggers a visual effect when passing through this collision.",
         {"0 - Unknown", "1 - Smoke/Fog", "2 - Tree leaves", "3 - Unknown", "4 - Unknown",
          "5 - Unknown", "6 - Unknown", "7 - Unknown"}},
        // 0x1B
        {"0x1B - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1C
        {"0x1C - Glider Activator",
         "Activates your glider after passing through it, like a glider pad but not solid.",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1D
        {"0x1D - Fall Boundary 2",
         "Causes the player to fall and be respawned back on the track.",
         {"0 - Air Fall", "1 - Water", "2 - Lava", "3 - Lava (no splash)", "4 - Air Fall",
          "5 - Unknown", "6 - Air Fall", "7 - Air Fall"}},
        // 0x1E
        {"0x1E - Does nothing",
         "Does nothing, you just fall through it. [?]",
         {"0 - Unknown", "1 - Unknown", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
        // 0x1F
        {"0x1F - Effect Trigger 2",
         "Triggers a visual effect when passing through this collision.",
         {"0 - Unknown", "1 - Rowerbed", "2 - Unknown", "3 - Unknown", "4 - Unknown", "5 - Unknown",
          "6 - Unknown", "7 - Unknown"}},
    },
    {"0 (None)", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"},
    {
        "0 - Nothing",
        "1 - Trickable",
        "2 - Pushes you back",
        "3 - Pushes you back & Trickable",
        "4 - Sticky",
        "5 - Sticky & Trickable",
        "6 - Nothing (Cannon Activator if used with 0x09 or 0x1C?)",
        "7 - Trickable (Cannon Activator if used with 0x09 or 0x1C?)",
        "8 - Nothing (Cannon Activator if used with 0x09 or 0x1C?)",
        "9 - Trickable (Cannon Activator if used with 0x09 or 0x1C?)",
        "A - Nothing (Cannon Activator if used with 0x09 or 0x1C?)",
        "B - Trickable (Cannon Activator if used with 0x09 or 0x1C?)",
        "C - Nothing (Cannon Activator if used with 0x09 or 0x1C?)",
        "D - Trickable (Cannon Activator if used with 0x09 or 0x1C?)",
        "E - Nothing (Cannon Activator if used with 0x09 or 0x1C?)",
        "F - Trickable (Cannon Activator if used with 0x09 or 0x1C?)",
    },
    "By the kit's authors, for the course-modding community",
};
