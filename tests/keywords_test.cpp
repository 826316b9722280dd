#include "keywords.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "line_model.hpp"
#include "memory_text.hpp"
#include "temp_dir.hpp"

namespace {

std::string rewrite(const std::string& text, std::size_t chunk) {
  counted_source source{text, chunk};
  counted_sink sink;
  EXPECT_EQ(rewrite_text(source_of(source), sink_of(sink)), 1);
  return sink.text;
}

struct line_case {
  const char* name;
  std::string input;
  std::string expected;
};

// Every case is run with the input served whole, in small pieces and one
// byte at a time: where the reads split a line must not matter.
void expect_rewrites(const std::vector<line_case>& cases) {
  for (const line_case& c : cases) {
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{4099},
                              std::size_t{7}, std::size_t{1}}) {
      // Tiny reads of huge inputs would only make the run slow.
      if (chunk < 100 && c.input.size() > 20000) {
        continue;
      }
      EXPECT_PRED_FORMAT2(same_bytes, rewrite(c.input, chunk), c.expected)
          << c.name << " (reads of " << chunk << " bytes)";
    }
  }
}

TEST(LineRule, EveryOldKeyBecomesItsNewKey) {
  std::vector<line_case> cases = {
      {"row 1", "proxy_1 a\n", "proxy1_address a\n"},
      {"row 2", "port_1 a\n", "proxy1_port a\n"},
      {"row 3", "user_name_1 a\n", "line1_name a\n"},
      {"row 4", "logical_name_1 a\n", "line1_authname a\n"},
      {"row 5", "logical_password_1 a\n", "line1_password a\n"},
      {"row 6", "display_name_1 a\n", "line1_shortname a\n"},
      {"row 7", "user_name_2 a\n", "line2_name a\n"},
      {"row 8", "logical_name_2 a\n", "line2_authname a\n"},
      {"row 9", "logical_password_2 a\n", "line2_password a\n"},
      {"row 10", "display_name_2 a\n", "line2_shortname a\n"},
      {"row 11", "username a\n", "line1_name a\n"},
      {"row 12", "user_name a\n", "line1_name a\n"},
      {"row 13", "logical_name a\n", "line1_authname a\n"},
      {"row 14", "logical_password a\n", "line1_password a\n"},
      {"row 15", "proxy_ipaddr a\n", "proxy1_address a\n"},
      {"row 16", "proxy a\n", "proxy1_address a\n"},
      {"row 17", "port a\n", "proxy1_port a\n"},
      {"row 18", "register_timeout a\n", "timer_register_expires a\n"},
      {"row 19", "register_expires a\n", "timer_register_expires a\n"},
      {"row 20", "timer_expires a\n", "timer_invite_expires a\n"},
  };
  expect_rewrites(cases);
}

TEST(LineRule, KeyEndsOnlyAtSpaceTabOrColon) {
  expect_rewrites({
      {"colon with space", "proxy: 10.0.0.1\n", "proxy1_address: 10.0.0.1\n"},
      {"colon alone", "port:99\n", "proxy1_port:99\n"},
      {"tab", "port\t99\n", "proxy1_port\t99\n"},
      {"colon then nothing", "port:", "proxy1_port:"},
      {"equals sign", "proxy=1\n", "proxy=1\n"},
      {"key at the line end", "proxy\n", "proxy\n"},
      {"key at the end of the file", "proxy", "proxy"},
      {"key then CR", "proxy\r\n", "proxy\r\n"},
      {"new key", "proxy1_address: x\n", "proxy1_address: x\n"},
      {"longer key wins", "proxy_1: x\n", "proxy1_address: x\n"},
      {"proxy_ipaddr not proxy", "proxy_ipaddr x\n", "proxy1_address x\n"},
      {"user_name_2 not user_name", "user_name_2 x\n", "line2_name x\n"},
      {"unknown numbered key", "user_name_3 x\n", "user_name_3 x\n"},
      {"case matters", "Proxy: x\nPORT 99\n", "Proxy: x\nPORT 99\n"},
      {"comment", "# proxy: x\n", "# proxy: x\n"},
      {"not the first word", "set port 99\n", "set port 99\n"},
      {"NUL after key", std::string("port\0 1\n", 8),
       std::string("port\0 1\n", 8)},
  });
}

TEST(LineRule, IndentationBecomesSpacesOnlyOnMatchedLines) {
  expect_rewrites({
      {"two tabs", "\t\tport 99\n", "  proxy1_port 99\n"},
      {"mixed", " \t port 99\n", "   proxy1_port 99\n"},
      {"unmatched keeps tabs", "\t\tother 99\n", "\t\tother 99\n"},
      {"blank line of tabs", "\t \t\n", "\t \t\n"},
      {"other white space is no indentation", "\vport 99\n", "\vport 99\n"},
      {"value tabs kept", "port\t\t9\t9\n", "proxy1_port\t\t9\t9\n"},
  });
}

TEST(LineRule, LineEndsAndBytesAfterTheKeyStayAsTheyAre) {
  expect_rewrites({
      {"CR LF", "port 99\r\n", "proxy1_port 99\r\n"},
      {"LF", "port 99\n", "proxy1_port 99\n"},
      {"lone CR and what follows", "port 99\rx\n", "proxy1_port 99\rx\n"},
      {"no final line end", "a\nport 99", "a\nproxy1_port 99"},
      {"Ctrl-Z", "port 9\x1a\nport 8\n", "proxy1_port 9\x1a\nproxy1_port 8\n"},
      {"NUL in value", std::string("port 9\0009\n", 9),
       std::string("proxy1_port 9\0009\n", 16)},
      {"high bytes", "port \xff\xfe\n", "proxy1_port \xff\xfe\n"},
      {"empty input", "", ""},
      {"blank lines", "\n\r\n\n", "\n\r\n\n"},
  });
}

TEST(LineRule, NewFormatFileComesOutUnchanged) {
  std::string text;
  for (const keyword_rename& rename : keyword_renames) {
    text += std::string(rename.new_keyword) + " value\r\n";
    text += std::string("\t") + rename.new_keyword + ":x\r\n";
  }
  expect_rewrites({{"new keys only", text, text}});
}

TEST(LineRule, LongLinesAreHandledWhole) {
  std::string filler(200, 'x');
  std::string huge(200000, 'y');
  std::string deep_blanks(70000, ' ');
  std::string deep_tabs(70000, '\t');
  expect_rewrites({
      {"key-like text past 159 characters",
       filler + " port 99\nport 1\n", filler + " port 99\nproxy1_port 1\n"},
      {"key at 159 characters after a line end", filler + "\n" + "port 1",
       filler + "\nproxy1_port 1"},
      {"indented past 159 characters", std::string(170, ' ') + "port 1\n",
       std::string(170, ' ') + "proxy1_port 1\n"},
      {"long matched line", "port " + huge + "\nport 2\n",
       "proxy1_port " + huge + "\nproxy1_port 2\n"},
      {"long unmatched line with keys inside",
       huge + "\nport " + huge + "port 3\n",
       huge + "\nproxy1_port " + huge + "port 3\n"},
      {"indentation longer than a block", deep_blanks + "port 1\nport 2\n",
       deep_blanks + "proxy1_port 1\nproxy1_port 2\n"},
      {"tabs longer than a block, matched", deep_tabs + "port 1\n",
       deep_blanks + "proxy1_port 1\n"},
      {"tabs longer than a block, unmatched", deep_tabs + "other\nport 2\n",
       deep_tabs + "other\nproxy1_port 2\n"},
      {"blanks longer than a block at the end", "a\n" + deep_tabs,
       "a\n" + deep_tabs},
      {"blanks longer than a block then a key at the end",
       deep_tabs + "port:", deep_blanks + "proxy1_port:"},
      {"blanks longer than a block then a cut key", deep_tabs + "port",
       deep_tabs + "port"},
  });
}

// A seeded text of many lines near the edges of the rewrite's fast path:
// indentation around sixteen blanks, lines around sixty-four bytes, keys
// cut short by a line end, words that run on into the next line, and
// enough of them that reads and output blocks end in every kind of place.
std::string generated_text(std::uint64_t seed) {
  auto next = [&seed] {
    std::uint64_t z = (seed += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  };
  auto pick = [&next](std::size_t n) {
    return static_cast<std::size_t>(next() % n);
  };
  const std::size_t indentations[] = {0,  0,  0,  1,  2,  4,  12,
                                      13, 14, 15, 16, 17, 18, 33};
  const char* const delimiters[] = {" ", "\t", ":"};
  const char* const others[] = {"Port",         "por", "# port 1", "",
                                "line1_name x", "\r",  "x port 1"};
  std::string text;
  while (text.size() < 400000) {
    std::size_t blanks = indentations[pick(std::size(indentations))];
    for (std::size_t i = 0; i < blanks; ++i) {
      text += pick(2) == 0 ? ' ' : '\t';
    }
    const keyword_rename& rename =
        keyword_renames[pick(std::size(keyword_renames))];
    switch (pick(6)) {
      case 0:
      case 1:
        text += rename.old_keyword;
        text += delimiters[pick(std::size(delimiters))];
        break;
      case 2:  // the key and at once the line end, or another character
        text += rename.old_keyword;
        text += pick(2) == 0 ? "" : "_";
        break;
      case 3:
        text += rename.new_keyword;
        text += " ";
        break;
      default:
        text += others[pick(std::size(others))];
        break;
    }
    // Values that bring lines to either side of 64 bytes, and now and
    // then a long one.
    std::size_t value = pick(8) == 0 ? pick(300) : 40 + pick(30);
    for (std::size_t i = 0; i < value; ++i) {
      text += static_cast<char>("ab:\t 9\xe9\0"[pick(8)]);
    }
    text += pick(3) == 0 ? "\n" : "\r\n";
  }
  return text;
}

TEST(LineRule, GeneratedTextFollowsTheRuleWhateverTheReads) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    std::string text = generated_text(seed);
    // Once with a last line that has no line end.
    if (seed == 3) {
      text += "\tport 1";
    }
    std::string expected = model_rewrite(text);
    ASSERT_NE(expected, text);
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{1} << 16,
                              std::size_t{4099}, std::size_t{61}}) {
      EXPECT_PRED_FORMAT2(same_bytes, rewrite(text, chunk), expected)
          << "seed " << seed << ", reads of " << chunk << " bytes";
    }
  }
}

TEST(LineRule, MatchKeywordReportsIndentation) {
  std::size_t indentation = 99;
  const keyword_rename* rename =
      match_keyword("\t port 99", std::strlen("\t port 99"), &indentation);
  ASSERT_NE(rename, nullptr);
  EXPECT_STREQ(rename->new_keyword, "proxy1_port");
  EXPECT_EQ(indentation, 2u);
  EXPECT_EQ(match_keyword("other", 5, &indentation), nullptr);
  EXPECT_EQ(indentation, 0u);
}

TEST(RewriteText, StopsWhenTheSourceOrTheSinkFails) {
  const std::string text = "port 1\n";
  counted_source failing_source{text, 1 << 20, 1};
  counted_sink sink;
  EXPECT_EQ(rewrite_text(source_of(failing_source), sink_of(sink)), 0);

  const std::string big =
      std::string(300000, 'z') + "\n" + std::string(300000, 'z');
  counted_source source{big, 1 << 20};
  counted_sink failing_sink{2, {}};
  EXPECT_EQ(rewrite_text(source_of(source), sink_of(failing_sink)), 0);
}

}  // namespace

namespace {

class RewriteKeywords : public temp_dir_test {};

TEST_F(RewriteKeywords, CompleteScratchFileStaysWhenOnlyTheMoveFails) {
  make_tree(".", {{"phone.bak", "port 1\r\n"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(rewrite_keywords("missing/phone.cnf", "phone.bak"), 0);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Can't rename tmp.cnf to missing/phone.cnf.\n");
  EXPECT_EQ(read_tree("."), (tree{{"phone.bak", "port 1\r\n"},
                                  {"tmp.cnf", "proxy1_port 1\r\n"}}));
}

TEST_F(RewriteKeywords, IncompleteScratchFileIsRemoved) {
  make_tree(".", {{"phone.bak", "<dir>"}});
  testing::internal::CaptureStdout();
  EXPECT_EQ(rewrite_keywords("phone.cnf", "phone.bak"), 0);
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't read phone.bak.\n");
  EXPECT_EQ(read_tree("."), (tree{{"phone.bak", "<dir>"}}));
}

}  // namespace
