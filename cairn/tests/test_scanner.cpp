// The directory scanner and the filter, on folders made here.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "romfs_dir_filter.h"
#include "romfs_dir_scanner.h"
#include "test_support.h"
#include "tree_compare.h"

using testkit::MakeDir;
using testkit::MakeLink;
using testkit::TempDir;
using testkit::WriteFile;

namespace {

using sDirectory = RomfsDirScanner::sDirectory;
using sFile = RomfsDirScanner::sFile;

std::vector<std::string> Visible(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& n : ListingOrder(dir)) {
    if (n[0] != '.') names.push_back(n);
  }
  return names;
}

const sFile* FindFile(const sDirectory& dir, const std::string& path) {
  for (const sFile& f : dir.file_list) {
    if (path == f.path) return &f;
  }
  return nullptr;
}

const sDirectory* FindDir(const sDirectory& dir, const std::string& path) {
  for (const sDirectory& d : dir.dir_list) {
    if (path == d.path) return &d;
  }
  return nullptr;
}

TEST(Scanner, RecordsFollowTheListingAndSkipHiddenNames) {
  TempDir tmp;
  const std::string root = tmp / "root";
  MakeDir(root);
  for (const char* name : {"b", "a", "c.txt", "zz", "m"})
    WriteFile(root + "/" + name, std::string(name));
  WriteFile(root + "/.hidden", "x");
  MakeDir(root + "/.git");
  WriteFile(root + "/.git/HEAD", "ref");
  MakeDir(root + "/sub1");
  MakeDir(root + "/sub2");
  WriteFile(root + "/sub1/inner", "12345");

  RomfsDirScanner scanner;
  ASSERT_EQ(scanner.ScanDir(root.c_str()), 0);
  const sDirectory& r = scanner.root_dir();
  EXPECT_STREQ(r.path, root.c_str());
  EXPECT_EQ(std::u16string(r.name), u"");
  EXPECT_EQ(r.name_size, 0u);

  // Both lists keep the listing's order.
  std::vector<std::string> files, dirs;
  for (const std::string& n : Visible(root))
    (n.rfind("sub", 0) == 0 ? dirs : files).push_back(root + "/" + n);
  ASSERT_EQ(r.file_list.size(), files.size());
  ASSERT_EQ(r.dir_list.size(), dirs.size());
  for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(files[i], r.file_list[i].path);
  for (size_t i = 0; i < dirs.size(); ++i) EXPECT_EQ(dirs[i], r.dir_list[i].path);

  const sFile* c = FindFile(r, root + "/c.txt");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(std::u16string(c->name), u"c.txt");
  EXPECT_EQ(c->name_size, 10u);
  EXPECT_EQ(c->size, 5u);
  const sDirectory* sub1 = FindDir(r, root + "/sub1");
  ASSERT_NE(sub1, nullptr);
  EXPECT_EQ(std::u16string(sub1->name), u"sub1");
  EXPECT_EQ(sub1->name_size, 8u);
  ASSERT_EQ(sub1->file_list.size(), 1u);
  EXPECT_EQ(sub1->file_list[0].size, 5u);

  EXPECT_EQ(RomfsDirFilter::GetNestedFileNum(r), 6u);
  EXPECT_EQ(RomfsDirFilter::GetNestedDirNum(r), 2u);
  EXPECT_EQ(RomfsDirFilter::GetNestedFileNum(*FindDir(r, root + "/sub2")), 0u);
}

TEST(Scanner, LinksAreFollowedAndLoopsSkipped) {
  TempDir tmp;
  const std::string root = tmp / "root";
  MakeDir(root);
  MakeDir(root + "/dir");
  WriteFile(root + "/dir/f", std::string(300, 'f'));
  MakeLink("dir", root + "/dir_link");
  MakeLink("dir/f", root + "/file_link");
  MakeLink("nowhere", root + "/dangling");
  MakeLink("../..", root + "/dir/loop");

  testing::internal::CaptureStderr();
  RomfsDirScanner scanner;
  ASSERT_EQ(scanner.ScanDir(root.c_str()), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  const sDirectory& r = scanner.root_dir();

  const sDirectory* link_dir = FindDir(r, root + "/dir_link");
  ASSERT_NE(link_dir, nullptr);
  EXPECT_EQ(std::u16string(link_dir->name), u"dir_link");
  ASSERT_NE(FindFile(*link_dir, root + "/dir_link/f"), nullptr);
  EXPECT_EQ(FindFile(*link_dir, root + "/dir_link/f")->size, 300u);
  ASSERT_NE(FindFile(r, root + "/file_link"), nullptr);
  EXPECT_EQ(FindFile(r, root + "/file_link")->size, 300u);
  ASSERT_NE(FindFile(r, root + "/dangling"), nullptr);
  EXPECT_EQ(FindFile(r, root + "/dangling")->size, 0u);

  // "../.." from root/dir is the folder holding the root: it encloses the
  // tree, so it is skipped, whether reached directly or through dir_link.
  EXPECT_EQ(FindDir(*FindDir(r, root + "/dir"), root + "/dir/loop"), nullptr);
  EXPECT_TRUE(link_dir->dir_list.empty());
  for (const char* via : {"/dir/loop", "/dir_link/loop"}) {
    EXPECT_NE(err.find("[WARNING] Skipping \"" + root + via +
                       "\": it leads back to an enclosing directory\n"),
              std::string::npos)
        << err;
  }
}

TEST(Scanner, PrintDirTreeListsFilesThenFolders) {
  TempDir tmp;
  MakeDir(tmp / "s");
  WriteFile(tmp / "s/a", std::string(26, 'a'));
  MakeDir(tmp / "s/t");
  WriteFile(tmp / "s/t/b", "");
  WriteFile(tmp / "top", std::string(300, 't'));
  RomfsDirScanner scanner;
  ASSERT_EQ(scanner.ScanDir(tmp.path().c_str()), 0);
  testing::internal::CaptureStdout();
  scanner.PrintDirTree(scanner.root_dir(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            (tmp / "top") + " (size=0x12c)\n" + (tmp / "s") + " (dir=1, file=1)\n" + "  " +
                (tmp / "s/a") + " (size=0x1a)\n" + "  " + (tmp / "s/t") + " (dir=0, file=1)\n" +
                "    " + (tmp / "s/t/b") + " (size=0x0)\n");
}

TEST(Filter, DropsBranchesWithoutFiles) {
  TempDir tmp;
  const std::string root = tmp / "root";
  MakeDir(root);
  MakeDir(root + "/empty");
  MakeDir(root + "/empty/deeper");
  MakeDir(root + "/empty/deeper/deepest");
  MakeDir(root + "/zero");
  WriteFile(root + "/zero/nothing", "");
  MakeDir(root + "/mixed");
  MakeDir(root + "/mixed/void");
  MakeDir(root + "/mixed/has");
  WriteFile(root + "/mixed/has/f", "f");
  MakeDir(root + "/.hidden_with_file");
  WriteFile(root + "/.hidden_with_file/f", "f");

  RomfsDirScanner scanner;
  ASSERT_EQ(scanner.ScanDir(root.c_str()), 0);
  EXPECT_EQ(RomfsDirFilter::GetNestedDirNum(scanner.root_dir()), 7u);
  RomfsDirFilter filter;
  ASSERT_EQ(filter.FilterFs(scanner.root_dir()), 0);
  const sDirectory& f = filter.GetRootFs();
  EXPECT_EQ(RomfsDirFilter::GetNestedDirNum(f), 3u);  // zero, mixed, mixed/has
  EXPECT_EQ(RomfsDirFilter::GetNestedFileNum(f), 2u);
  EXPECT_EQ(FindDir(f, root + "/empty"), nullptr);
  ASSERT_NE(FindDir(f, root + "/zero"), nullptr);
  const sDirectory* mixed = FindDir(f, root + "/mixed");
  ASSERT_NE(mixed, nullptr);
  ASSERT_EQ(mixed->dir_list.size(), 1u);
  EXPECT_EQ(std::string(mixed->dir_list[0].path), root + "/mixed/has");

  // The filter has its own directory text and shares the file records'.
  const sDirectory* scanned_mixed = FindDir(scanner.root_dir(), root + "/mixed");
  EXPECT_NE(mixed->path, scanned_mixed->path);
  EXPECT_NE(f.name, scanner.root_dir().name);
  const sDirectory* has = FindDir(*scanned_mixed, root + "/mixed/has");
  EXPECT_EQ(mixed->dir_list[0].file_list[0].path, has->file_list[0].path);
}

TEST(Filter, CopyFileNodeMakesIndependentText) {
  TempDir tmp;
  WriteFile(tmp / "f", "abc");
  RomfsDirScanner scanner;
  ASSERT_EQ(scanner.ScanDir(tmp.path().c_str()), 0);
  const sFile& src = scanner.root_dir().file_list.at(0);
  sFile copy;
  ASSERT_EQ(RomfsDirFilter::CopyFileNode(src, copy), 0);
  EXPECT_NE(copy.path, src.path);
  EXPECT_STREQ(copy.path, src.path);
  EXPECT_EQ(std::u16string(copy.name), std::u16string(src.name));
  EXPECT_EQ(copy.name_size, src.name_size);
  EXPECT_EQ(copy.size, 3u);
  free(copy.path);
  free(copy.name);
}

}  // namespace
