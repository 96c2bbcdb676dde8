// The real program on models built from known images.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <thread>

#include "fault_injection.h"
#include "known.h"
#include "test_support.h"

using modelwriter::Model;
using modelwriter::Section;
using testkit::ListDir;
using testkit::ReadBytes;
using testkit::RunProgram;
using testkit::RunResult;
using testkit::SameBytes;
using testkit::TempDir;

namespace {

const std::string kTexsift = TEXSIFT_PROGRAM;

struct Extracted {
  TempDir dir;
  std::string model = dir / "m.bmd";
  RunResult result;
};

// Writes the model as m.bmd in a fresh folder and runs texsift on it.
void extract(Extracted& e, const std::vector<uint8_t>& bytes, uint64_t fileSizeLimit = 0) {
  testkit::WriteFile(e.model, bytes);
  testkit::RunOptions options;
  options.max_file_size = fileSizeLimit;
  e.result = RunProgram({kTexsift, e.model}, options);
}

std::vector<uint8_t> modelOf(std::vector<Known*> textures, std::vector<Section> before = {}) {
  Model m;
  m.before = std::move(before);
  for (Known* k : textures) m.textures.push_back(k->texture);
  return modelwriter::build(m);
}

}  // namespace

TEST(EndToEnd, ListingFileNamesAndPixels) {
  Known body = knownTexture("body", 14, 64, 32, 3, 1);
  body.texture.hash = 0x2f;
  body.texture.unknown1 = 1;
  body.texture.unknown2 = 0x203;
  body.texture.unknown3 = 0x4050607;
  body.texture.unknown4 = 8;
  body.texture.unknown5 = 0xdeadbeef;
  body.texture.unknown6 = 0x10;
  body.texture.unknown7 = 0x11;
  body.texture.unknown8 = 0x12;
  body.texture.unknown9 = 0x1314;
  Known road = knownTexture("road01", 1, 16, 8, 2, 2);
  road.texture.hash = 0;
  Extracted e;
  extract(e, modelOf({&body, &road}, {{"INF1", 40}, {"VTX1", 24}}));
  EXPECT_EQ(e.result.status, 0);
  EXPECT_EQ(e.result.err, "");
  EXPECT_EQ(e.result.out,
            "Read INF1\nRead VTX1\nRead TEX1\n\nImage names:\n"
            "2f body\n"
            "  Width: 64, Height: 32, format 14, 3 mipmaps, offset: 96 = 0x60\n"
            "  1 203 4050607 8 deadbeef 10 11 12 1314\n"
            "0 road01\n"
            "  Width: 16, Height: 8, format 1, 2 mipmaps, offset: 1408 = 0x580\n"
            "  0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(ListDir(e.dir.path()),
            (std::vector<std::string>{"m.bmd", "m.bmd 0 body 14.dds", "m.bmd 1 road01 1.dds"}));
  EXPECT_TRUE(SameBytes(body.dds, ReadBytes(e.dir / "m.bmd 0 body 14.dds")));
  EXPECT_TRUE(SameBytes(road.dds, ReadBytes(e.dir / "m.bmd 1 road01 1.dds")));
}

TEST(EndToEnd, ModelsWithoutTexturesAndTex1First) {
  Extracted e;
  extract(e, modelOf({}));
  EXPECT_EQ(e.result.status, 0);
  EXPECT_EQ(e.result.out, "Read TEX1\n\nImage names:\n");
  EXPECT_EQ(ListDir(e.dir.path()), std::vector<std::string>{"m.bmd"});
}

TEST(EndToEnd, TexturesThatAreNotConverted) {
  Known dup1 = knownTexture("dup", 1, 8, 4, 1, 1), dup2 = knownTexture("dup", 1, 8, 4, 1, 2);
  Known pal = knownTexture("pal", 1, 8, 8, 1, 3);
  pal.texture.format = 10;
  Known flat = knownTexture("flat", 4, 16, 16, 0, 4);
  Known sub = knownTexture("dir/sub", 1, 8, 4, 1, 5);
  Known huge = knownTexture("huge", 5, 0, 0, 0, 6);
  huge.texture.width = huge.texture.height = 65535;
  huge.texture.levels = 1;
  // Half the source bytes of a 2 GiB level, but 4 GiB written.
  Known wide = knownTexture("wide", 5, 0, 0, 0, 7);
  wide.texture.width = wide.texture.height = 32767;
  wide.texture.levels = 1;
  Extracted e;
  extract(e, modelOf({&dup1, &dup2, &pal, &flat, &sub, &huge, &wide}), 1 << 20);
  EXPECT_EQ(e.result.status, 0);
  const std::string failures =
      "\nUNSUPPORTED FORMAT a!!!\n\n"
      "\nUNSUPPORTED SIZE 65535 x 65535 in format 5: the full-size level needs 2 GiB or "
      "more!!!\n\n"
      "\nUNSUPPORTED SIZE 32767 x 32767 in format 5: the full-size level needs 2 GiB or "
      "more!!!\n\n";
  ASSERT_GT(e.result.out.size(), failures.size());
  EXPECT_EQ(e.result.out.substr(e.result.out.size() - failures.size()), failures);
  EXPECT_EQ(ListDir(e.dir.path()),
            (std::vector<std::string>{"m.bmd", "m.bmd 0 dup 1.dds", "m.bmd 1 dup 1.dds",
                                      "m.bmd 2 FAILED: pal 10.dds", "m.bmd 3 flat 4.dds",
                                      "m.bmd 4 dir_sub 1.dds", "m.bmd 5 FAILED: huge 5.dds",
                                      "m.bmd 6 FAILED: wide 5.dds"}));
  EXPECT_TRUE(SameBytes(dup1.dds, ReadBytes(e.dir / "m.bmd 0 dup 1.dds")));
  EXPECT_TRUE(SameBytes(dup2.dds, ReadBytes(e.dir / "m.bmd 1 dup 1.dds")));
  EXPECT_TRUE(SameBytes(expectedHeader(4, 16, 16, 0), ReadBytes(e.dir / "m.bmd 3 flat 4.dds")));
  EXPECT_TRUE(SameBytes(sub.dds, ReadBytes(e.dir / "m.bmd 4 dir_sub 1.dds")));
  EXPECT_TRUE(ReadBytes(e.dir / "m.bmd 2 FAILED: pal 10.dds").empty());
  EXPECT_TRUE(ReadBytes(e.dir / "m.bmd 5 FAILED: huge 5.dds").empty());
}

TEST(EndToEnd, NameTableMustListEveryTexture) {
  Known one = knownTexture("one", 1, 8, 4, 1, 1);
  Model m;
  m.textures = {one.texture};
  m.nameCount = 2;
  Extracted e;
  extract(e, modelwriter::build(m));
  EXPECT_EQ(e.result.status, 1);
  EXPECT_EQ(e.result.out, "Read TEX1\n");
  EXPECT_NE(e.result.err.find("numNames == texHeaders.size()"), std::string::npos) << e.result.err;
  EXPECT_EQ(ListDir(e.dir.path()), std::vector<std::string>{"m.bmd"});
}

TEST(EndToEnd, BrokenSectionChains) {
  auto chain = [](std::vector<std::pair<std::string, uint32_t>> sections, size_t cut = 0) {
    std::vector<uint8_t> bytes(32, 0);
    for (const auto& [tag, length] : sections) {
      bytes.insert(bytes.end(), tag.begin(), tag.end());
      for (int s = 24; s >= 0; s -= 8) bytes.push_back(static_cast<uint8_t>(length >> s));
      bytes.resize(bytes.size() + (length > 8 && length < 4096 ? length - 8 : 0), 0);
    }
    bytes.resize(bytes.size() - cut);
    return bytes;
  };
  const struct {
    std::vector<uint8_t> bytes;
    std::string out, message;
  } cases[] = {
      {std::vector<uint8_t>(20, 0), "", "no TEX1 section"},
      {chain({{"INF1", 16}}), "Read INF1\n", "sections end at offset 48"},
      {chain({{"INF1", 16}, {"VTX1", 0}}), "Read INF1\nRead VTX1\n", "offset 48 has length 0"},
      {chain({{"INF1", 16}, {"TEX1", 32}}, 27), "Read INF1\n",
       "inside the section header at offset 48"},
      {chain({{"INF1", 0x7FFFFFFF}}), "Read INF1\n", "no TEX1 section"},
  };
  for (const auto& c : cases) {
    Extracted e;
    extract(e, c.bytes);
    EXPECT_EQ(e.result.status, 1);
    EXPECT_EQ(e.result.out, c.out);
    EXPECT_NE(e.result.err.find(c.message), std::string::npos) << e.result.err;
    EXPECT_EQ(ListDir(e.dir.path()), std::vector<std::string>{"m.bmd"});
  }
}

TEST(EndToEnd, CommandLineFailuresAreSilent) {
  // A FIFO without a writer would keep the program waiting; a character
  // device has no size and might never end.
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "pipe.bmd").c_str(), 0644), 0);
  testkit::RunOptions options;
  options.timeout_seconds = 10;
  for (const auto& args : std::vector<std::vector<std::string>>{{kTexsift},
                                                                {kTexsift, dir / "missing.bmd"},
                                                                {kTexsift, dir.path()},
                                                                {kTexsift, dir / "pipe.bmd"},
                                                                {kTexsift, "/dev/zero"}}) {
    const RunResult r = RunProgram(args, options);
    EXPECT_EQ(r.status, 1) << args.back();
    EXPECT_EQ(r.out + r.err, "") << args.back();
  }
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"pipe.bmd"});
}

TEST(EndToEnd, ShortModels) {
  // The second tile row of the level lies beyond the end of the file: it
  // comes out as zeros, the same on every run.
  Known cut = knownTexture("cut", 1, 16, 8, 1, 7);
  auto bytes = modelOf({&cut});
  bytes.resize(bytes.size() - 64);
  std::vector<uint8_t> expected = cut.dds;
  std::fill(expected.end() - 64, expected.end(), 0);
  Extracted first, second;
  extract(first, bytes);
  extract(second, bytes);
  EXPECT_EQ(first.result.status, 0);
  // The zeros do not come silently.
  EXPECT_EQ(first.result.err,
            "texsift: " + first.model +
                " ends inside the data of texture 0 (cut): 64 missing bytes are converted as "
                "zeros\n");
  EXPECT_TRUE(SameBytes(expected, ReadBytes(first.dir / "m.bmd 0 cut 1.dds")));
  EXPECT_TRUE(SameBytes(expected, ReadBytes(second.dir / "m.bmd 0 cut 1.dds")));

  // A name that the end of the file cuts short ends there.
  Known tail = knownTexture("tail", 1, 8, 4, 0, 8);
  bytes = modelOf({&tail});
  const std::string all(bytes.begin(), bytes.end());
  bytes.resize(all.rfind("tail") + 4);
  Extracted e;
  extract(e, bytes);
  EXPECT_EQ(e.result.status, 0);
  EXPECT_NE(e.result.out.find(" tail\n  Width: 8, Height: 4"), std::string::npos) << e.result.out;
  EXPECT_EQ(ListDir(e.dir.path()), (std::vector<std::string>{"m.bmd", "m.bmd 0 tail 1.dds"}));
}

TEST(EndToEnd, DataFarBeyondTheEndNeedNoBigBuffers) {
  Known small = knownTexture("small", 1, 8, 4, 1, 1);
  Extracted baseline;
  extract(baseline, modelOf({&small}));
  // 2048 x 2048 RGB5A3 (8 MiB stored, 16 MiB written) claimed far beyond the
  // end of a 300-byte model.
  Known far = knownTexture("far", 5, 0, 0, 0, 2);
  far.texture.width = far.texture.height = 2048;
  far.texture.levels = 1;
  far.texture.dataOffset = 0xFFFFF000;
  Extracted e;
  extract(e, modelOf({&far}));
  EXPECT_EQ(e.result.status, 0);
  EXPECT_NE(e.result.err.find("texture 0 (far): 8388608 missing bytes"), std::string::npos)
      << e.result.err;
  const auto dds = ReadBytes(e.dir / "m.bmd 0 far 5.dds");
  ASSERT_EQ(dds.size(), 128u + 2048 * 2048 * 4);
  EXPECT_EQ(std::count(dds.begin() + 128, dds.end(), 0), 2048 * 2048 * 4);
  EXPECT_LT(e.result.max_rss_kib, baseline.result.max_rss_kib + 6 * 1024);
}

TEST(EndToEnd, OutputFilesThatCannotBeWritten) {
  // A file name too long for the file system, then one that is long but fits.
  Known tooLong = knownTexture(std::string(300, 'x'), 1, 8, 4, 1, 1);
  Known longName = knownTexture(std::string(230, 'y'), 1, 8, 4, 1, 2);
  Extracted e;
  extract(e, modelOf({&tooLong, &longName}));
  EXPECT_EQ(e.result.status, 1);
  EXPECT_NE(e.result.err.find("cannot create"), std::string::npos) << e.result.err;
  EXPECT_TRUE(
      SameBytes(longName.dds, ReadBytes(e.dir / ("m.bmd 1 " + std::string(230, 'y') + " 1.dds"))));

  // A write that fails part way: that file goes, the next is still written.
  Known big = knownTexture("big", 5, 64, 64, 1, 3), small = knownTexture("small", 1, 8, 4, 1, 4);
  // Also when the file-size limit stops it (the program is not killed).
  Extracted limited, unlimited;
  extract(limited, modelOf({&big, &small}), 4096);
  extract(unlimited, modelOf({&big, &small}));
  EXPECT_EQ(limited.result.status, 1);
  EXPECT_EQ(limited.result.out, unlimited.result.out);
  EXPECT_EQ(limited.result.err,
            "texsift: cannot write " + limited.model + " 0 big 5.dds: File too large\n");
  EXPECT_EQ(ListDir(limited.dir.path()),
            (std::vector<std::string>{"m.bmd", "m.bmd 1 small 1.dds"}));
  EXPECT_TRUE(SameBytes(small.dds, ReadBytes(limited.dir / "m.bmd 1 small 1.dds")));
}

TEST(EndToEnd, OutputNamesThatAreLinks) {
  // A symbolic link is written through, even when its target does not exist
  // yet; a hard link to the model is replaced, and the model stays whole.
  Known one = knownTexture("one", 1, 8, 4, 1, 1), two = knownTexture("two", 4, 8, 8, 1, 2);
  TempDir dir;
  const std::string model = dir / "m.bmd";
  const auto bytes = modelOf({&one, &two});
  testkit::WriteFile(model, bytes);
  testkit::MakeDir(dir / "elsewhere");
  testkit::MakeLink("elsewhere/one.dds", dir / "m.bmd 0 one 1.dds");
  ASSERT_EQ(link(model.c_str(), (dir / "m.bmd 1 two 4.dds").c_str()), 0);
  const RunResult r = RunProgram({kTexsift, model});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(SameBytes(bytes, ReadBytes(model)));
  EXPECT_TRUE(SameBytes(one.dds, ReadBytes(dir / "elsewhere/one.dds")));
  EXPECT_TRUE(SameBytes(two.dds, ReadBytes(dir / "m.bmd 1 two 4.dds")));
  EXPECT_EQ(
      ListDir(dir.path()),
      (std::vector<std::string>{"elsewhere", "m.bmd", "m.bmd 0 one 1.dds", "m.bmd 1 two 4.dds"}));
}

TEST(EndToEnd, OddSizesAndLongMipmapChains) {
  // Levels narrower than a tile, partial tiles, and more levels than halvings:
  // every level has the size a DDS reader expects, down to 1 x 1.
  Known chain = knownTexture("chain", 1, 8, 4, 20, 1);
  Known dxt = knownTexture("dxt", 14, 12, 6, 4, 2);
  Known nibbles = knownTexture("nibbles", 0, 9, 9, 5, 3);
  Known colours = knownTexture("colours", 5, 5, 3, 3, 4);
  Known wide = knownTexture("wide", 4, 1000, 2, 11, 5);
  Extracted e;
  extract(e, modelOf({&chain, &dxt, &nibbles, &colours, &wide}));
  EXPECT_EQ(e.result.status, 0);
  EXPECT_EQ(chain.dds.size(), 128u + 32 + 8 + 2 + 17);
  EXPECT_TRUE(SameBytes(chain.dds, ReadBytes(e.dir / "m.bmd 0 chain 1.dds")));
  EXPECT_TRUE(SameBytes(dxt.dds, ReadBytes(e.dir / "m.bmd 1 dxt 14.dds")));
  EXPECT_TRUE(SameBytes(nibbles.dds, ReadBytes(e.dir / "m.bmd 2 nibbles 0.dds")));
  EXPECT_TRUE(SameBytes(colours.dds, ReadBytes(e.dir / "m.bmd 3 colours 5.dds")));
  EXPECT_TRUE(SameBytes(wide.dds, ReadBytes(e.dir / "m.bmd 4 wide 4.dds")));
}

TEST(EndToEnd, AnInterruptLeavesNoPartialFile) {
  // 8192 x 8192 RGB5A3 (256 MiB written) from data beyond the end of the model.
  Known big = knownTexture("big", 5, 0, 0, 0, 1);
  big.texture.width = big.texture.height = 8192;
  big.texture.levels = 1;
  big.texture.dataOffset = 0xFFFFF000;
  for (int signal : {SIGINT, SIGTERM}) {
    TempDir dir;
    testkit::WriteFile(dir / "m.bmd", modelOf({&big}));
    testkit::Process texsift({kTexsift, dir / "m.bmd"});
    // The signal comes once a file beside the model holds data.
    bool writing = false;
    while (!writing && !texsift.Ended()) {
      for (const std::string& name : ListDir(dir.path())) {
        struct stat info;
        writing |= name != "m.bmd" && stat((dir / name).c_str(), &info) == 0 && info.st_size > 0;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_TRUE(writing);
    texsift.Signal(signal);
    EXPECT_EQ(texsift.Wait(60).status, 128 + signal);
    EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"m.bmd"});
  }
}

TEST(EndToEnd, AReadErrorIsNotTheEndOfTheFile) {
  // The read that brings the most of the first texture's data fails: that
  // texture gets no file, the next one does, and the run ends with status 1.
  Known big = knownTexture("big", 1, 512, 512, 1, 1), small = knownTexture("small", 1, 8, 4, 1, 2);
  TempDir dir;
  const std::string model = dir / "m.bmd";
  testkit::WriteFile(model, modelOf({&big, &small}));
  const std::vector<std::string> argv = {kTexsift, model};
  const RunResult clean = RunProgram(argv);
  std::map<std::string, int> seen;
  std::string call;
  int occurrence = 0;
  long most = 0;
  for (const std::string& line : testkit::TraceCalls(argv, "read,pread64")) {
    // "PID  read(3, ...) = N"
    const size_t name = line.find_first_not_of("0123456789 "), open = line.find('(');
    const size_t result = line.rfind("= ");
    if (name >= open || open == std::string::npos || result == std::string::npos) continue;
    const std::string kind = line.substr(name, open - name);
    const int count = ++seen[kind];
    if (const long got = std::atol(line.c_str() + result + 2); got > most) {
      most = got;
      call = kind;
      occurrence = count;
    }
  }
  ASSERT_GE(most, 4096) << "no read of the texture data found";
  for (const std::string& name : ListDir(dir.path()))
    if (name != "m.bmd") testkit::RemoveTree(dir / name);

  const RunResult r = RunProgram(testkit::UnderStrace(
      {"-e", "inject=" + call + ":error=EIO:when=" + std::to_string(occurrence)}, argv));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, clean.out);
  EXPECT_EQ(r.err, "texsift: cannot read the data of texture 0 (big) in " + model +
                       ": Input/output error\n");
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"m.bmd", "m.bmd 1 small 1.dds"}));
  EXPECT_TRUE(SameBytes(small.dds, ReadBytes(dir / "m.bmd 1 small 1.dds")));
}

TEST(EndToEnd, EveryFailingSystemCallIsHandled) {
  // Converted textures, a marker, a texture the file cuts short, and an old
  // file under one of the names, which a failed run must not lose.
  Known a = knownTexture("a", 14, 64, 64, 3, 1), b = knownTexture("b", 5, 32, 16, 2, 2);
  Known pal = knownTexture("pal", 1, 8, 8, 1, 3), cut = knownTexture("cut", 4, 16, 16, 2, 4);
  pal.texture.format = 9;
  auto bytes = modelOf({&a, &pal, &b, &cut});
  bytes.resize(bytes.size() - 100);
  testkit::FaultSweep sweep;
  sweep.argv = {kTexsift, "m.bmd"};
  sweep.prepare = [&](const std::string& dir) {
    testkit::WriteFile(dir + "/m.bmd", bytes);
    testkit::WriteFile(dir + "/m.bmd 2 b 5.dds", std::string_view("an earlier extraction"));
  };
  sweep.calls.insert(sweep.calls.end(), {"pread64", "fchmod"});
  sweep.samples_per_call = 12;
  testkit::ExpectEveryFailingCallHandled(sweep);
  // An interrupt at any of those points leaves nothing partial either.
  sweep.fault = "signal=SIGINT";
  testkit::ExpectEveryFailingCallHandled(sweep);
}
