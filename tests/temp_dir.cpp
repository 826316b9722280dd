#include "temp_dir.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

tree read_tree(const fs::path& root) {
  tree entries;
  for (auto it = fs::recursive_directory_iterator(root);
       it != fs::recursive_directory_iterator(); ++it) {
    // Lexically: fs::relative would follow a link and name its target.
    std::string name = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink()) {
      entries[name] = "-> " + fs::read_symlink(it->path()).string();
      it.disable_recursion_pending();
    } else if (it->is_directory()) {
      entries[name] = "<dir>";
    } else {
      entries[name] = read_file(it->path());
    }
  }
  return entries;
}

void make_tree(const fs::path& root, const tree& entries) {
  for (const auto& [name, bytes] : entries) {
    fs::path path = root / name;
    fs::create_directories(path.parent_path());
    if (bytes == "<dir>") {
      fs::create_directories(path);
    } else if (bytes.rfind("-> ", 0) == 0) {
      fs::create_symlink(bytes.substr(3), path);
    } else {
      write_file(path, bytes);
    }
  }
}

fs::path make_temp_dir(const fs::path& parent) {
  fs::path base = parent.empty() ? fs::temp_directory_path() : parent;
  std::string pattern = (base / "cnfupgrade-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a directory in " + base.string());
  }
  return pattern;
}

void temp_dir_test::SetUp() {
  old_dir_ = fs::current_path();
  dir_ = make_temp_dir();
  fs::current_path(dir_);
}

void temp_dir_test::TearDown() {
  fs::current_path(old_dir_);
  std::error_code ignored;
  fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(dir_, ignored);
}
