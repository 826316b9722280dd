#include "tool_run.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "../temp_dir.hpp"

extern char** environ;

namespace fs = std::filesystem;

// posix_spawn, not fork: forking a test process built with AddressSanitizer
// copies its vast shadow mappings, a thousand times over in the fault runs.
started_tool start_tool(const fs::path& dir,
                        const std::vector<std::string>& args,
                        const std::vector<std::string>& environment) {
  static const fs::path errors_dir = make_temp_dir();
  static unsigned serial = 0;
  started_tool tool;
  tool.errors = errors_dir / ("stderr-" + std::to_string(++serial));
  std::vector<std::string> words{CNFUPGRADE_TOOL};
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

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make a pipe for the tool's output");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, tool.errors.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  int error = posix_spawn(&tool.pid, argv[0], &actions, nullptr, argv.data(),
                          envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (error != 0) {
    close(out[0]);
    throw std::runtime_error("cannot start " + words[0]);
  }
  tool.output = out[0];
  return tool;
}

bool wait_for_stop(started_tool& tool) {
  int status = 0;
  if (waitpid(tool.pid, &status, WUNTRACED) == tool.pid &&
      WIFSTOPPED(status)) {
    return true;
  }
  tool.ended = status;
  return false;
}

tool_run finish_tool(started_tool& tool) {
  tool_run result;
  char buffer[4096];
  for (ssize_t count; (count = read(tool.output, buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<std::size_t>(count));
  }
  close(tool.output);
  int status = tool.ended;
  if (status == -1) {
    rusage usage{};
    wait4(tool.pid, &status, 0, &usage);
    result.peak_rss_kb = usage.ru_maxrss;
  }
  result.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.errors = read_file(tool.errors);
  fs::remove(tool.errors);
  return result;
}

tool_run run_tool(const fs::path& dir, const std::vector<std::string>& args,
                  const std::vector<std::string>& environment) {
  started_tool tool = start_tool(dir, args, environment);
  return finish_tool(tool);
}
