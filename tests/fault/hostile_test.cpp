// Input meant to confuse: odd names, links, special files where the tool
// expects a regular one, and one line of 100 MB.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../bytes.hpp"
#include "../report.hpp"
#include "../temp_dir.hpp"
#include "../tool_run.hpp"

namespace fs = std::filesystem;

namespace {

const std::string old_text = "proxy 10.0.0.1\r\n\tport:5060\r\n";
const std::string new_text = "proxy1_address 10.0.0.1\r\n proxy1_port:5060\r\n";

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// Names are taken as they are: no option parsing, no quoting, no
// interpretation of bytes.
TEST_F(Hostile, OddNamesAreUpgradedAsGiven) {
  const std::vector<std::string> names = {
      "my phone",  "-v",          "--help", "-",
      "caf\xc3\xa9", "\xff\xfe\x80", "tab\there", "line\nbreak",
      "bell\x07",  " lead",       "sub dir/x"};
  tree before;
  tree after;
  std::string output;
  for (const std::string& name : names) {
    before[name + ".cnf"] = old_text;
    after[name + ".cnf"] = new_text;
    after[name + ".bak"] = old_text;
    output += upgraded(name);
  }
  after["sub dir"] = "<dir>";
  make_tree(dir_, before);
  tool_run run = run_tool(dir_, names);
  EXPECT_EQ(run.output, output + done);
  EXPECT_EQ(run.status, 0);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(dir_), after);
}

// The link itself is moved aside; a regular file with the upgraded text
// takes its name; the target is never written. A link to nothing leaves
// nothing to upgrade, and the link waits at the backup.
TEST_F(Hostile, SymbolicLinksAreMovedAsideNotFollowedForWriting) {
  make_tree(dir_, {{"target.txt", old_text},
                   {"link.cnf", "-> target.txt"},
                   {"dangling.cnf", "-> nowhere.txt"}});
  tool_run run = run_tool(dir_, {"link", "dangling"});
  EXPECT_EQ(run.output,
            upgraded("link") + upgraded("dangling") +
                "Can't open dangling.bak.\nCan't upgrade dangling.cnf\n" +
                done);
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(dir_),
                      (tree{{"target.txt", old_text},
                            {"link.bak", "-> target.txt"},
                            {"link.cnf", new_text},
                            {"dangling.bak", "-> nowhere.txt"}}));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "link.cnf")));
}

// Something other than a regular file where the scratch file would go is
// never opened for writing, and nothing waits for a pipe's writer.
TEST_F(Hostile, PipeOrDirectoryAtTheScratchNameIsLeftAlone) {
  for (bool pipe : {true, false}) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    make_tree(dir_, {{"a.cnf", old_text}});
    if (pipe) {
      ASSERT_EQ(mkfifo((dir_ / "tmp.cnf").c_str(), 0600), 0);
    } else {
      fs::create_directory(dir_ / "tmp.cnf");
    }
    tool_run run = run_tool(dir_, {"a"});
    EXPECT_EQ(
        run.output,
        upgraded("a") + "Can't open tmp.cnf.\nCan't upgrade a.cnf\n" + done);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(read_file(dir_ / "a.bak"), old_text);
    EXPECT_EQ(fs::status(dir_ / "tmp.cnf").type(),
              pipe ? fs::file_type::fifo : fs::file_type::directory);
  }
}

// A pipe where an earlier backup stands is replaced like any backup,
// without opening it.
TEST_F(Hostile, PipeAtTheBackupPathIsReplacedWithoutWaiting) {
  make_tree(dir_, {{"a.cnf", old_text}});
  ASSERT_EQ(mkfifo((dir_ / "a.bak").c_str(), 0600), 0);
  tool_run run = run_tool(dir_, {"a"});
  EXPECT_EQ(run.output, upgraded("a") + done);
  EXPECT_EQ(run.status, 0);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(dir_),
                      (tree{{"a.cnf", new_text}, {"a.bak", old_text}}));
}

// One line of 100 MB, after a key: it streams through in blocks, and the
// tool's memory stays far below the line's size. The tool's peak counts
// this test process too (the tool starts as a copy of it), so the test
// writes and checks the file in pieces and holds little itself.
TEST_F(Hostile, HundredMegabyteLineStreamsThrough) {
  const std::size_t pieces = 100;
  const std::string piece(1u << 20, 'x');
  {
    std::ofstream out(dir_ / "huge.cnf", std::ios::binary);
    out << "\tuser_name ";
    for (std::size_t i = 0; i < pieces; ++i) {
      out << piece;
    }
    out << "\r\nport 1";
    ASSERT_TRUE(out.good());
  }
  tool_run run = run_tool(dir_, {"huge"});
  EXPECT_EQ(run.output, upgraded("huge") + done);
  EXPECT_EQ(run.status, 0);
  std::ifstream in(dir_ / "huge.cnf", std::ios::binary);
  std::string head(12, '\0');
  in.read(head.data(), 12);
  EXPECT_EQ(head, " line1_name ");
  std::string got(piece.size(), '\0');
  for (std::size_t i = 0; i < pieces; ++i) {
    in.read(got.data(), static_cast<std::streamsize>(got.size()));
    ASSERT_EQ(got, piece) << "piece " << i;
  }
  std::string tail(64, '\0');
  in.read(tail.data(), 64);
  tail.resize(static_cast<std::size_t>(in.gcount()));
  EXPECT_EQ(tail, "\r\nproxy1_port 1");
#ifndef CNFUPGRADE_SANITIZED
  // The sanitizers' own bookkeeping takes memory of its own.
  EXPECT_LT(run.peak_rss_kb, 32 * 1024) << "peak RSS in KiB";
#endif
  std::printf("peak RSS upgrading a 100 MB line: %ld KiB\n", run.peak_rss_kb);
}

// A 1 GB file of ordinary lines. Not run by default, for the time and
// disk it takes (3 GB written); run it with
//   build/test/tests/robustness_tests --gtest_also_run_disabled_tests
//     --gtest_filter='*GigabyteFile*'
TEST_F(Hostile, DISABLED_GigabyteFileKeepsMemoryFlat) {
  std::string block;
  while (block.size() < (1u << 20)) {
    block += "port 5060\n\tuser_name alice\n# a comment line\n";
  }
  {
    std::ofstream out(dir_ / "giga.cnf", std::ios::binary);
    for (std::size_t written = 0; written < (1ull << 30);
         written += block.size()) {
      out << block;
    }
    ASSERT_TRUE(out.good());
  }
  tool_run run = run_tool(dir_, {"giga"});
  EXPECT_EQ(run.output, upgraded("giga") + done);
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(run.peak_rss_kb, 32 * 1024) << "peak RSS in KiB";
  std::printf("peak RSS upgrading a 1 GB file: %ld KiB\n", run.peak_rss_kb);
}

}  // namespace
