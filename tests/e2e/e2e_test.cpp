// Runs the real tool as a separate process in a fresh directory and
// compares its exact output, its exit status and every byte left on disk.
// The command under test is CNFUPGRADE_COMMAND (words separated by
// spaces) when set, so that the same cases can run another build.
// CNFUPGRADE_TARGET=windows says that it is the Windows build (run under
// Wine, say): its report lines end in CR LF, cases that only POSIX can
// show are skipped, and the cases of Windows paths run.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "../bytes.hpp"
#include "../report.hpp"
#include "../temp_dir.hpp"
#include "../tool_run.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> command_words() {
  const char* command = std::getenv("CNFUPGRADE_COMMAND");
  std::istringstream words(command != nullptr ? command
                                              : CNFUPGRADE_TOOL);
  std::vector<std::string> result;
  for (std::string word; words >> word;) {
    result.push_back(word);
  }
  return result;
}

// A wrapped command (an emulator, say) may talk on stderr itself.
bool stderr_is_the_tools() { return command_words().size() == 1; }

enum class platform { any, posix, windows };

platform target() {
  const char* name = std::getenv("CNFUPGRADE_TARGET");
  std::string target = name != nullptr ? name : "posix";
  if (target != "posix" && target != "windows") {
    ADD_FAILURE() << "CNFUPGRADE_TARGET is posix or windows, not " << target;
  }
  return target == "windows" ? platform::windows : platform::posix;
}

// The report as the tool writes it: a Windows console program ends its
// lines in CR LF.
std::string report(const std::string& lines) {
  if (target() != platform::windows) {
    return lines;
  }
  std::string result;
  for (char c : lines) {
    if (c == '\n') {
      result += '\r';
    }
    result += c;
  }
  return result;
}

// Where a case says "{dir}", its directory stands as the tool is to see it:
// Wine shows the Linux root as drive Z:.
std::string with_dir(std::string text, const fs::path& dir) {
  std::string shown = dir.string();
  if (target() == platform::windows) {
    std::replace(shown.begin(), shown.end(), '/', '\\');
    shown = "Z:" + shown;
  }
  for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) {
    text.replace(at, 5, shown);
  }
  return text;
}

tool_run run_case(const fs::path& dir, const std::vector<std::string>& args,
                  const std::string& input) {
  return run_command(command_words(), dir, args, {}, input);
}

const std::string old_text =
    "# desk phone\r\n"
    "proxy 10.0.0.1\r\n"
    "port:5060\r\n"
    "\tuser_name alice\r\n"
    "logical_password s3cret:with:colons\r\n"
    "register_timeout 3600\r\n"
    "\r\n"
    "model x\r\n";
const std::string new_text =
    "# desk phone\r\n"
    "proxy1_address 10.0.0.1\r\n"
    "proxy1_port:5060\r\n"
    " line1_name alice\r\n"
    "line1_password s3cret:with:colons\r\n"
    "timer_register_expires 3600\r\n"
    "\r\n"
    "model x\r\n";

const std::string prompt = "Please enter CNF filename: ";

struct e2e_case {
  const char* name;
  tree before;
  std::vector<std::string> args;
  std::string input;
  std::string output;
  int status;
  tree after;
  platform only = platform::any;
};

const std::string long_name(200, 'n');
const std::string long_line(100000, 'v');

const e2e_case cases[] = {
    {"OneFileCompletedAndUpgraded",
     {{"phone.cnf", old_text}},
     {"phone"},
     "",
     upgraded("phone.cnf", "phone.bak") + done,
     0,
     {{"phone.cnf", new_text}, {"phone.bak", old_text}}},
    {"PromptTakesTheFirstWordOnly",
     {{"phone.cnf", old_text}, {"extra.cnf", old_text}},
     {},
     " \t\n phone extra words\n",
     prompt + upgraded("phone.cnf", "phone.bak") + done,
     0,
     {{"phone.cnf", new_text}, {"phone.bak", old_text}, {"extra.cnf", old_text}}},
    {"PromptAtTheEndOfInput",
     {{"phone.cnf", old_text}},
     {},
     "",
     prompt + done,
     1,
     {{"phone.cnf", old_text}}},
    {"PromptWithOnlyBlanks",
     {{"phone.cnf", old_text}},
     {},
     " \r\n\t ",
     prompt + done,
     1,
     {{"phone.cnf", old_text}}},
    {"PromptWordTooLong",
     {{"phone.cnf", old_text}},
     {},
     std::string(300, 'a') + "\n",
     prompt + "Filename too long: " + std::string(156, 'a') + "....\n" + done,
     1,
     {{"phone.cnf", old_text}}},
    {"PromptRefusedName",
     {{"phone.txt", old_text}},
     {},
     "phone.txt",
     prompt + "Bad filename: phone.txt.\n" + done,
     1,
     {{"phone.txt", old_text}}},
    {"RefusedAndMissingNamesDoNotStopTheRun",
     {{"a.cnf", old_text}, {"b.txt", old_text}, {"c.bak", "old backup"}},
     {"a", "b.txt", "c"},
     "",
     upgraded("a.cnf", "a.bak") + "Bad filename: b.txt.\n" +
         "Upgrading c.cnf\nCan't rename c.cnf to c.bak.\nCan't back up c.cnf\n" +
         done,
     1,
     {{"a.cnf", new_text},
      {"a.bak", old_text},
      {"b.txt", old_text},
      {"c.bak", "old backup"}}},
    {"RefusedNamesAsTyped",
     {{"phone.CNF", "x"}, {"old.d/phone.cnf", "x"}},
     {"phone.CNF", "phone.", "phone.cnf.old", "old.d/phone", "old.d\\phone"},
     "",
     "Bad filename: phone.CNF.\nBad filename: phone..\n"
     "Bad filename: phone.cnf.old.\nBad filename: old.d/phone.\n"
     "Bad filename: old.d\\phone.\n" +
         done,
     1,
     {{"phone.CNF", "x"}, {"old.d", "<dir>"}, {"old.d/phone.cnf", "x"}}},
    {"OverlongNameIsRefusedAndTheRunGoesOn",
     {{"phone.cnf", old_text}},
     {long_name, "phone.cnf"},
     "",
     "Filename too long: " + long_name + ".\n" +
         upgraded("phone.cnf", "phone.bak") + done,
     1,
     {{"phone.cnf", new_text}, {"phone.bak", old_text}}},
    {"EarlierBackupIsReplaced",
     {{"phone.cnf", old_text}, {"phone.bak", "older"}},
     {"phone.cnf"},
     "",
     upgraded("phone.cnf", "phone.bak") + done,
     0,
     {{"phone.cnf", new_text}, {"phone.bak", old_text}}},
    {"DirectoryAtTheBackupPath",
     {{"phone.cnf", old_text}, {"phone.bak", "<dir>"}},
     {"phone"},
     "",
     "Upgrading phone.cnf\nCan't remove phone.bak.\nCan't back up phone.cnf\n" +
         done,
     1,
     {{"phone.cnf", old_text}, {"phone.bak", "<dir>"}}},
    {"ConfigurationInASubdirectory",
     {{"sub/phone.cnf", old_text}},
     {"sub/phone.cnf"},
     "",
     upgraded("sub/phone.cnf", "sub/phone.bak") + done,
     0,
     {{"sub", "<dir>"}, {"sub/phone.cnf", new_text}, {"sub/phone.bak", old_text}}},
    {"ExistingScratchFileIsNeverTouched",
     {{"phone.cnf", old_text}, {"other.cnf", old_text}, {"tmp.cnf", "mine"}},
     {"phone", "other"},
     "",
     upgraded("phone.cnf", "phone.bak") +
         "Can't open tmp.cnf.\nCan't upgrade phone.cnf\n" +
         upgraded("other.cnf", "other.bak") +
         "Can't open tmp.cnf.\nCan't upgrade other.cnf\n" + done,
     1,
     {{"phone.bak", old_text}, {"other.bak", old_text}, {"tmp.cnf", "mine"}}},
    {"ScratchFileNameItselfIsUpgraded",
     {{"tmp.cnf", old_text}},
     {"tmp"},
     "",
     upgraded("tmp.cnf", "tmp.bak") + done,
     0,
     {{"tmp.cnf", new_text}, {"tmp.bak", old_text}}},
    {"DirectoryNamedLikeAConfiguration",
     {{"x.cnf", "<dir>"}},
     {"x"},
     "",
     upgraded("x.cnf", "x.bak") + "Can't read x.bak.\nCan't upgrade x.cnf\n" +
         done,
     1,
     {{"x.bak", "<dir>"}},
     platform::posix},
    // Windows will not open a directory as a file at all.
    {"DirectoryNamedLikeAConfigurationOnWindows",
     {{"x.cnf", "<dir>"}},
     {"x"},
     "",
     upgraded("x.cnf", "x.bak") + "Can't open x.bak.\nCan't upgrade x.cnf\n" +
         done,
     1,
     {{"x.bak", "<dir>"}},
     platform::windows},
    {"EmptyFile",
     {{"e.cnf", ""}},
     {"e"},
     "",
     upgraded("e.cnf", "e.bak") + done,
     0,
     {{"e.cnf", ""}, {"e.bak", ""}}},
    {"BytesSurviveExactly",
     {{"b.cnf", std::string("port 1\nport 2\r\n\tport 3\rx\r\nz\0\x1a\n", 30) +
                    long_line + "port 4\nport 5\n" + "timer_expires 6"}},
     {"b"},
     "",
     upgraded("b.cnf", "b.bak") + done,
     0,
     {{"b.cnf", std::string("proxy1_port 1\nproxy1_port 2\r\n proxy1_port "
                            "3\rx\r\nz\0\x1a\n",
                            51) +
                    long_line + "port 4\nproxy1_port 5\n" +
                    "timer_invite_expires 6"},
      {"b.bak", std::string("port 1\nport 2\r\n\tport 3\rx\r\nz\0\x1a\n", 30) +
                    long_line + "port 4\nport 5\n" + "timer_expires 6"}}},
    {"NewFormatFileIsUnchanged",
     {{"n.cnf", new_text}},
     {"n"},
     "",
     upgraded("n.cnf", "n.bak") + done,
     0,
     {{"n.cnf", new_text}, {"n.bak", new_text}}},
    // Read as text on Windows, CR LF would lose its CR and Ctrl-Z would end
    // the file before its last key.
    {"CrLfFileWithCtrlZ",
     {{"w.cnf", "port 1\r\n\x1a\r\n\r\r\nproxy 2\r\n"}},
     {"w"},
     "",
     upgraded("w.cnf", "w.bak") + done,
     0,
     {{"w.cnf", "proxy1_port 1\r\n\x1a\r\n\r\r\nproxy1_address 2\r\n"},
      {"w.bak", "port 1\r\n\x1a\r\n\r\r\nproxy 2\r\n"}}},
    {"BackslashSeparatesDirectories",
     {{"sub/phone.cnf", old_text}},
     {"sub\\phone"},
     "",
     upgraded("sub\\phone.cnf", "sub\\phone.bak") + done,
     0,
     {{"sub", "<dir>"},
      {"sub/phone.cnf", new_text},
      {"sub/phone.bak", old_text}},
     platform::windows},
    {"DriveLetterAndAbsolutePath",
     {{"sub/phone.cnf", old_text}},
     {"{dir}\\sub\\phone.cnf"},
     "",
     upgraded("{dir}\\sub\\phone.cnf", "{dir}\\sub\\phone.bak") + done,
     0,
     {{"sub", "<dir>"},
      {"sub/phone.cnf", new_text},
      {"sub/phone.bak", old_text}},
     platform::windows},
    // A drive without a directory is that drive's working directory.
    {"DriveLetterWithARelativePath",
     {{"sub/phone.cnf", old_text}},
     {"Z:sub\\phone"},
     "",
     upgraded("Z:sub\\phone.cnf", "Z:sub\\phone.bak") + done,
     0,
     {{"sub", "<dir>"},
      {"sub/phone.cnf", new_text},
      {"sub/phone.bak", old_text}},
     platform::windows},
    {"DotsInDirectoriesGivenWithBackslashes",
     {{"a.b/c.d/phone.cnf", old_text}, {"a.b/e/x.cnf", old_text}},
     {"a.b\\c.d\\phone.cnf", "a.b/e\\x.cnf"},
     "",
     upgraded("a.b\\c.d\\phone.cnf", "a.b\\c.d\\phone.bak") +
         upgraded("a.b/e\\x.cnf", "a.b/e\\x.bak") + done,
     0,
     {{"a.b", "<dir>"},
      {"a.b/c.d", "<dir>"},
      {"a.b/c.d/phone.cnf", new_text},
      {"a.b/c.d/phone.bak", old_text},
      {"a.b/e", "<dir>"},
      {"a.b/e/x.cnf", new_text},
      {"a.b/e/x.bak", old_text}},
     platform::windows},
    // The last move goes from the scratch file onto itself under another
    // spelling of its name.
    {"ScratchFileNameItselfWithItsDrive",
     {{"tmp.cnf", old_text}},
     {"{dir}\\tmp.cnf"},
     "",
     upgraded("{dir}\\tmp.cnf", "{dir}\\tmp.bak") + done,
     0,
     {{"tmp.cnf", new_text}, {"tmp.bak", old_text}},
     platform::windows},
};

void PrintTo(const e2e_case& c, std::ostream* out) { *out << c.name; }

class RunTool : public ::testing::TestWithParam<e2e_case> {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_P(RunTool, OutputStatusAndFiles) {
  const e2e_case& c = GetParam();
  if (c.only != platform::any && c.only != target()) {
    GTEST_SKIP() << "shows what only "
                 << (c.only == platform::posix ? "POSIX" : "Windows")
                 << " does";
  }
  make_tree(dir_, c.before);
  std::vector<std::string> args;
  for (const std::string& arg : c.args) {
    args.push_back(with_dir(arg, dir_));
  }
  // With names given, a name waits on stdin too: reading it would show.
  std::string input = c.args.empty() ? c.input : c.input + "unread\n";
  tool_run result = run_case(dir_, args, input);
  EXPECT_EQ(result.output, report(with_dir(c.output, dir_)));
  EXPECT_EQ(result.status, c.status);
  EXPECT_PRED_FORMAT2(same_tree, read_tree(dir_), c.after);
  if (stderr_is_the_tools()) {
    EXPECT_EQ(result.errors, "");
  }
  if (!c.args.empty()) {
    EXPECT_EQ(result.input_read, 0) << "read stdin although names were given";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunTool, ::testing::ValuesIn(cases),
    [](const ::testing::TestParamInfo<e2e_case>& info) {
      return std::string(info.param.name);
    });

class RunToolOnDisk : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// Permission bits, owners and pipes are POSIX's own.
class RunToolPosix : public RunToolOnDisk {
 protected:
  void SetUp() override {
    if (target() == platform::windows) {
      GTEST_SKIP() << "Windows files have no POSIX modes, owners or pipes";
    }
    RunToolOnDisk::SetUp();
  }
};

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST_F(RunToolPosix, UpgradedFileKeepsTheOriginalsMode) {
  for (mode_t mode : {0600, 0640, 0444}) {
    make_tree(dir_, {{"phone.cnf", old_text}});
    chmod((dir_ / "phone.cnf").c_str(), mode);
    tool_run result = run_case(dir_, {"phone"}, "");
    EXPECT_EQ(result.output, upgraded("phone.cnf", "phone.bak") + done);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(mode_of(dir_ / "phone.cnf"), mode) << std::oct << mode;
    EXPECT_EQ(mode_of(dir_ / "phone.bak"), mode) << std::oct << mode;
    EXPECT_EQ(read_tree(dir_),
              (tree{{"phone.cnf", new_text}, {"phone.bak", old_text}}));
    fs::remove(dir_ / "phone.cnf");
    fs::remove(dir_ / "phone.bak");
  }
}

TEST_F(RunToolPosix, UpgradedFileKeepsTheOriginalsOwnerAndGroup) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "only root may give a file to another owner";
  }
  make_tree(dir_, {{"phone.cnf", old_text}});
  ASSERT_EQ(chown((dir_ / "phone.cnf").c_str(), 4321, 8765), 0);
  tool_run result = run_case(dir_, {"phone"}, "");
  EXPECT_EQ(result.status, 0);
  struct stat status {};
  ASSERT_EQ(stat((dir_ / "phone.cnf").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 4321u);
  EXPECT_EQ(status.st_gid, 8765u);
}

// Opening a pipe for reading would wait for a writer that never comes.
TEST_F(RunToolPosix, PipeNamedLikeAConfigurationIsNoSuccess) {
  ASSERT_EQ(mkfifo((dir_ / "x.cnf").c_str(), 0600), 0);
  tool_run result = run_case(dir_, {"x"}, "");
  EXPECT_EQ(result.output, upgraded("x.cnf", "x.bak") +
                               "Can't read x.bak.\nCan't upgrade x.cnf\n" +
                               done);
  EXPECT_EQ(result.status, 1);
  struct stat status {};
  ASSERT_EQ(lstat((dir_ / "x.bak").c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  EXPECT_FALSE(fs::exists(dir_ / "tmp.cnf"));
  EXPECT_FALSE(fs::exists(dir_ / "x.cnf"));
}

// Windows deletes no read-only file, and the tool does not force it: the
// earlier backup stays, and so does the configuration.
TEST_F(RunToolOnDisk, ReadOnlyEarlierBackupStaysOnWindows) {
  if (target() != platform::windows) {
    GTEST_SKIP() << "POSIX deletes a read-only file in a writable directory";
  }
  make_tree(dir_, {{"phone.cnf", old_text}, {"phone.bak", "older"}});
  chmod((dir_ / "phone.bak").c_str(), 0444);
  tool_run result = run_case(dir_, {"phone"}, "");
  EXPECT_EQ(result.output,
            report("Upgrading phone.cnf\nCan't remove phone.bak.\n"
                   "Can't back up phone.cnf\n" +
                   done));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(read_tree(dir_),
            (tree{{"phone.cnf", old_text}, {"phone.bak", "older"}}));
}

// The names that appear in `dir` while the watch is on, as "created NAME"
// or "moved in NAME".
std::vector<std::string> names_appeared(int watch) {
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t count; (count = read(watch, buffer, sizeof buffer)) > 0;) {
    for (char* at = buffer; at < buffer + count;) {
      auto* event = reinterpret_cast<inotify_event*>(at);
      names.push_back((event->mask & IN_CREATE ? "created " : "moved in ") +
                      std::string(event->name));
      at += sizeof(inotify_event) + event->len;
    }
  }
  return names;
}

// The scratch file lives in the working directory; here that is another
// file system than the configuration's (another volume to Windows), so the
// last step is a copy. It must be made beside the configuration and moved
// into place, never written under the configuration's name.
TEST_F(RunToolOnDisk, WorkingDirectoryOnAnotherFileSystem) {
  if (!fs::is_directory("/dev/shm")) {
    GTEST_SKIP() << "no /dev/shm here";
  }
  fs::path work = make_temp_dir("/dev/shm");
  struct stat config_fs {};
  struct stat work_fs {};
  stat(dir_.c_str(), &config_fs);
  stat(work.c_str(), &work_fs);
  if (config_fs.st_dev == work_fs.st_dev) {
    fs::remove_all(work);
    GTEST_SKIP() << "/dev/shm and " << dir_ << " are one file system here";
  }
  make_tree(dir_, {{"phone.cnf", old_text}});
  chmod((dir_ / "phone.cnf").c_str(), 0640);
  std::string separator = target() == platform::windows ? "\\" : "/";
  std::string name = with_dir("{dir}" + separator + "phone.cnf", dir_);
  std::string backup = with_dir("{dir}" + separator + "phone.bak", dir_);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, dir_.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  tool_run result = run_case(work, {name}, "");
  std::vector<std::string> appeared = names_appeared(watch);
  close(watch);
  EXPECT_EQ(std::count(appeared.begin(), appeared.end(), "created phone.cnf"),
            0);
  EXPECT_EQ(std::count(appeared.begin(), appeared.end(), "moved in phone.cnf"),
            1);
  EXPECT_EQ(result.output, report(upgraded(name, backup) + done));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_tree(dir_),
            (tree{{"phone.cnf", new_text}, {"phone.bak", old_text}}));
  if (target() != platform::windows) {
    EXPECT_EQ(mode_of(dir_ / "phone.cnf"), 0640u);
  }
  EXPECT_EQ(read_tree(work), tree{});
  fs::remove_all(work);
}

}  // namespace
