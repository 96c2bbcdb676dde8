// Text, path and size helpers.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "oschar.h"
#include "test_support.h"

using testkit::MakeLink;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

std::u16string Convert(const std::string& utf8) {
  char16_t* out = strcopy_UTF8toUTF16(utf8.c_str());
  std::u16string result(out);
  free(out);
  return result;
}

TEST(Utf8ToUtf16, ValidText) {
  EXPECT_EQ(Convert(""), u"");
  EXPECT_EQ(Convert("Course/kart_01.bin"), u"Course/kart_01.bin");
  EXPECT_EQ(Convert("\x7f"), u"\x7f");
  EXPECT_EQ(Convert("\xc2\x80"), u"\u0080");      // smallest two-byte form
  EXPECT_EQ(Convert("\xdf\xbf"), u"\u07ff");      // largest two-byte form
  EXPECT_EQ(Convert("\xe0\xa0\x80"), u"\u0800");  // smallest three-byte form
  EXPECT_EQ(Convert("\xef\xbf\xbf"), std::u16string(1, char16_t(0xFFFF)));
  EXPECT_EQ(Convert("\xef\xbf\xbd"), u"\uFFFD");          // a real U+FFFD stays one unit
  EXPECT_EQ(Convert("\xf0\x90\x80\x80"), u"\U00010000");  // smallest four-byte form
  EXPECT_EQ(Convert("\xf0\x9f\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Convert("\xf4\x8f\xbf\xbf"), (std::u16string{0xDBFF, 0xDFFF}));  // U+10FFFF
  EXPECT_EQ(Convert("\xc3\xa9t\xc3\xa9 \xe6\x97\xa5"), u"\u00e9t\u00e9 \u65e5");
}

TEST(Utf8ToUtf16, EncodedSurrogatesAreTakenAsTheirValue) {
  EXPECT_EQ(Convert("\xed\xa0\x80"), std::u16string(1, char16_t(0xD800)));
  EXPECT_EQ(Convert("\xed\xbf\xbf"), std::u16string(1, char16_t(0xDFFF)));
  EXPECT_EQ(Convert("\xed\x9f\xbf"), u"\ud7ff");
}

TEST(Utf8ToUtf16, EveryBadByteBecomesOneReplacement) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(Convert("\xff"), r);
  EXPECT_EQ(Convert("\xfe\xf5"), r + r);
  EXPECT_EQ(Convert("\x80"), r);                  // lone continuation byte
  EXPECT_EQ(Convert("\xc0\x80"), r + r);          // overlong NUL
  EXPECT_EQ(Convert("\xc1\xbf"), r + r);          // overlong lead C1
  EXPECT_EQ(Convert("\xe0\x80\x80"), r + r + r);  // overlong three-byte form
  EXPECT_EQ(Convert("\xe0\x9f\xbf"), r + r + r);
  EXPECT_EQ(Convert("\xf0\x80\x80\x80"), r + r + r + r);  // overlong four-byte form
  EXPECT_EQ(Convert("\xf0\x8f\xbf\xbf"), r + r + r + r);
  EXPECT_EQ(Convert("\xf4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(Convert("\xf5\x80\x80\x80"), r + r + r + r);
  EXPECT_EQ(Convert("a\xe6\x97"
                    "b"),
            u"a" + r + r + u"b");  // truncated, then a valid character
  EXPECT_EQ(Convert("\xe6\x97\xc3\xa9"), r + r + u"\u00e9");
  EXPECT_EQ(Convert("\xc3"), r);  // ends in the middle of a character
  EXPECT_EQ(Convert("x\xf0\x9f\x98"), u"x" + r + r + r);
  EXPECT_EQ(Convert("\xc3\xc3\xa9"), r + u"\u00e9");  // a lead byte followed by a lead byte
}

TEST(Utf8ToUtf16, ValidityMatchesTheConversion) {
  EXPECT_TRUE(utf8_is_valid(""));
  EXPECT_TRUE(utf8_is_valid("\xf0\x9f\x98\x80 \xed\xa0\x80"));
  EXPECT_FALSE(utf8_is_valid("caf\xe9"));
  EXPECT_FALSE(utf8_is_valid("\xc3"));
}

TEST(Utf16, LengthAndCopies) {
  EXPECT_EQ(utf16_strlen(u""), 0u);
  EXPECT_EQ(utf16_strlen(u"abc"), 3u);
  EXPECT_EQ(utf16_strlen(u"\U0001F600"), 2u);

  char16_t* copy = strcopy_16to16(u"kart");
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::u16string(copy), u"kart");
  free(copy);
  EXPECT_EQ(strcopy_16to16(nullptr), nullptr);

  char* copy8 = strcopy_8to8("path/to");
  ASSERT_NE(copy8, nullptr);
  EXPECT_STREQ(copy8, "path/to");
  free(copy8);
  EXPECT_EQ(strcopy_8to8(nullptr), nullptr);

  char16_t* wide = strcopy_8to16("a\x7f\xe9\xff");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide), (std::u16string{u'a', 0x7F, 0xE9, 0xFF}));
  free(wide);
  EXPECT_EQ(strcopy_8to16(nullptr), nullptr);
}

TEST(Paths, AppendToPath) {
  char* p = os_AppendToPath("dir", "name");
  EXPECT_STREQ(p, "dir/name");
  free(p);
  p = os_AppendToPath("dir/", "name");  // no separator is removed
  EXPECT_STREQ(p, "dir//name");
  free(p);
  p = os_AppendToPath("dir", "");
  EXPECT_STREQ(p, "dir/");
  free(p);
  const std::string long_name(255, 'n');
  const std::string long_dir(3000, 'd');
  p = os_AppendToPath(long_dir.c_str(), long_name.c_str());
  EXPECT_EQ(std::string(p), long_dir + "/" + long_name);
  free(p);
}

TEST(Paths, FileStatus) {
  TempDir tmp;
  WriteFile(tmp / "f", std::string(1234, 'x'));
  MakeLink("f", tmp / "link");
  MakeLink("missing", tmp / "dangling");
  EXPECT_EQ(os_fsize((tmp / "f").c_str()), 1234u);
  EXPECT_EQ(os_fsize((tmp / "link").c_str()), 1234u);
  EXPECT_EQ(os_fsize((tmp / "dangling").c_str()), 0u);
  EXPECT_EQ(os_fsize((tmp / "missing").c_str()), 0u);
  struct stat st;
  ASSERT_EQ(stat(tmp.path().c_str(), &st), 0);
  EXPECT_EQ(os_fsize(tmp.path().c_str()), static_cast<uint64_t>(st.st_size));
  EXPECT_EQ(os_fstat((tmp / "f").c_str()), 0);
  EXPECT_EQ(os_fstat((tmp / "dangling").c_str()), -1);

  EXPECT_EQ(os_makedir((tmp / "new").c_str()), 0);
  ASSERT_EQ(stat((tmp / "new").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(os_makedir((tmp / "new").c_str()), -1);
}

TEST(Align, RoundsUpToAMultiple) {
  EXPECT_EQ(align(0, 4096), 0u);
  EXPECT_EQ(align(1, 4096), 4096u);
  EXPECT_EQ(align(4096, 4096), 4096u);
  EXPECT_EQ(align(4097, 4096), 8192u);
  EXPECT_EQ(align(22, 4), 24u);
  EXPECT_EQ(align(332, 16), 336u);
  EXPECT_EQ(align(12345, 1), 12345u);
  EXPECT_EQ(align(UINT64_MAX, 1), UINT64_MAX);
  EXPECT_EQ(align(77, 0), 77u);
  EXPECT_EQ(align((uint64_t(1) << 40) + 1, 16), (uint64_t(1) << 40) + 16);
}

}  // namespace
