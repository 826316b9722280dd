#include "run.hpp"

#include <gtest/gtest.h>

#include <string>

#include "files.hpp"

namespace {

struct name_case {
  const char* label;
  std::string typed;
  int ok;
  std::string name;    // the accepted name, completed
  std::string output;  // what the check prints
};

TEST(CheckFileName, CompletesAcceptsAndRefuses) {
  std::string stem155(155, 'n');
  std::string stem156(156, 'n');
  std::string dotted159 = std::string(155, 'n') + ".cnf";
  std::string dotted160 = std::string(156, 'n') + ".cnf";
  std::string huge_bad = std::string(5000, 'n') + ".txt";
  const name_case cases[] = {
      {"no dot", "phone", 1, "phone.cnf", ""},
      {"cnf", "phone.cnf", 1, "phone.cnf", ""},
      {"upper case", "phone.CNF", 0, "", "Bad filename: phone.CNF.\n"},
      {"dot at the end", "phone.", 0, "", "Bad filename: phone..\n"},
      {"extension after cnf", "phone.cnf.old", 0, "",
       "Bad filename: phone.cnf.old.\n"},
      {"dots in a directory", "..\\phone", 0, "", "Bad filename: ..\\phone.\n"},
      {"dot in a directory", "old.d/phone", 0, "",
       "Bad filename: old.d/phone.\n"},
      {"directory and cnf", "sub/phone.cnf", 1, "sub/phone.cnf", ""},
      {"only the extension", ".cnf", 1, ".cnf", ""},
      {"empty", "", 1, ".cnf", ""},
      {"completed to 159", stem155, 1, stem155 + ".cnf", ""},
      {"completed to 160", stem156, 0, "",
       "Filename too long: " + stem156 + ".\n"},
      {"159 with extension", dotted159, 1, dotted159, ""},
      {"160 with extension", dotted160, 0, "",
       "Filename too long: " + dotted160 + ".\n"},
      {"long and bad", huge_bad, 0, "", "Bad filename: " + huge_bad + ".\n"},
  };
  for (const name_case& c : cases) {
    char name[text_size + 8];
    std::fill(std::begin(name), std::end(name), '#');
    testing::internal::CaptureStdout();
    int ok = check_file_name(c.typed.c_str(), name);
    std::fflush(stdout);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, c.ok) << c.label;
    EXPECT_EQ(output, c.output) << c.label;
    if (c.ok) {
      EXPECT_EQ(std::string(name), c.name) << c.label;
    }
    for (std::size_t i = text_size; i < sizeof name; ++i) {
      EXPECT_EQ(name[i], '#') << c.label << ": written past the buffer";
    }
  }
}

}  // namespace
