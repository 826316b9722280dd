// Starts the real tool, or another command line for it, as a separate
// process in a given working directory, with extra environment variables
// and a given standard input, and collects what it said. The child
// inherits the caller's resource limits and ignored signals.
#ifndef CNFUPGRADE_TESTS_TOOL_RUN_HPP
#define CNFUPGRADE_TESTS_TOOL_RUN_HPP

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

struct tool_run {
  std::string output;
  std::string errors;
  int status = -1;  // the exit status, or 128 + the signal that ended it
  long peak_rss_kb = -1;
  off_t input_read = -1;  // how far the tool moved into its stdin
};

struct started_tool {
  pid_t pid = -1;
  int input = -1;  // the tool's stdin, shared with it to see how far it read
  std::filesystem::path output;
  std::filesystem::path errors;
  int ended = -1;  // the wait status, once it has been collected
};

// `command` is the program and its first words; `environment` holds
// "NAME=value" entries added to the tool's own.
started_tool start_command(const std::vector<std::string>& command,
                           const std::filesystem::path& dir,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& environment,
                           const std::string& input);
// The tool built here, with nothing on its stdin.
started_tool start_tool(const std::filesystem::path& dir,
                        const std::vector<std::string>& args,
                        const std::vector<std::string>& environment = {});
// Waits until the tool stops itself (CNF_FAULT_STOP of the fault
// interposer) or ends; true when it stopped. SIGCONT lets it go on.
bool wait_for_stop(started_tool& tool);
tool_run finish_tool(started_tool& tool);

tool_run run_command(const std::vector<std::string>& command,
                     const std::filesystem::path& dir,
                     const std::vector<std::string>& args,
                     const std::vector<std::string>& environment,
                     const std::string& input);
tool_run run_tool(const std::filesystem::path& dir,
                  const std::vector<std::string>& args,
                  const std::vector<std::string>& environment = {});

#endif  // CNFUPGRADE_TESTS_TOOL_RUN_HPP
