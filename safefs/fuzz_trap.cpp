#include "safefs/fuzz_trap.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace safefs {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

size_t CountEntries(const std::string& dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++count;
    }
    closedir(d);
  }
  return count;
}

// Plain characters, which outlive every destructor that runs at exit.
char g_base[PATH_MAX];

}  // namespace

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

FuzzTrap::FuzzTrap(const char* program) {
  snprintf(g_base, sizeof g_base, "/tmp/%s-fuzz-XXXXXX", program);
  if (mkdtemp(g_base) == nullptr) abort();
  atexit([] { RemoveTree(g_base); });
  base_ = g_base;
  if (mkdir((base_ + "/trap").c_str(), 0755) != 0) abort();
}

std::string FuzzTrap::Prepare(std::initializer_list<const char*> names) {
  const std::string target = base_ + "/target";
  RemoveTree(target);
  if (mkdir(target.c_str(), 0755) != 0) abort();
  for (const char* name : names) {
    if (symlink((base_ + "/trap").c_str(), (target + "/" + name).c_str()) != 0) abort();
  }
  return target;
}

void FuzzTrap::Check() {
  if (CountEntries(base_ + "/trap") != 0) abort();  // written through a link
  if (CountEntries(base_) != 2) abort();            // written beside the target
  RemoveTree(base_ + "/target");
}

}  // namespace safefs
