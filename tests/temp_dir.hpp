// A fresh temporary directory per test, entered for the test's duration,
// and helpers to lay out and read back the files in it byte for byte.
#ifndef CNFUPGRADE_TESTS_TEMP_DIR_HPP
#define CNFUPGRADE_TESTS_TEMP_DIR_HPP

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

// Every entry below a directory: files map to their bytes, directories to
// "<dir>", symbolic links to "-> target".
using tree = std::map<std::string, std::string>;

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);
tree read_tree(const std::filesystem::path& root);
void make_tree(const std::filesystem::path& root, const tree& entries);

// Creates a directory under `parent` (the system's temporary directory by
// default) that nothing else uses.
std::filesystem::path make_temp_dir(const std::filesystem::path& parent = {});

class temp_dir_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path dir_;

 private:
  std::filesystem::path old_dir_;
};

#endif  // CNFUPGRADE_TESTS_TEMP_DIR_HPP
