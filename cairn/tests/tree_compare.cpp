#include "tree_compare.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "oschar.h"
#include "test_support.h"

namespace {

std::u16string Utf16(const std::string& name) {
  char16_t* converted = strcopy_UTF8toUTF16(name.c_str());
  std::u16string out(converted);
  free(converted);
  return out;
}

bool HasFile(const ExpectedDir& dir) {
  if (!dir.files.empty()) return true;
  return std::any_of(dir.dirs.begin(), dir.dirs.end(), HasFile);
}

void Walk(ExpectedDir& dir, std::vector<std::pair<dev_t, ino_t>>& open) {
  struct stat self;
  if (stat(dir.host_path.c_str(), &self) != 0) return;
  open.emplace_back(self.st_dev, self.st_ino);
  for (const std::string& name : ListingOrder(dir.host_path)) {
    if (name[0] == '.') continue;
    const std::string path = dir.host_path + "/" + name;
    struct stat st;
    const bool ok = stat(path.c_str(), &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
      if (std::find(open.begin(), open.end(), std::make_pair(st.st_dev, st.st_ino)) != open.end())
        continue;
      ExpectedDir child;
      child.name = Utf16(name);
      child.host_path = path;
      Walk(child, open);
      if (HasFile(child)) dir.dirs.push_back(std::move(child));
    } else {
      ExpectedFile file;
      file.name = Utf16(name);
      file.host_path = path;
      file.size = ok ? static_cast<uint64_t>(st.st_size) : 0;
      dir.files.push_back(std::move(file));
    }
  }
  open.pop_back();
}

std::string CompareContents(const ImageReader& image, const ImageFile& got,
                            const ExpectedFile& want) {
  if (got.size == 0) return "";
  const int fd = open(want.host_path.c_str(), O_RDONLY);
  if (fd < 0) return "cannot open " + want.host_path;
  const uint8_t* data = image.FileData(got);
  std::vector<uint8_t> buf(1 << 20);
  uint64_t done = 0;
  std::string fault;
  while (done < got.size) {
    const ssize_t n = read(fd, buf.data(), std::min<uint64_t>(buf.size(), got.size - done));
    if (n <= 0) {
      fault = want.host_path + " is shorter than its entry";
      break;
    }
    if (memcmp(buf.data(), data + done, static_cast<size_t>(n)) != 0) {
      fault = "contents of " + want.host_path + " differ";
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  close(fd);
  return fault;
}

std::string CompareDir(const ImageReader& image, const ImageDir& got, const ExpectedDir& want) {
  const std::string where = want.host_path;
  if (got.name != want.name) return "directory name differs at " + where;
  if (got.files.size() != want.files.size()) {
    return where + ": " + std::to_string(got.files.size()) + " files in the image, " +
           std::to_string(want.files.size()) + " expected";
  }
  for (size_t i = 0; i < got.files.size(); ++i) {
    const ImageFile& g = got.files[i];
    const ExpectedFile& w = want.files[i];
    if (g.name != w.name)
      return "file " + std::to_string(i) + " of " + where + " is \"" + ToUtf8(g.name) +
             "\", expected \"" + ToUtf8(w.name) + "\"";
    if (g.size != w.size) return "size of " + w.host_path + " differs";
    std::string fault = CompareContents(image, g, w);
    if (!fault.empty()) return fault;
  }
  if (got.dirs.size() != want.dirs.size()) {
    return where + ": " + std::to_string(got.dirs.size()) + " subdirectories in the image, " +
           std::to_string(want.dirs.size()) + " expected";
  }
  for (size_t i = 0; i < got.dirs.size(); ++i) {
    std::string fault = CompareDir(image, got.dirs[i], want.dirs[i]);
    if (!fault.empty()) return fault;
  }
  return "";
}

uint32_t Buckets(uint64_t count) {
  if (count <= 2) return 3;
  if (count <= 18) return uint32_t(count | 1);
  uint64_t m = count | 1;
  while (m % 3 == 0 || m % 5 == 0 || m % 7 == 0 || m % 11 == 0 || m % 13 == 0 || m % 17 == 0)
    m += 2;
  return uint32_t(m);
}

uint64_t Up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// Directory count, table sizes and data size: every file and every
// subdirectory starts on 16 bytes, counted in list order.
void Measure(const ExpectedDir& dir, uint64_t& dirs, uint64_t& files, uint64_t& dir_table,
             uint64_t& file_table) {
  ++dirs;
  dir_table += 24 + Up(dir.name.size() * 2, 4);
  for (const ExpectedFile& f : dir.files) {
    ++files;
    file_table += 32 + Up(f.name.size() * 2, 4);
  }
  for (const ExpectedDir& d : dir.dirs) Measure(d, dirs, files, dir_table, file_table);
}

uint64_t DataSize(const ExpectedDir& dir) {
  uint64_t s = 0;
  for (const ExpectedFile& f : dir.files) s = Up(s, 16) + f.size;
  for (const ExpectedDir& d : dir.dirs) s = Up(s, 16) + DataSize(d);
  return s;
}

}  // namespace

std::vector<std::string> ListingOrder(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  return names;
}

uint64_t ExpectedLevel3Size(const ExpectedDir& root) {
  if (!HasFile(root)) return 0;
  uint64_t dirs = 0, files = 0, dir_table = 0, file_table = 0;
  Measure(root, dirs, files, dir_table, file_table);
  const uint64_t tables = 40 + 4 * Buckets(dirs) + dir_table + 4 * Buckets(files) + file_table;
  return Up(tables, 16) + DataSize(root);
}

ExpectedDir ExpectedTree(const std::string& root) {
  ExpectedDir dir;
  dir.host_path = root;
  // The folders holding the root enclose it too, up to "/" (its own parent).
  std::vector<std::pair<dev_t, ino_t>> open;
  struct stat st;
  for (std::string up = root + "/.."; stat(up.c_str(), &st) == 0; up += "/..") {
    if (!open.empty() && open.back() == std::make_pair(st.st_dev, st.st_ino)) break;
    open.emplace_back(st.st_dev, st.st_ino);
  }
  Walk(dir, open);
  return dir;
}

std::string CompareWithTree(const ImageReader& image, const ExpectedDir& expected) {
  if (!HasFile(expected)) {
    return image.level3_size() == 0 ? "" : "the image of a tree without files is not empty";
  }
  if (image.level3_size() == 0) return "the image is empty";
  if (image.level3_size() != ExpectedLevel3Size(expected)) {
    return "the image is " + std::to_string(image.level3_size()) + " bytes long, " +
           std::to_string(ExpectedLevel3Size(expected)) + " expected";
  }
  return CompareDir(image, image.root(), expected);
}

size_t CountFiles(const ExpectedDir& dir) {
  size_t n = dir.files.size();
  for (const ExpectedDir& d : dir.dirs) n += CountFiles(d);
  return n;
}

void MakeGameTree(const std::string& in) {
  using testkit::MakeDir;
  using testkit::Pattern;
  using testkit::WriteFile;
  WriteFile(in + "/first.bin", Pattern(1000, 1));
  WriteFile(in + "/empty1", "");
  WriteFile(in + "/third", Pattern(4096, 3));
  MakeDir(in + "/Course");
  MakeDir(in + "/Course/Kart");
  WriteFile(in + "/Course/Kart/model.bcmdl", Pattern(70000, 4));
  WriteFile(in + "/Course/Kart/\xc3\xa9t\xc3\xa9.txt", "summer");             // été
  WriteFile(in + "/Course/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "nihongo");  // 日本語
  WriteFile(in + "/Course/\xf0\x9f\x98\x80.bin", Pattern(33, 5));             // U+1F600
  MakeDir(in + "/only_empty_file");
  WriteFile(in + "/only_empty_file/zero", "");
}

std::string FolderDifference(const std::string& a, const std::string& b) {
  using testkit::ListDir;
  using testkit::ReadBytes;
  const std::vector<std::string> names = ListDir(a);
  if (names != ListDir(b)) return "the entries of " + a + " and " + b + " differ";
  for (const std::string& name : names) {
    struct stat sa, sb;
    if (lstat((a + "/" + name).c_str(), &sa) != 0 || lstat((b + "/" + name).c_str(), &sb) != 0 ||
        S_ISDIR(sa.st_mode) != S_ISDIR(sb.st_mode) || S_ISREG(sa.st_mode) != S_ISREG(sb.st_mode)) {
      return name + " is of another kind in " + b;
    }
    const std::string inner = S_ISDIR(sa.st_mode)
                                  ? FolderDifference(a + "/" + name, b + "/" + name)
                                  : (ReadBytes(a + "/" + name) == ReadBytes(b + "/" + name)
                                         ? ""
                                         : b + "/" + name + " has other contents");
    if (!inner.empty()) return inner;
  }
  return "";
}
