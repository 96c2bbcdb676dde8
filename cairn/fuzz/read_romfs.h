// What the harnesses do with a RomFS region: list it, verify every block,
// and extract it (all of it, then the first listed paths again with -f)
// into a folder whose links, named like the seeds' entries, lead to a trap
// folder that must stay empty.
#pragma once

#include <string>
#include <vector>

#include "extractor.h"
#include "ivfc_reader.h"
#include "region.h"
#include "romfs_tree.h"
#include "safefs/fuzz_trap.h"

inline void ReadRomfs(const uncairn::Region& region) {
  const uncairn::Report ignore = [](const std::string&) {};
  uncairn::IvfcReader image;
  if (!image.Open(region, "image", ignore)) return;
  uncairn::RomfsTree tree;
  const bool tree_read = tree.Load(image, ignore);
  image.set_holdings([&tree](uint64_t begin, uint64_t end) { return tree.Holdings(begin, end); });
  std::vector<std::string> paths;
  tree.ForEachFileInPathOrder([&](uint32_t, const std::string& path) {
    if (paths.size() < 3) paths.push_back(path);
  });
  uncairn::Level3Stream stream(image);
  stream.CheckRest();
  if (!tree_read) return;

  static safefs::FuzzTrap trap("uncairn");
  const std::string target = trap.Prepare({"a.txt", "dir", "sub", "d1", "beta.txt", "x"});
  uncairn::ExtractOptions options;
  uncairn::Extract(image, tree, target, options, ignore);
  options.force = true;
  options.paths = paths;
  options.paths.push_back("dir/../..");
  uncairn::Extract(image, tree, target, options, ignore);
  trap.Check();
}
