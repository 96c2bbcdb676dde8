// For the extraction fuzzers: a target folder holding symbolic links, named
// like the entries of the seeds, to a trap folder outside it. Whatever an
// input makes the extractor do, the trap must stay empty and nothing may
// appear beside the target.
#pragma once

#include <initializer_list>
#include <string>

namespace safefs {

class FuzzTrap {
 public:
  // The run's folder: /tmp/PROGRAM-fuzz-XXXXXX, removed when the fuzzer
  // exits.
  explicit FuzzTrap(const char* program);

  // Makes the target folder afresh with a link to the trap per name; its
  // path.
  std::string Prepare(std::initializer_list<const char*> names);
  // Aborts (a finding) when something was written through a link or beside
  // the target; then removes the target.
  void Check();

 private:
  std::string base_;
};

// Removes a tree without following links.
void RemoveTree(const std::string& path);

}  // namespace safefs
