// What sheaf's tests share: running the program, sample trees written to
// and read back from folders.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reference.h"
#include "test_support.h"

namespace sheaf_test {

using testkit::Bytes;

inline testkit::RunResult Sheaf(const std::vector<std::string>& args,
                                const testkit::RunOptions& options = {}) {
  std::vector<std::string> argv{SHEAF_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  testkit::RunOptions bounded = options;
  if (bounded.timeout_seconds > 120)
    bounded.timeout_seconds = 120;  // hostile input must not hang it
  return testkit::RunProgram(argv, bounded);
}

// A game-like tree: nested folders, an empty file and an empty folder,
// non-ASCII names, files whose content asks for an alignment in a SARC.
inline reference::Tree SampleTree(bool with_empty_folder = true) {
  reference::Tree tree;
  auto bytes = [](const std::string& head, size_t size, uint32_t seed) {
    Bytes b = testkit::Pattern(size, seed);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
  };
  tree.files = {
      {"a.txt", testkit::AsBytes("hello")},
      {"empty", {}},
      {"Course/course.kcl", testkit::Pattern(3001, 1)},
      {"Course/model.szs", bytes("Yaz0", 700, 2)},
      {"Course/Deeper/nested.sarc", bytes("SARC", 333, 3)},
      {"Course/Deeper/zero", {}},
      {"Sound/wave.bcwav", bytes("CWAV", 129, 4)},
      {"\xC3\x9C"
       "ber/stra\xC3\x9F"
       "e.txt",
       testkit::AsBytes("Gr\xC3\xBC\xC3\x9F"
                        "e")},
      {"\xE6\x97\xA5\xE6\x9C\xAC/\xE8\xAA\xAC.txt", testkit::Pattern(77, 5)},
  };
  if (with_empty_folder) tree.empty_folders = {"Empty/Nothing"};
  return tree;
}

inline void WriteTree(const std::string& dir, const reference::Tree& tree) {
  testkit::MakeDir(dir);
  auto make_parents = [&](const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      mkdir((dir + "/" + path.substr(0, slash)).c_str(), 0755);
    }
  };
  for (const reference::File& f : tree.files) {
    make_parents(f.path);
    testkit::WriteFile(dir + "/" + f.path, f.data);
  }
  for (const std::string& folder : tree.empty_folders) {
    make_parents(folder + "/");
  }
}

// Every file and folder below dir: "path" -> contents, "path/" for folders.
inline std::vector<std::pair<std::string, Bytes>> ReadTree(const std::string& dir,
                                                           const std::string& prefix = "") {
  std::vector<std::pair<std::string, Bytes>> out;
  for (const std::string& name : testkit::ListDir(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st;
    lstat(path.c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      out.push_back({prefix + name + "/", {}});
      for (auto& entry : ReadTree(path, prefix + name + "/")) out.push_back(std::move(entry));
    } else {
      out.push_back({prefix + name, testkit::ReadBytes(path)});
    }
  }
  return out;
}

inline std::vector<std::pair<std::string, Bytes>> Expected(const reference::Tree& tree) {
  testkit::TempDir tmp;
  WriteTree(tmp / "t", tree);
  return ReadTree(tmp / "t");
}

}  // namespace sheaf_test
