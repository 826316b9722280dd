// Runs started at the same time in one working directory. They share the
// scratch file name tmp.cnf, which each creates exclusively, and nothing
// is locked: whatever the interleaving, every file ends upgraded or
// cleanly failed with its lines, and no text is lost, mixed or partial.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../bytes.hpp"
#include "../report.hpp"
#include "../temp_dir.hpp"
#include "../tool_run.hpp"

namespace fs = std::filesystem;

namespace {

#ifdef CNFUPGRADE_SANITIZED
constexpr std::size_t stride = 3;  // every run costs more there
#else
constexpr std::size_t stride = 1;
#endif

const std::string old_text = "# desk\r\nproxy 10.0.0.1\r\n\tport 5060\r\n";
const std::string new_text =
    "# desk\r\nproxy1_address 10.0.0.1\r\n proxy1_port 5060\r\n";

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }

  void reset(const tree& files) {
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    make_tree(dir_, files);
  }

  fs::path dir_;
};

std::vector<std::string> fault_library(std::size_t stop_at) {
  return {"LD_PRELOAD=" CNFUPGRADE_FAULT_LIBRARY,
          "ASAN_OPTIONS=verify_asan_link_order=0",
          "CNF_FAULT_STOP=" + std::to_string(stop_at)};
}

// One run on a.cnf either completes or fails with one line and its
// summary; either way the report and the status agree.
testing::AssertionResult well_formed(const tool_run& run) {
  if (run.status == 0 && run.output == upgraded("a") + done) {
    return testing::AssertionSuccess();
  }
  const std::vector<std::string> failures = {
      "Upgrading a.cnf\nCan't rename a.cnf to a.bak.\nCan't back up a.cnf\n",
      upgraded("a") + "Can't open a.bak.\nCan't upgrade a.cnf\n",
      upgraded("a") + "Can't open tmp.cnf.\nCan't upgrade a.cnf\n",
      upgraded("a") + "Can't rename tmp.cnf to a.cnf.\nCan't upgrade a.cnf\n"};
  for (const std::string& failure : failures) {
    if (run.status == 1 && run.output == failure + done) {
      return testing::AssertionSuccess();
    }
  }
  return testing::AssertionFailure()
         << "status " << run.status << ", output:\n"
         << run.output;
}

// Two runs on the same file: the first stops before its i-th file
// operation, the second before its j-th; then the first goes on to its
// end, then the second. For every pair (i, j) the file ends as one
// upgrade leaves it or as two upgrades one after the other leave it (the
// second backs up the upgraded text), never with a text lost, mixed or
// partial.
TEST_F(Concurrency, TwoRunsOnOneFileAtEveryPairOfPoints) {
  const tree before = {{"a.cnf", old_text}, {"a.bak", "an earlier backup\n"}};
  const tree once = {{"a.cnf", new_text}, {"a.bak", old_text}};
  const tree twice = {{"a.cnf", new_text}, {"a.bak", new_text}};
  // Every operation of one run on one file, and the end of the run.
  reset(before);
  fs::path log = make_temp_dir() / "log";
  tool_run counted = run_tool(dir_, {"a"},
                              {"LD_PRELOAD=" CNFUPGRADE_FAULT_LIBRARY,
                               "ASAN_OPTIONS=verify_asan_link_order=0",
                               "CNF_FAULT_LOG=" + log.string()});
  ASSERT_EQ(counted.status, 0);
  std::string lines = read_file(log);
  fs::remove_all(log.parent_path());
  const std::size_t points =
      static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')) +
      1;
  ASSERT_GT(points, 10u);
  int pairs = 0;
  for (std::size_t i = 1; i <= points; i += stride) {
    for (std::size_t j = 1; j <= points; j += stride) {
      reset(before);
      std::string context =
          "first stopped at " + std::to_string(i) + ", second at " +
          std::to_string(j);
      started_tool first = start_tool(dir_, {"a"}, fault_library(i));
      bool first_stopped = wait_for_stop(first);
      started_tool second = start_tool(dir_, {"a"}, fault_library(j));
      bool second_stopped = wait_for_stop(second);
      if (first_stopped) {
        kill(first.pid, SIGCONT);
      }
      tool_run first_run = finish_tool(first);
      if (second_stopped) {
        kill(second.pid, SIGCONT);
      }
      tool_run second_run = finish_tool(second);
      ++pairs;
      EXPECT_TRUE(well_formed(first_run)) << context << " (first run)";
      EXPECT_TRUE(well_formed(second_run)) << context << " (second run)";
      EXPECT_TRUE(first_run.status == 0 || second_run.status == 0) << context;
      tree after = read_tree(dir_);
      EXPECT_TRUE(after == once || after == twice)
          << context << ": "
          << same_tree("after", "one upgrade", after, once).message();
    }
  }
  std::printf("%d interleavings of two runs on one file\n", pairs);
}

// Several runs started at once, each on three files of its own, again and
// again: each file ends upgraded, or its run reports "Can't open tmp.cnf."
// and "Can't upgrade" for it and its text waits at its backup.
TEST_F(Concurrency, RunsOnTheirOwnFilesAtOnce) {
  const int runs = 4;
  const int rounds = 20;
  // Large enough that writing one takes a while and the runs overlap.
  std::string big_old;
  std::string big_new;
  for (int line = 0; line < 6000; ++line) {
    big_old += "port " + std::to_string(line) + "\n# comment " +
               std::to_string(line) + "\n";
    big_new += "proxy1_port " + std::to_string(line) + "\n# comment " +
               std::to_string(line) + "\n";
  }
  int clashes = 0;
  for (int round = 0; round < rounds; ++round) {
    tree before = {{"keep.txt", "not mine\n"}};
    for (int run = 0; run < runs; ++run) {
      for (char file : {'x', 'y', 'z'}) {
        before["r" + std::to_string(run) + file + ".cnf"] = big_old;
      }
    }
    reset(before);
    std::vector<started_tool> started;
    for (int run = 0; run < runs; ++run) {
      std::string r = "r" + std::to_string(run);
      started.push_back(start_tool(dir_, {r + "x", r + "y", r + "z"}));
    }
    tree expected = {{"keep.txt", "not mine\n"}};
    for (int run = 0; run < runs; ++run) {
      tool_run result = finish_tool(started[run]);
      std::string context = "round " + std::to_string(round) + ", run " +
                            std::to_string(run);
      std::string expected_output;
      bool any_failed = false;
      for (char file : {'x', 'y', 'z'}) {
        std::string base = "r" + std::to_string(run) + file;
        std::string failed = upgraded(base) +
                             "Can't open tmp.cnf.\nCan't upgrade " + base +
                             ".cnf\n";
        expected[base + ".bak"] = big_old;
        if (result.output.find(failed) != std::string::npos) {
          expected_output += failed;
          any_failed = true;
          ++clashes;
        } else {
          expected_output += upgraded(base);
          expected[base + ".cnf"] = big_new;
        }
      }
      EXPECT_EQ(result.output, expected_output + done) << context;
      EXPECT_EQ(result.status, any_failed ? 1 : 0) << context;
      EXPECT_EQ(result.errors, "") << context;
    }
    EXPECT_PRED_FORMAT2(same_tree, read_tree(dir_), expected)
        << "round " << round;
  }
  std::printf("%d of %d upgrades met another run's tmp.cnf\n", clashes,
              rounds * runs * 3);
}

}  // namespace
