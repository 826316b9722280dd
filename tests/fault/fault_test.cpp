// Runs the real tool under the fault interposer (interpose.c): first once
// cleanly to list every file operation it makes, then once per operation
// with that operation failing (with each realistic errno), then with a
// second failure on the error path, then ending abruptly at each
// operation. After every run the invariant must hold: the original text of
// every configuration is at its name or its backup, a name holds the
// original or its whole upgrade, the output reports a failure exactly for
// the names that were not upgraded, and nothing else changes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../report.hpp"
#include "../temp_dir.hpp"
#include "../tool_run.hpp"

namespace fs = std::filesystem;

namespace {

struct configuration {
  std::string base;
  std::string old_text;
  std::string new_text;
  std::optional<std::string> earlier_backup;

  std::string cnf() const { return base + ".cnf"; }
  std::string bak() const { return base + ".bak"; }
};

// Three small files: one with keys and CR LF, one with an earlier backup,
// and one whose first line is indented past the 64 KiB read block, so that
// the rewrite goes back in its input (the seek).
const configuration configurations[] = {
    {"a", "# desk\nproxy 10.0.0.1\n\tuser_name alice\r\nport:5060",
     "# desk\nproxy1_address 10.0.0.1\n line1_name alice\r\nproxy1_port:5060",
     std::nullopt},
    {"b", "register_timeout 60\nother\n", "timer_register_expires 60\nother\n",
     "an earlier backup\n"},
    {"c", std::string(70000, ' ') + "proxy_x\n\tport 2\n",
     std::string(70000, ' ') + "proxy_x\n proxy1_port 2\n", std::nullopt},
};

const tree bystanders = {{"keep.txt", "not a configuration\n"},
                         {"other.bak", "someone else's backup\n"}};

tree fixture() {
  tree files = bystanders;
  for (const configuration& c : configurations) {
    files[c.cnf()] = c.old_text;
    if (c.earlier_backup) {
      files[c.bak()] = *c.earlier_backup;
    }
  }
  return files;
}

std::vector<std::string> arguments() {
  std::vector<std::string> names;
  for (const configuration& c : configurations) {
    names.push_back(c.base);
  }
  return names;
}

// One file operation as the interposer logged it.
struct operation {
  std::string function;
  std::vector<std::string> args;  // paths, and "r" or "w" for an open
  std::string result;             // ok, fail, exdev or crash
};

std::vector<operation> parse_log(const fs::path& log) {
  std::vector<operation> ops;
  if (!fs::exists(log)) {
    return ops;
  }
  std::istringstream lines(read_file(log));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) {
      fields.push_back(field);
    }
    operation op;
    op.function = fields.at(1);
    op.args.assign(fields.begin() + 2, fields.end() - 1);
    op.result = fields.back();
    ops.push_back(op);
  }
  return ops;
}

bool is_beside(const std::string& name) {
  return name.rfind(".cnfupgrade-", 0) == 0;
}

std::string role(const std::string& arg) {
  if (arg == "tmp.cnf") return "tmp";
  if (arg == "<stdout>") return "stdout";
  if (arg == "r" || arg == "w") return arg;
  if (is_beside(arg)) return "beside";
  if (arg.size() > 4 && arg.compare(arg.size() - 4, 4, ".cnf") == 0) {
    return "cnf";
  }
  if (arg.size() > 4 && arg.compare(arg.size() - 4, 4, ".bak") == 0) {
    return "bak";
  }
  return "?" + arg;
}

// The call site an operation stands for: its function and the part its
// files play. The input's fstat right after a read that found the end
// checks that the input was a regular file; any other is the permission
// copy.
std::string site_of(const std::vector<operation>& ops, std::size_t i) {
  std::string key = ops[i].function;
  for (const std::string& arg : ops[i].args) {
    key += " " + role(arg);
  }
  if (ops[i].function == "fstat64" && i > 0 && ops[i - 1].function == "fread") {
    key += " after-read";
  }
  return key;
}

// What a single failure of a site does.
enum class outcome {
  goes_on,         // tolerated: the run ends as a clean run does
  fails_backup,    // the line, then "Can't back up"
  fails_upgrade,   // the line, then "Can't upgrade"
  fails_move,      // a step of a move by copying: the move's rename line
  leaves_scratch,  // the line; the file is upgraded, tmp.cnf stays
  report,          // the report cannot be written: status 1, nothing else
};

struct site {
  const char* key;
  const char* line;  // {cnf} and {bak} stand for the file's two names
  outcome what;
};

// Every call site of the tool that touches a file, with the line it prints
// when it fails. An operation whose site is missing here fails the test:
// a new call site needs its fault point and its expected line.
const site sites[] = {
    // Only a directory at the backup path is removed first (and refuses);
    // the rename replaces an earlier backup in one step.
    {"lstat64 bak", "", outcome::goes_on},
    {"rename cnf bak", "Can't rename {cnf} to {bak}.", outcome::fails_backup},
    {"open64 bak r", "Can't open {bak}.", outcome::fails_upgrade},
    {"fcntl64 bak", "Can't open {bak}.", outcome::fails_upgrade},
    {"close bak", "", outcome::goes_on},
    {"fdopen bak", "Can't open {bak}.", outcome::fails_upgrade},
    {"open64 tmp w", "Can't open tmp.cnf.", outcome::fails_upgrade},
    {"fdopen tmp", "Can't open tmp.cnf.", outcome::fails_upgrade},
    // Closed again when it cannot be made a stream, or when it was the
    // source of a move by copying; the result does not matter then.
    {"close tmp", "", outcome::goes_on},
    {"fread bak", "Can't read {bak}.", outcome::fails_upgrade},
    {"fseeko64 bak", "Can't read {bak}.", outcome::fails_upgrade},
    {"fstat64 bak after-read", "Can't read {bak}.", outcome::fails_upgrade},
    {"fwrite tmp", "Can't write tmp.cnf.", outcome::fails_upgrade},
    {"fstat64 bak", "Can't set permissions of tmp.cnf.",
     outcome::fails_upgrade},
    {"fchown tmp", "", outcome::goes_on},
    {"fchmod tmp", "Can't set permissions of tmp.cnf.",
     outcome::fails_upgrade},
    {"fflush tmp", "Can't write tmp.cnf.", outcome::fails_upgrade},
    {"fsync tmp", "Can't write tmp.cnf.", outcome::fails_upgrade},
    {"fclose bak", "Can't close {bak}.", outcome::fails_upgrade},
    {"fclose tmp", "Can't close tmp.cnf.", outcome::fails_upgrade},
    {"rename tmp cnf", "Can't rename tmp.cnf to {cnf}.",
     outcome::fails_upgrade},
    // After a failed rewrite the scratch file is removed; after a move by
    // copying, its source is.
    {"unlink tmp", "Can't remove tmp.cnf.", outcome::leaves_scratch},
    // A move by copying, of tmp.cnf onto the configuration (the working
    // directory on another file system) or of the configuration onto its
    // backup (when that rename reports EXDEV).
    {"open64 tmp r", "{move}", outcome::fails_move},
    {"fcntl64 tmp", "{move}", outcome::fails_move},
    {"read tmp", "{move}", outcome::fails_move},
    {"fstat64 tmp", "{move}", outcome::fails_move},
    {"open64 cnf r", "{move}", outcome::fails_move},
    {"fcntl64 cnf", "{move}", outcome::fails_move},
    {"read cnf", "{move}", outcome::fails_move},
    {"fstat64 cnf", "{move}", outcome::fails_move},
    {"close cnf", "", outcome::goes_on},
    {"unlink cnf", "Can't remove {cnf}.", outcome::goes_on},
    {"open64 beside w", "{move}", outcome::fails_move},
    {"write beside", "{move}", outcome::fails_move},
    {"fchown beside", "", outcome::goes_on},
    {"fchmod beside", "{move}", outcome::fails_move},
    {"fsync beside", "{move}", outcome::fails_move},
    {"close beside", "{move}", outcome::fails_move},
    {"rename beside cnf", "{move}", outcome::fails_move},
    {"rename beside bak", "{move}", outcome::fails_move},
    {"unlink beside", "Can't remove {beside}.", outcome::goes_on},
    {"fflush stdout", "", outcome::report},
};

const site* find_site(const std::string& key) {
  for (const site& s : sites) {
    if (key == s.key) {
      return &s;
    }
  }
  return nullptr;
}

// Realistic errors for each function; the first is also used for the
// second failure on an error path.
std::vector<int> errors_of(const std::string& function) {
  static const std::map<std::string, std::vector<int>> table = {
      {"open64", {EACCES, EEXIST, ENOSPC}},
      {"fcntl64", {EIO}},
      {"fdopen", {ENOMEM}},
      {"fread", {EIO}},
      {"read", {EIO, EINTR}},
      {"fseeko64", {EIO}},
      {"fwrite", {ENOSPC, EIO}},
      {"write", {ENOSPC, EIO, EINTR}},
      {"fflush", {ENOSPC, EIO}},
      {"fsync", {EIO, ENOSPC}},
      {"fclose", {EIO, ENOSPC}},
      {"close", {EIO}},
      {"unlink", {EACCES, EIO}},
      {"remove", {EACCES}},
      {"rename", {EACCES, EXDEV, EIO}},
      {"fstat64", {EIO}},
      {"lstat64", {EACCES}},
      {"fchown", {EPERM}},
      {"fchmod", {EPERM}},
  };
  auto found = table.find(function);
  return found != table.end() ? found->second : std::vector<int>{EIO};
}

// Under the sanitizers every run costs several times as much; there the
// second failures are left to the plain build, which runs them all.
#ifdef CNFUPGRADE_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

struct faulted_run {
  tool_run run;
  std::vector<operation> ops;
  tree after;
};

class FaultInjection : public ::testing::Test {
 public:
  void SetUp() override {
    work_ = make_temp_dir();
    dir_ = work_ / "w";
    log_ = work_ / "log";
  }
  void TearDown() override { fs::remove_all(work_); }

  // `settings` are CNF_FAULT_ variables, without the prefix.
  faulted_run run(const std::vector<std::string>& settings) {
    fs::remove_all(dir_);
    fs::remove(log_);
    fs::create_directory(dir_);
    make_tree(dir_, fixture());
    std::vector<std::string> environment = {
        "LD_PRELOAD=" CNFUPGRADE_FAULT_LIBRARY,
        "CNF_FAULT_LOG=" + log_.string(),
        // The sanitizer runtime wants to be the first library loaded.
        "ASAN_OPTIONS=verify_asan_link_order=0"};
    for (const std::string& setting : settings) {
      environment.push_back("CNF_FAULT_" + setting);
    }
    faulted_run result;
    result.run = run_tool(dir_, arguments(), environment);
    result.ops = parse_log(log_);
    result.after = read_tree(dir_);
    return result;
  }

 protected:
  fs::path work_;
  fs::path dir_;
  fs::path log_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool is_prefix_of_an_upgrade(const std::string& bytes) {
  for (const configuration& c : configurations) {
    if (c.new_text.compare(0, bytes.size(), bytes) == 0 &&
        bytes.size() <= c.new_text.size()) {
      return true;
    }
  }
  return false;
}

bool is_an_upgrade(const std::string& bytes) {
  for (const configuration& c : configurations) {
    if (bytes == c.new_text) {
      return true;
    }
  }
  return false;
}

bool is_prefix_of_an_original(const std::string& bytes) {
  for (const configuration& c : configurations) {
    if (c.old_text.compare(0, bytes.size(), bytes) == 0 &&
        bytes.size() <= c.old_text.size()) {
      return true;
    }
  }
  return false;
}

// The invariant; returns what breaks it, or nothing. After a crash the
// report is gone, and the scratch file or a copy being made beside a
// configuration may hold the beginning of an upgrade.
std::string broken_invariant(const faulted_run& r, bool crashed) {
  std::string broken;
  const std::string& out = r.run.output;
  auto get = [&](const std::string& name) -> const std::string* {
    auto found = r.after.find(name);
    return found != r.after.end() ? &found->second : nullptr;
  };
  bool any_failed = false;
  std::set<std::string> explained(
      {"tmp.cnf"});  // entries the checks below account for
  for (const configuration& c : configurations) {
    explained.insert(c.cnf());
    explained.insert(c.bak());
    const std::string* cnf = get(c.cnf());
    const std::string* bak = get(c.bak());
    if (!(cnf && *cnf == c.old_text) && !(bak && *bak == c.old_text)) {
      broken += "\n  the original of " + c.cnf() + " is lost";
    }
    if (cnf && *cnf != c.old_text && *cnf != c.new_text) {
      broken += "\n  " + c.cnf() + " holds neither its original nor its upgrade";
    }
    if (bak && *bak != c.old_text && *bak != c.earlier_backup) {
      broken += "\n  " + c.bak() + " holds something else";
    }
    if (!crashed) {
      bool reported = contains(out, "Can't back up " + c.cnf() + "\n") ||
                      contains(out, "Can't upgrade " + c.cnf() + "\n");
      bool upgraded = cnf && *cnf == c.new_text;
      if (reported == upgraded) {
        broken += "\n  " + c.cnf() + (upgraded ? " was upgraded but reported"
                                               : " was not upgraded but no "
                                                 "failure was reported");
      }
      any_failed = any_failed || reported;
    }
  }
  if (const std::string* tmp = get("tmp.cnf")) {
    bool partial_allowed = crashed || contains(out, "Can't remove tmp.cnf.\n");
    if (!is_an_upgrade(*tmp) &&
        !(partial_allowed && is_prefix_of_an_upgrade(*tmp))) {
      broken += "\n  tmp.cnf holds no complete upgrade";
    }
  }
  for (const auto& [name, bytes] : r.after) {
    if (is_beside(name)) {
      explained.insert(name);
      bool allowed = crashed || contains(out, "Can't remove " + name + ".\n");
      if (!allowed || !(is_prefix_of_an_upgrade(bytes) ||
                        is_prefix_of_an_original(bytes))) {
        broken += "\n  " + name + " is left behind";
      }
    }
  }
  for (const auto& [name, bytes] : r.after) {
    if (explained.count(name) == 0 &&
        (bystanders.count(name) == 0 || bystanders.at(name) != bytes)) {
      broken += "\n  " + name + " changed or appeared";
    }
  }
  for (const auto& [name, bytes] : bystanders) {
    if (r.after.count(name) == 0) {
      broken += "\n  " + name + " vanished";
    }
  }
  if (!r.run.errors.empty()) {
    broken += "\n  stderr: " + r.run.errors;
  }
  if (crashed) {
    if (r.run.status != 86 && r.run.status != 0) {
      broken += "\n  exit status " + std::to_string(r.run.status);
    }
    return broken;
  }
  bool report_failed = false;
  for (const operation& op : r.ops) {
    report_failed = report_failed || (op.function == "fflush" &&
                                      op.args[0] == "<stdout>" &&
                                      op.result == "fail");
  }
  if (r.run.status != (any_failed || report_failed ? 1 : 0)) {
    broken += "\n  exit status " + std::to_string(r.run.status);
  }
  if (out.size() < done.size() ||
      out.compare(out.size() - done.size(), done.size(), done) != 0) {
    broken += "\n  the run did not end with its closing line";
  }
  return broken;
}

std::string replace_all(std::string text, const std::string& from,
                        const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos;
       at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct expectation {
  std::string output;
  int status = 0;
  bool scratch_left = false;
};

// The exact report of a run whose operation `i` (of the clean run `ops`)
// fails with `error` and all else succeeds.
expectation expect_single(const std::vector<operation>& ops, std::size_t i,
                          int error) {
  const site* s = find_site(site_of(ops, i));
  const configuration* file = nullptr;
  std::string move;
  for (std::size_t j = 0; j <= i; ++j) {
    if (ops[j].function == "lstat64") {
      for (const configuration& c : configurations) {
        if (ops[j].args[0] == c.bak()) {
          file = &c;
        }
      }
    }
    if (ops[j].function == "rename" && ops[j].result == "exdev") {
      move = "Can't rename " + ops[j].args[0] + " to " + ops[j].args[1] + ".";
    }
  }
  outcome what = s->what;
  if (what == outcome::fails_move) {
    what = contains(move, "tmp.cnf to") ? outcome::fails_upgrade
                                        : outcome::fails_backup;
  }
  // A rename across file systems is done by copying; a name taken by
  // someone else is tried again under the next one, and so is a read or a
  // write that a signal interrupted.
  if ((ops[i].function == "rename" && error == EXDEV &&
       !is_beside(ops[i].args[0])) ||
      ((ops[i].function == "read" || ops[i].function == "write") &&
       error == EINTR) ||
      (ops[i].function == "open64" && is_beside(ops[i].args[0]) &&
       error == EEXIST)) {
    what = outcome::goes_on;
  }
  std::string line = s->line;
  expectation e;
  bool any_failed = false;
  for (const configuration& c : configurations) {
    std::string failure_line =
        replace_all(replace_all(replace_all(line, "{move}", move), "{cnf}",
                                c.cnf()),
                    "{bak}", c.bak()) +
        "\n";
    if (&c == file && what == outcome::fails_backup) {
      e.output += "Upgrading " + c.cnf() + "\n" + failure_line +
                  "Can't back up " + c.cnf() + "\n";
      any_failed = true;
    } else if (&c == file && what == outcome::fails_upgrade) {
      e.output += upgraded(c.cnf(), c.bak()) + failure_line + "Can't upgrade " +
                  c.cnf() + "\n";
      any_failed = true;
      e.scratch_left = contains(failure_line, "Can't rename tmp.cnf");
    } else if (&c == file && what == outcome::leaves_scratch) {
      e.output += upgraded(c.cnf(), c.bak()) + failure_line;
      e.scratch_left = true;
    } else if (e.scratch_left) {
      e.output += upgraded(c.cnf(), c.bak()) +
                  "Can't open tmp.cnf.\nCan't upgrade " + c.cnf() + "\n";
      any_failed = true;
    } else {
      e.output += upgraded(c.cnf(), c.bak());
    }
  }
  e.output += done;
  e.status = any_failed || what == outcome::report ? 1 : 0;
  return e;
}

std::string describe(const operation& op) {
  std::string text = op.function;
  for (const std::string& arg : op.args) {
    text += " " + arg;
  }
  return text;
}

std::vector<std::string> mode_with(std::vector<std::string> mode,
                                   const std::vector<std::string>& more) {
  mode.insert(mode.end(), more.begin(), more.end());
  return mode;
}

// Runs the whole matrix in one mode; `seen` and `faulted` collect the
// sites for the coverage check.
void fail_every_operation(FaultInjection& test,
                          const std::vector<std::string>& mode,
                          std::set<std::string>& seen,
                          std::set<std::string>& faulted, int& runs) {
  faulted_run clean = test.run(mode);
  ASSERT_FALSE(clean.ops.empty()) << "the interposer logged nothing";
  ASSERT_EQ(broken_invariant(clean, false), "");
  std::string clean_output;
  for (const configuration& c : configurations) {
    clean_output += upgraded(c.cnf(), c.bak());
  }
  ASSERT_EQ(clean.run.output, clean_output + done);
  auto note_sites = [&](const std::vector<operation>& ops,
                        const std::string& context) {
    for (std::size_t j = 0; j < ops.size(); ++j) {
      std::string key = site_of(ops, j);
      seen.insert(key);
      if (ops[j].result == "fail") {
        faulted.insert(key);
      }
      EXPECT_NE(find_site(key), nullptr)
          << "a file operation without a fault point: " << describe(ops[j])
          << " (site \"" << key << "\") " << context;
    }
  };
  note_sites(clean.ops, "in the clean run");

  for (std::size_t i = 0; i < clean.ops.size(); ++i) {
    if (find_site(site_of(clean.ops, i)) == nullptr) {
      continue;
    }
    std::vector<int> errors = errors_of(clean.ops[i].function);
    for (std::size_t k = 0; k < errors.size(); ++k) {
      int error = errors[k];
      std::string at = std::to_string(i + 1);
      std::string context = "(operation " + at + ", " +
                            describe(clean.ops[i]) + ", errno " +
                            std::to_string(error) + ")";
      faulted_run r =
          test.run(mode_with(mode, {"FAIL=" + at, "ERRNO=" +
                                                      std::to_string(error)}));
      ++runs;
      note_sites(r.ops, context);
      expectation e = expect_single(clean.ops, i, error);
      EXPECT_EQ(r.run.output, e.output) << context;
      EXPECT_EQ(r.run.status, e.status) << context;
      EXPECT_EQ(r.after.count("tmp.cnf"), e.scratch_left ? 1u : 0u)
          << context;
      EXPECT_EQ(broken_invariant(r, false), "") << context;
      if (sanitized || (k > 0 && error != EXDEV)) {
        continue;
      }
      // A second failure on the path the first one opened, up to the next
      // file: the clean-up steps and the moves by copying.
      for (std::size_t j = i + 1; j < r.ops.size(); ++j) {
        if (r.ops[j].function == "lstat64" || r.ops[j].args[0] == "<stdout>") {
          break;
        }
        int second = errors_of(r.ops[j].function).front();
        std::string context2 = context + " then (operation " +
                               std::to_string(j + 1) + ", " +
                               describe(r.ops[j]) + ", errno " +
                               std::to_string(second) + ")";
        faulted_run r2 = test.run(mode_with(
            mode, {"FAIL=" + at + "," + std::to_string(j + 1),
                   "ERRNO=" + std::to_string(error) + "," +
                       std::to_string(second)}));
        ++runs;
        note_sites(r2.ops, context2);
        EXPECT_EQ(broken_invariant(r2, false), "") << context2;
      }
    }
  }
}

TEST_F(FaultInjection, EveryOperationFailsInTurnAndNothingIsLost) {
  std::set<std::string> seen;
  std::set<std::string> faulted;
  int runs = 0;
  // Once with the working directory on the configurations' file system,
  // once as if it were on another one.
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{}, std::vector<std::string>{"EXDEV=1"}}) {
    SCOPED_TRACE(mode.empty() ? "one file system" : "two file systems");
    fail_every_operation(*this, mode, seen, faulted, runs);
  }
  for (const site& s : sites) {
    if (!sanitized) {
      EXPECT_TRUE(seen.count(s.key)) << "site never reached: " << s.key;
      EXPECT_TRUE(faulted.count(s.key)) << "site never failed: " << s.key;
    }
  }
  std::printf("%d faulted runs over %zu call sites\n", runs, faulted.size());
}

// A crash at any moment, the N-th operation never happening: whatever
// is on disk then still holds every original, and a name holds its
// original or its whole upgrade. The scratch file and a copy being made
// beside a configuration may hold the beginning of an upgrade; a later
// run refuses to touch such a tmp.cnf ("Can't open tmp.cnf.").
TEST_F(FaultInjection, CrashAtEveryOperationLosesNothing) {
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{}, std::vector<std::string>{"EXDEV=1"}}) {
    SCOPED_TRACE(mode.empty() ? "one file system" : "two file systems");
    std::size_t count = run(mode).ops.size();
    ASSERT_GT(count, 0u);
    for (std::size_t n = 1; n <= count + 1; ++n) {
      faulted_run r = run(mode_with(mode, {"CRASH=" + std::to_string(n)}));
      std::string context = "crash before operation " + std::to_string(n);
      EXPECT_EQ(r.run.status, n <= count ? 86 : 0) << context;
      EXPECT_EQ(broken_invariant(r, true), "") << context;
    }
  }
}

// The text reaches stable storage before it takes the configuration's
// name: tmp.cnf is forced to disk after its last write and before it is
// renamed, and so is a copy made beside the configuration.
TEST_F(FaultInjection, ScratchFileReachesTheDiskBeforeItsRename) {
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{}, std::vector<std::string>{"EXDEV=1"}}) {
    SCOPED_TRACE(mode.empty() ? "one file system" : "two file systems");
    faulted_run r = run(mode);
    std::map<std::string, std::size_t> last_write;
    std::map<std::string, std::size_t> last_sync;
    int checked = 0;
    for (std::size_t i = 0; i < r.ops.size(); ++i) {
      const operation& op = r.ops[i];
      const std::string& path = op.args[0];
      if (op.function == "fwrite" || op.function == "write") {
        last_write[path] = i + 1;
      } else if (op.function == "fsync") {
        last_sync[path] = i + 1;
      } else if (op.function == "rename" && op.result == "ok" &&
                 (path == "tmp.cnf" || is_beside(path))) {
        ++checked;
        EXPECT_GT(last_sync[path], last_write[path])
            << path << " renamed at operation " << i + 1
            << " without being forced to disk after its last write";
        EXPECT_GT(last_write[path], 0u) << path;
      }
    }
    EXPECT_EQ(checked, 3) << "one rename into place per configuration";
  }
}

// Large files ask the disk early to start writing what is done so far. The
// fixture of the matrix above is too small for that; this file is not. The
// request is a hint: its failure must change nothing.
TEST_F(FaultInjection, FailedWritebackHintChangesNothing) {
  std::string old_text;
  std::string new_text;
  while (old_text.size() < (std::size_t{9} << 20)) {
    old_text += "port 5060\r\n# a comment line to make the file larger\r\n";
    new_text += "proxy1_port 5060\r\n# a comment line to make the file larger\r\n";
  }
  fs::create_directory(dir_);
  write_file(dir_ / "big.cnf", old_text);
  std::vector<std::string> environment = {
      "LD_PRELOAD=" CNFUPGRADE_FAULT_LIBRARY,
      "CNF_FAULT_LOG=" + log_.string(),
      "ASAN_OPTIONS=verify_asan_link_order=0"};
  run_tool(dir_, {"big"}, environment);
  std::size_t hint = 0;
  std::vector<operation> ops = parse_log(log_);
  for (std::size_t i = 0; i < ops.size() && hint == 0; ++i) {
    if (ops[i].function == "sync_file_range") {
      hint = i + 1;
    }
  }
  ASSERT_NE(hint, 0u) << "no writeback hint for a file of 9 MiB";

  fs::remove_all(dir_);
  fs::remove(log_);
  fs::create_directory(dir_);
  write_file(dir_ / "big.cnf", old_text);
  environment.push_back("CNF_FAULT_FAIL=" + std::to_string(hint));
  environment.push_back("CNF_FAULT_ERRNO=" + std::to_string(EIO));
  tool_run r = run_tool(dir_, {"big"}, environment);
  EXPECT_EQ(r.output,
            "Upgrading big.cnf\nbig.cnf backed up to big.bak\n"
            "Upgrade(s) complete.\n");
  EXPECT_EQ(r.status, 0);
  tree after = read_tree(dir_);
  EXPECT_EQ(after.size(), 2u);
  EXPECT_TRUE(after["big.cnf"] == new_text) << "the upgrade differs";
  EXPECT_TRUE(after["big.bak"] == old_text) << "the backup differs";
}

std::set<std::string> undefined_symbols(const std::string& binary) {
  std::set<std::string> names;
  std::string command = "nm -D --undefined-only '" + binary + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return names;
  }
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream words(line);
    std::string word;
    std::string last;
    while (words >> word) {
      last = word;
    }
    names.insert(last.substr(0, last.find('@')));
  }
  pclose(pipe);
  return names;
}

// Every C library function the tool imports either has a fault point in
// the interposer or touches no file. A new import that could touch a file
// (ftruncate, say) fails here until it gets its fault point.
TEST(FaultPoints, EveryImportedFileFunctionIsWrapped) {
#ifdef CNFUPGRADE_COVERAGE
  GTEST_SKIP() << "an instrumented build imports the file functions of the "
                  "coverage runtime, which writes its data at exit";
#endif
  const std::set<std::string> wrapped = {
      "open",   "open64", "fcntl",  "fcntl64", "close",  "read",
      "write",  "fsync",  "sync_file_range", "fchown", "fchmod",  "fstat",
      "fstat64",
      "lstat",  "lstat64", "unlink", "remove", "rename", "fdopen",
      "fread",  "fwrite", "fflush", "fclose",  "fseeko", "fseeko64"};
  // Memory, text, the locale, the report on stdout (whose failure shows at
  // its flush) and the process itself.
  const std::set<std::string> touch_no_file = {
      "memchr", "memcmp", "memcpy", "memmove", "memset", "strcmp",
      "strlen", "strrchr", "snprintf", "printf", "puts", "putchar",
      "mblen", "setlocale", "__ctype_get_mb_cur_max", "getc", "getpid",
      "ferror", "fileno", "setvbuf", "__errno_location",
      "__libc_start_main", "__cxa_finalize", "__gmon_start__",
      "_ITM_deregisterTMCloneTable", "_ITM_registerTMCloneTable",
      "__stack_chk_fail"};
  std::set<std::string> imports = undefined_symbols(CNFUPGRADE_TOOL);
  ASSERT_FALSE(imports.empty()) << "nm listed nothing for " CNFUPGRADE_TOOL;
  int file_functions = 0;
  for (const std::string& name : imports) {
    if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
        name.rfind("__sanitizer", 0) == 0 || name.rfind("__lsan", 0) == 0) {
      continue;
    }
    if (wrapped.count(name) != 0) {
      ++file_functions;
      continue;
    }
    EXPECT_TRUE(touch_no_file.count(name))
        << "the tool imports " << name
        << ", which has no fault point in tests/fault/interpose.c";
  }
  EXPECT_GE(file_functions, 15);
}

}  // namespace
