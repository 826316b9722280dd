#include "files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

std::string stop_capture() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

struct extension_case {
  std::string path;
  std::string extension;
  std::string expected;
};

TEST(ChangeExtension, ReplacesOnlyTheFileNamesExtension) {
  const extension_case cases[] = {
      {"phone.cnf", "bak", "phone.bak"},
      {"D:\\cfg\\phone.cnf", "bak", "D:\\cfg\\phone.bak"},
      {"D:phone.cnf", "bak", "D:phone.bak"},
      {"a.b/phone.cnf", "bak", "a.b/phone.bak"},
      {"a.b\\phone.cnf", "bak", "a.b\\phone.bak"},
      {"a.b/c\\phone", "bak", "a.b/c\\phone.bak"},
      {".cnf", "bak", ".bak"},
      {"phone", "bak", "phone.bak"},
      {"phone.", "bak", "phone.bak"},
      {"x.tar.gz", "bak", "x.tar.bak"},
      {"phone.cnf", ".bak", "phone.bak"},
      {"phone.cnf", "", "phone"},
      {"dir/", "bak", "dir/.bak"},
      {std::string(155, 'n') + ".cnf", "bak", std::string(155, 'n') + ".bak"},
      {std::string(156, 'n'), "bak", ""},
  };
  for (const extension_case& c : cases) {
    char result[text_size];
    int ok = change_extension(c.path.c_str(), c.extension.c_str(), result);
    EXPECT_EQ(ok, c.expected.empty() ? 0 : 1) << c.path;
    EXPECT_EQ(std::string(result), c.expected) << c.path;
  }
}

// In Shift-JIS, 0x95 0x5C is one character whose second byte is the
// backslash; it must not end a directory.
TEST(ChangeExtension, StepsOverDoubleByteCharacters) {
  const char* old_locale = std::setlocale(LC_CTYPE, nullptr);
  std::string saved = old_locale != nullptr ? old_locale : "C";
  if (std::setlocale(LC_CTYPE, "ja_JP.SJIS") == nullptr &&
      std::setlocale(LC_CTYPE, "ja_JP.sjis") == nullptr) {
    // CI makes the locale, so there its absence is a fault of the set-up.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") {
      FAIL() << "no Shift-JIS locale although CI=true";
    }
    GTEST_SKIP() << "no Shift-JIS locale here (localedef -i ja_JP -f "
                    "SHIFT_JIS ja_JP.SJIS makes one)";
  }
  char result[text_size];
  change_extension("a.b\x95\x5c" "c", "bak", result);
  EXPECT_EQ(std::string(result), "a.bak");
  change_extension("d\\a.b\x95\x5c" "c.cnf", "bak", result);
  EXPECT_EQ(std::string(result), "d\\a.b\x95\x5c" "c.bak");
  change_extension("a.b/c\\phone", "bak", result);
  EXPECT_EQ(std::string(result), "a.b/c\\phone.bak");
  std::setlocale(LC_CTYPE, saved.c_str());
}

class FilesTest : public temp_dir_test {};

TEST_F(FilesTest, RemoveFileDeletesFilesButNeverDirectories) {
  write_file("a.bak", "x");
  fs::create_directory("empty.bak");
  testing::internal::CaptureStdout();
  EXPECT_EQ(remove_file("a.bak"), 1);
  EXPECT_EQ(remove_file("missing.bak"), 1);
  EXPECT_EQ(remove_file("empty.bak"), 0);
  EXPECT_EQ(stop_capture(), "Can't remove empty.bak.\n");
  EXPECT_EQ(read_tree("."), (tree{{"empty.bak", "<dir>"}}));
}

TEST_F(FilesTest, OpenForWritingCreatesOwnerOnlyAndNeverReplaces) {
  write_file("tmp.cnf", "mine");
  testing::internal::CaptureStdout();
  EXPECT_EQ(open_file("tmp.cnf", "w"), nullptr);
  EXPECT_EQ(open_file("missing.cnf", "r"), nullptr);
  EXPECT_EQ(stop_capture(), "Can't open tmp.cnf.\nCan't open missing.cnf.\n");
  EXPECT_EQ(read_file("tmp.cnf"), "mine");

  std::FILE* stream = open_file("new.cnf", "w");
  ASSERT_NE(stream, nullptr);
  struct stat status;
  ASSERT_EQ(stat("new.cnf", &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_EQ(close_file("new.cnf", stream), 1);
}

TEST_F(FilesTest, ReadingADirectoryOrAPipeFails) {
  fs::create_directory("dir.bak");
  ASSERT_EQ(mkfifo("pipe.bak", 0600), 0);
  for (const char* path : {"dir.bak", "pipe.bak"}) {
    std::FILE* stream = open_file(path, "r");
    ASSERT_NE(stream, nullptr) << path;
    char buffer[16];
    std::size_t count = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_block(path, stream, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(stop_capture(), "Can't read " + std::string(path) + ".\n");
    close_file(path, stream);
  }
}

TEST_F(FilesTest, BackUpReplacesAnEarlierBackup) {
  make_tree(".", {{"phone.cnf", "new"}, {"phone.bak", "old"}});
  char backup[text_size];
  testing::internal::CaptureStdout();
  EXPECT_EQ(back_up_file("phone.cnf", backup), 1);
  EXPECT_EQ(stop_capture(), "phone.cnf backed up to phone.bak\n");
  EXPECT_EQ(std::string(backup), "phone.bak");
  EXPECT_EQ(read_tree("."), (tree{{"phone.bak", "new"}}));
}

TEST_F(FilesTest, MissingFileKeepsItsOldBackup) {
  make_tree(".", {{"phone.bak", "old"}});
  char backup[text_size];
  testing::internal::CaptureStdout();
  EXPECT_EQ(back_up_file("phone.cnf", backup), 0);
  EXPECT_EQ(stop_capture(), "Can't rename phone.cnf to phone.bak.\n");
  EXPECT_EQ(read_tree("."), (tree{{"phone.bak", "old"}}));
}

TEST_F(FilesTest, DirectoryAtTheBackupPathLeavesTheFileInPlace) {
  make_tree(".", {{"phone.cnf", "text"}, {"phone.bak", "<dir>"}});
  char backup[text_size];
  testing::internal::CaptureStdout();
  EXPECT_EQ(back_up_file("phone.cnf", backup), 0);
  EXPECT_EQ(stop_capture(), "Can't remove phone.bak.\n");
  EXPECT_EQ(read_tree("."),
            (tree{{"phone.cnf", "text"}, {"phone.bak", "<dir>"}}));
}

TEST_F(FilesTest, BackUpWithADotInTheDirectory) {
  make_tree(".", {{"a.b/phone.cnf", "text"}});
  char backup[text_size];
  testing::internal::CaptureStdout();
  EXPECT_EQ(back_up_file("a.b/phone.cnf", backup), 1);
  EXPECT_EQ(stop_capture(), "a.b/phone.cnf backed up to a.b/phone.bak\n");
  EXPECT_EQ(read_tree("."), (tree{{"a.b", "<dir>"}, {"a.b/phone.bak", "text"}}));
}

}  // namespace
