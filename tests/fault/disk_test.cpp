// Real write failures, not injected ones: a file system that fills up and
// a file-size limit. Both bind root too. The upgrade must fail with its
// lines, keep the original at the backup and leave no partial file.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "../bytes.hpp"
#include "../report.hpp"
#include "../temp_dir.hpp"
#include "../tool_run.hpp"

namespace fs = std::filesystem;

namespace {

// About 150 KB that grows by a few KB when upgraded.
std::string big(bool upgraded) {
  std::string text;
  for (int line = 0; line < 4000; ++line) {
    text += (upgraded ? "proxy1_port " : "port ") + std::to_string(line) +
            "\n# a comment that takes some room\n";
  }
  return text;
}

const std::string small_old = "proxy 10.0.0.1\n";
const std::string small_new = "proxy1_address 10.0.0.1\n";

// A 256 KiB tmpfs of its own, in a mount namespace of this test process
// alone; ctest runs every test in a process of its own.
class SmallFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (unshare(CLONE_NEWNS) != 0) {
      GTEST_SKIP() << "cannot make a mount namespace here ("
                   << std::strerror(errno)
                   << "); the full-disk cases need root or CAP_SYS_ADMIN";
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      GTEST_SKIP() << "cannot make mounts private here: "
                   << std::strerror(errno);
    }
    small_fs_ = make_temp_dir();
    if (mount("tmpfs", small_fs_.c_str(), "tmpfs", 0, "size=256k") != 0) {
      GTEST_SKIP() << "mounting a small tmpfs was refused: "
                   << std::strerror(errno);
    }
    mounted_ = true;
    other_ = make_temp_dir();
  }
  void TearDown() override {
    if (mounted_) {
      umount(small_fs_.c_str());
    }
    fs::remove_all(small_fs_);
    fs::remove_all(other_);
  }

  fs::path small_fs_;
  fs::path other_;
  bool mounted_ = false;
};

// A run of "big" then "small" in `dir` where the write of big's upgrade
// fails: big's text waits at its backup, its partial scratch file is gone,
// and small is upgraded after it.
void expect_big_fails_small_upgrades(const tool_run& run, const fs::path& dir) {
  EXPECT_EQ(run.output, upgraded("big.cnf", "big.bak") +
                            "Can't write tmp.cnf.\nCan't upgrade big.cnf\n" +
                            upgraded("small.cnf", "small.bak") + done);
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(dir),
                      (tree{{"big.bak", big(false)},
                            {"small.cnf", small_new},
                            {"small.bak", small_old}}));
}

// The scratch file fills the disk: its write fails, it is removed, and the
// space it took serves the next file of the run.
TEST_F(SmallFileSystem, ScratchFileThatDoesNotFitFailsTheUpgrade) {
  make_tree(small_fs_, {{"big.cnf", big(false)}, {"small.cnf", small_old}});
  expect_big_fails_small_upgrades(run_tool(small_fs_, {"big", "small"}),
                                  small_fs_);
}

// The configuration lies on the full file system and the working directory
// elsewhere: the copy made beside the configuration fails, is removed, and
// the complete upgrade waits in tmp.cnf.
TEST_F(SmallFileSystem, CopyAcrossFileSystemsThatDoesNotFitFailsTheUpgrade) {
  make_tree(small_fs_, {{"big.cnf", big(false)}});
  std::string name = (small_fs_ / "big.cnf").string();
  std::string backup = (small_fs_ / "big.bak").string();
  tool_run run = run_tool(other_, {name});
  EXPECT_EQ(run.output, upgraded(name, backup) + "Can't rename tmp.cnf to " +
                            name + ".\nCan't upgrade " + name + "\n" + done);
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(small_fs_),
                      (tree{{"big.bak", big(false)}}));
  EXPECT_PRED_FORMAT2(same_tree, read_tree(other_),
                      (tree{{"tmp.cnf", big(true)}}));
}

// A file-size limit stops the write part-way, root or not; with SIGXFSZ
// ignored the write reports EFBIG instead of ending the process.
TEST(FileSizeLimit, ScratchFileOverTheLimitFailsTheUpgrade) {
  fs::path dir = make_temp_dir();
  make_tree(dir, {{"big.cnf", big(false)}, {"small.cnf", small_old}});
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = 100000;
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  // The tool inherits the limit and the ignored signal; this process
  // writes nothing while they hold.
  started_tool tool = start_tool(dir, {"big", "small"});
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  expect_big_fails_small_upgrades(finish_tool(tool), dir);
  fs::remove_all(dir);
}

// A working directory that is read-only, for root too: a configuration in
// it cannot be moved aside and stays as it is; one elsewhere is backed up,
// but no scratch file can be made, so its text waits at its backup.
TEST_F(SmallFileSystem, ReadOnlyWorkingDirectory) {
  make_tree(small_fs_, {{"a.cnf", small_old}});
  make_tree(other_, {{"b.cnf", small_old}});
  ASSERT_EQ(mount(nullptr, small_fs_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
                  nullptr),
            0)
      << std::strerror(errno);
  std::string b = (other_ / "b.cnf").string();
  std::string b_backup = (other_ / "b.bak").string();
  tool_run run = run_tool(small_fs_, {"a", b});
  EXPECT_EQ(run.output,
            "Upgrading a.cnf\nCan't rename a.cnf to a.bak.\n"
            "Can't back up a.cnf\n" +
                upgraded(b, b_backup) + "Can't open tmp.cnf.\nCan't upgrade " +
                b + "\n" + done);
  EXPECT_EQ(run.status, 1);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(small_fs_),
                      (tree{{"a.cnf", small_old}}));
  EXPECT_PRED_FORMAT2(same_tree, read_tree(other_),
                      (tree{{"b.bak", small_old}}));
}

}  // namespace
