// The rule for one line, written as plainly as it is stated, to check the
// rewrite against: a line that begins with no old key comes out byte for
// byte; a rewritten line is one space per blank of its indentation, the
// new key and the unchanged rest of the line.
#ifndef CNFUPGRADE_TESTS_LINE_MODEL_HPP
#define CNFUPGRADE_TESTS_LINE_MODEL_HPP

#include <cstring>
#include <string>

#include "keywords.hpp"

inline std::string model_rewrite(const std::string& text) {
  std::string result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    std::size_t blanks = 0;
    while (blanks < line.size() &&
           (line[blanks] == ' ' || line[blanks] == '\t')) {
      ++blanks;
    }
    const keyword_rename* found = nullptr;
    for (const keyword_rename& rename : keyword_renames) {
      std::string key(rename.old_keyword);
      std::size_t after = blanks + key.size();
      if (line.compare(blanks, key.size(), key) == 0 && after < line.size() &&
          (line[after] == ' ' || line[after] == '\t' || line[after] == ':')) {
        found = &rename;
        break;
      }
    }
    if (found == nullptr) {
      result += line;
    } else {
      result += std::string(blanks, ' ') + found->new_keyword +
                line.substr(blanks + std::strlen(found->old_keyword));
    }
    start = end;
  }
  return result;
}

#endif  // CNFUPGRADE_TESTS_LINE_MODEL_HPP
