// What an image of a host folder must hold, worked out from the folder
// itself, and the comparison of an image with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "romfs_reader.h"

struct ExpectedFile {
  std::u16string name;
  std::string host_path;
  uint64_t size = 0;
};

struct ExpectedDir {
  std::u16string name;
  std::string host_path;
  std::vector<ExpectedDir> dirs;
  std::vector<ExpectedFile> files;
};

// Walks the folder in the order its listing gives: names beginning with "."
// are left out, links are followed, a link back to a folder that encloses
// it (inside the tree or holding the tree) is left out, folders without any
// file below them are dropped.
ExpectedDir ExpectedTree(const std::string& root);

// Empty when the image holds exactly the expected tree, in the same order,
// with the same contents; otherwise the first difference.
std::string CompareWithTree(const ImageReader& image, const ExpectedDir& expected);

// The length of the level-3 image of the tree, worked out independently.
uint64_t ExpectedLevel3Size(const ExpectedDir& root);

// The names in a folder, without "." and "..", in the order in which the
// host lists them (the order cairn keeps).
std::vector<std::string> ListingOrder(const std::string& dir);

// The first difference between two host folders (names, kinds, contents),
// or "" when they hold the same.
std::string FolderDifference(const std::string& a, const std::string& b);

// Counts over an expected tree.
size_t CountFiles(const ExpectedDir& dir);

// Fills the (existing) folder in with a small game-like tree: files of
// several sizes, empty files, a nested folder, and names beyond ASCII (two-
// and three-byte UTF-8, and one character beyond U+FFFF).
void MakeGameTree(const std::string& in);
