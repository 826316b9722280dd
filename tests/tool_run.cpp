#include "tool_run.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "temp_dir.hpp"

extern char** environ;

namespace fs = std::filesystem;

// posix_spawn, not fork: forking a test process built with AddressSanitizer
// copies its vast shadow mappings, a thousand times over in the fault runs.
// The standard streams are files, not pipes: helper processes that an
// emulator starts along with the tool may inherit them and hold a pipe
// open long after the tool has ended.
started_tool start_command(const std::vector<std::string>& command,
                           const fs::path& dir,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& environment,
                           const std::string& input) {
  static const fs::path streams_dir = make_temp_dir();
  static unsigned serial = 0;
  std::string name = std::to_string(++serial);
  started_tool tool;
  tool.output = streams_dir / ("stdout-" + name);
  tool.errors = streams_dir / ("stderr-" + name);
  fs::path input_path = streams_dir / ("stdin-" + name);
  write_file(input_path, input);
  tool.input = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
  fs::remove(input_path);
  if (tool.input < 0) {
    throw std::runtime_error("cannot open the tool's standard input");
  }

  std::vector<std::string> words = command;
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> settings = environment;
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    envp.push_back(*entry);
  }
  for (std::string& setting : settings) {
    envp.push_back(setting.data());
  }
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, tool.input, 0);
  posix_spawn_file_actions_addopen(&actions, 1, tool.output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, tool.errors.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  int error = posix_spawnp(&tool.pid, argv[0], &actions, nullptr, argv.data(),
                           envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    close(tool.input);
    throw std::runtime_error("cannot start " + words[0]);
  }
  return tool;
}

started_tool start_tool(const fs::path& dir,
                        const std::vector<std::string>& args,
                        const std::vector<std::string>& environment) {
  return start_command({CNFUPGRADE_TOOL}, dir, args, environment, "");
}

bool wait_for_stop(started_tool& tool) {
  int status = 0;
  if (waitpid(tool.pid, &status, WUNTRACED) == tool.pid && WIFSTOPPED(status)) {
    return true;
  }
  tool.ended = status;
  return false;
}

tool_run finish_tool(started_tool& tool) {
  tool_run result;
  int status = tool.ended;
  if (status == -1) {
    rusage usage{};
    wait4(tool.pid, &status, 0, &usage);
    result.peak_rss_kb = usage.ru_maxrss;
  }
  result.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.input_read = lseek(tool.input, 0, SEEK_CUR);
  close(tool.input);
  result.output = read_file(tool.output);
  result.errors = read_file(tool.errors);
  fs::remove(tool.output);
  fs::remove(tool.errors);
  return result;
}

tool_run run_command(const std::vector<std::string>& command,
                     const fs::path& dir, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::string& input) {
  started_tool tool = start_command(command, dir, args, environment, input);
  return finish_tool(tool);
}

tool_run run_tool(const fs::path& dir, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment) {
  started_tool tool = start_tool(dir, args, environment);
  return finish_tool(tool);
}
