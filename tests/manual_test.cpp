// The manual page as its readers see it (rendered to plain text at build
// time) must show the tool's own rename table and explain every line the
// tool prints, so that neither can change without the page.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "keywords.hpp"

namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

// The lines of the section headed `heading`, up to the next heading.
// Headings stand at the left margin; everything else is indented.
std::vector<std::string> section(const std::string& heading) {
  std::istringstream text(read_text(MANUAL_TEXT));
  std::vector<std::string> lines;
  bool inside = false;
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
      inside = line == heading;
    } else if (inside) {
      lines.push_back(line);
    }
  }
  return lines;
}

// The format strings of every printf call in the tool's sources, with
// their line ends.
std::vector<std::string> printed_formats() {
  const std::regex call(R"((^|[^A-Za-z_])printf\("((?:[^"\\]|\\.)*)\")");
  std::vector<std::string> formats;
  for (const auto& entry : fs::directory_iterator(SOURCE_DIR)) {
    if (entry.path().extension() != ".cpp") {
      continue;
    }
    std::string source = read_text(entry.path());
    for (std::sregex_iterator match(source.begin(), source.end(), call), end;
         match != end; ++match) {
      std::string format = (*match)[2];
      formats.push_back(std::regex_replace(format, std::regex(R"(\\n)"), ""));
    }
  }
  return formats;
}

// A pattern for a whole line showing `format`, each %s standing for a
// name of one word.
std::regex line_pattern(const std::string& format) {
  const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  std::string pattern;
  std::size_t start = 0;
  for (std::size_t at; (at = format.find("%s", start)) != std::string::npos;
       start = at + 2) {
    pattern += std::regex_replace(format.substr(start, at - start), special,
                                  R"(\$&)") +
               R"(\S+)";
  }
  pattern += std::regex_replace(format.substr(start), special, R"(\$&)");
  // The prompt ends in a blank, which a rendered line does not keep.
  while (!pattern.empty() && pattern.back() == ' ') {
    pattern.pop_back();
  }
  return std::regex(R"(\s*)" + pattern + R"(\s*)");
}

TEST(ManualPage, ShowsTheToolsRenameTableInOrder) {
  std::vector<std::pair<std::string, std::string>> shown;
  for (const std::string& line : section("KEY RENAMES")) {
    std::vector<std::string> words = split_words(line);
    if (words.size() == 2) {
      shown.emplace_back(words[0], words[1]);
    }
  }
  std::vector<std::pair<std::string, std::string>> table;
  for (const keyword_rename& rename : keyword_renames) {
    table.emplace_back(rename.old_keyword, rename.new_keyword);
  }
  EXPECT_EQ(shown, table);
}

TEST(ManualPage, ExplainsEveryLineTheToolPrints) {
  std::vector<std::string> formats = printed_formats();
  ASSERT_FALSE(formats.empty()) << "no printf calls found in " << SOURCE_DIR;
  std::vector<std::string> diagnostics = section("DIAGNOSTICS");
  for (const std::string& format : formats) {
    std::regex pattern = line_pattern(format);
    bool explained = false;
    for (const std::string& line : diagnostics) {
      explained = explained || std::regex_match(line, pattern);
    }
    EXPECT_TRUE(explained) << "DIAGNOSTICS does not show \"" << format << "\"";
  }
}

}  // namespace
