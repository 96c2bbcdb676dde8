// BRRES files (the Wii's model archives): the index groups (Patricia
// trees of names) of the root section and its folders, read and checked
// (brres_groups.cpp), and the file type, whose textures are the TEX0
// sub-files of the folder Textures(NW4R) and their PLT0 palettes
// (brres.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "container.h"

namespace glaze::brres {

extern const ContainerType kType;

// One 16-byte entry of an index group, its offsets made absolute.
struct Entry {
  uint16_t id = 0, flag = 0, left = 0, right = 0;
  uint64_t nameAt = 0;  // the name's characters; 0 for a reference entry without a name
  uint64_t dataAt = 0;
  std::string name;
};

struct Group {
  uint64_t at = 0;
  std::vector<Entry> entries;  // entries[0] is the reference entry
  uint64_t end() const { return at + 8 + 16 * uint64_t(entries.size()); }
};

// Names read once (by where their characters start) under a budget of
// bytes and entries, so that a hostile file's groups cannot make the
// reader's time or memory grow past it.
struct Reading {
  std::map<uint64_t, std::string> names;
  uint64_t nameBytes = 0, entries = 0;
};

// Reads and checks the index group at `at`: inside the file, links within
// it, every name readable and found by the tree's walk (followed only while
// the id falls, never recursively). `strict` also wants the length field to
// be 8 + 16 (n + 1) and the reference entry's id 0xFFFF, which tells a
// folder from other data. False with the problem, or with errno set and
// problem empty when a read fails.
bool readGroup(const Source& source, uint64_t at, bool strict, Reading& reading, Group& out,
               std::string& problem);

// The entry that the tree's walk finds for a name, or 0.
size_t lookUp(const Group& group, const std::string& name);

// Adds an entry to a group, last, linked into its tree as a name inserted
// after the others is.
void insert(Group& group, Entry entry);

// insert, and then every name of the group found by the walk (else its
// tree built anew in entry order); false when even that fails.
bool add(Group& group, Entry entry);

// The bytes of a group placed at `at`, its entries' positions already those
// of the file it is written into.
std::vector<uint8_t> groupBytes(const Group& group, uint64_t at);

}  // namespace glaze::brres
