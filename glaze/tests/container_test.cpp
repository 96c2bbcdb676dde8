// The container layer that every format's unit relies on: an edited file
// written from patches and splices of any size anywhere, the one list of
// types telling files by name and magic, and -F and -P read before any
// file is.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "container.h"

namespace {

std::vector<uint8_t> edited(const std::vector<uint8_t>& old, const glaze::Edit& edit,
                            bool* ok = nullptr) {
  const glaze::MemorySource source(old.data(), old.size());
  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  const bool written = glaze::writeEdited(source, edit, out);
  std::fclose(out);
  if (ok) *ok = written;
  std::vector<uint8_t> bytes(buffer, buffer + length);
  std::free(buffer);
  return bytes;
}

std::vector<uint8_t> filled(size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(GlazeEdit, SplicesOfAnySizeMoveWhatFollowsAndPatchesKeepOldOffsets) {
  // 3 MiB, so that the copy crosses its buffer's bounds.
  std::vector<uint8_t> old(3 << 20);
  for (size_t i = 0; i < old.size(); ++i) old[i] = uint8_t(i * 7 + i / 251);
  glaze::Edit edit;
  edit.splices = {{0, 2, filled(5, 100)},              // grows at the start
                  {1000, 24, filled(8, 50)},           // shrinks in the middle
                  {(1 << 20) - 3, 0, filled(300, 1)},  // inserted across a buffer
                  {old.size() - 10, 10, {}}};          // the end cut off
  edit.patches = {{2000, filled(4, 200)}, {(2 << 20) + 5, {9, 9}}, {2001, {77}}};

  // What it must be, built independently: patches first, then the splices
  // from the last to the first so that offsets stay the old ones.
  std::vector<uint8_t> expected = old;
  for (const auto& p : edit.patches) std::copy(p.bytes.begin(), p.bytes.end(), &expected[p.at]);
  for (auto s = edit.splices.rbegin(); s != edit.splices.rend(); ++s) {
    expected.erase(expected.begin() + long(s->at), expected.begin() + long(s->at + s->size));
    expected.insert(expected.begin() + long(s->at), s->bytes.begin(), s->bytes.end());
  }
  bool ok = false;
  const auto bytes = edited(old, edit, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(bytes.size(), old.size() + 3 - 16 + 300 - 10);
  EXPECT_TRUE(bytes == expected);
  EXPECT_EQ(bytes[2001 + 3 - 16], 77) << "the later of two meeting patches wins";
}

TEST(GlazeEdit, SplicesOutOfOrderOrPastTheFileAreRefused) {
  const std::vector<uint8_t> old(64, 1);
  for (const std::vector<glaze::Splice>& splices :
       {std::vector<glaze::Splice>{{20, 4, {}}, {10, 1, {}}},
        std::vector<glaze::Splice>{{10, 8, {}}, {12, 1, {}}},
        std::vector<glaze::Splice>{{60, 8, {}}}, std::vector<glaze::Splice>{{65, 0, {}}}}) {
    glaze::Edit edit;
    edit.splices = splices;
    bool ok = true;
    errno = 0;
    edited(old, edit, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(errno, EINVAL);
  }
}

TEST(GlazeContainerTypes, AreToldByNameFirstThenByMagic) {
  ASSERT_NE(glaze::typeByName("a/b.BtI"), nullptr);
  EXPECT_EQ(glaze::typeByName("a/b.bti.png"), nullptr);
  EXPECT_EQ(glaze::typeByName("bti"), nullptr);
  std::string error;
  for (const char* magic :
       {"J3D2bmd3", "J3D2bmd2", "J3D2bdl4", "bres\xFE\xFF\0\0", "TEX0\0\0\0\0"}) {
    const auto* type = glaze::typeByMagic(reinterpret_cast<const uint8_t*>(magic), 8, error);
    ASSERT_NE(type, nullptr) << magic;
    EXPECT_EQ(type->ending, nullptr);
  }
  const auto* bres = glaze::typeByMagic(reinterpret_cast<const uint8_t*>("bres"), 4, error);
  const auto* tex0 = glaze::typeByMagic(reinterpret_cast<const uint8_t*>("TEX0"), 4, error);
  ASSERT_TRUE(bres && tex0);
  EXPECT_NE(bres, tex0);
  EXPECT_EQ(std::string(bres->what), "a BRRES file (no bres magic)");
  for (const auto& [magic, size] :
       {std::pair<const char*, size_t>{"J3D2bmd3", 7}, {"J3D2bmd4", 8}, {"J3D1bmd3", 8}, {"", 0}}) {
    error.clear();
    EXPECT_EQ(glaze::typeByMagic(reinterpret_cast<const uint8_t*>(magic), size, error), nullptr);
    EXPECT_EQ(error,
              "it is not a BMD or BDL model (no J3D2bmd3 or J3D2bdl4 magic), a BRRES file (no "
              "bres magic), a TEX0 texture (no TEX0 magic) or a DS model or texture file (no "
              "BMD0 or BTX0 magic), and its name does not end in .bti");
  }
  for (const char* magic : {"BTX0", "BMD0"}) {
    const auto* type = glaze::typeByMagic(reinterpret_cast<const uint8_t*>(magic), 4, error);
    ASSERT_NE(type, nullptr) << magic;
    EXPECT_NE(type, glaze::typeByMagic(reinterpret_cast<const uint8_t*>("J3D2bmd3"), 8, error));
  }
}

TEST(GlazeContainerTypes, ReadFormatAndPaletteNamesInAnyCase) {
  auto problem = [](std::optional<std::string> format, std::optional<std::string> palette) {
    return glaze::requestProblem({std::move(format), std::move(palette)});
  };
  EXPECT_EQ(problem(std::nullopt, std::nullopt), "");
  EXPECT_EQ(problem("c14x2", "rgb5a3"), "");
  EXPECT_EQ(problem("cmpr", std::nullopt), "");
  EXPECT_EQ(problem("dxt1", std::nullopt), "unknown format -F dxt1");
  EXPECT_EQ(problem("", std::nullopt), "unknown format -F ");
  EXPECT_EQ(problem(std::nullopt, "RGBA8"), "");  // a DS palette's name
  EXPECT_EQ(problem("pal16", "RGB565"), "");      // each read by one type
  // Formats that one type reads and -P that type refuses with them: its
  // reason, not another type's.
  EXPECT_EQ(problem("direct", "any"), "-P goes with a format that has a palette, not direct");
  EXPECT_EQ(problem("i8", "IA8"), "-P goes with a palette format (C4, C8, C14X2), not I8");
}

}  // namespace
