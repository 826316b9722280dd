// The rewrite stage when its source or its sink fails at each of its
// calls in turn, over texts that take every path of the stage: long runs
// of unchanged lines, matched lines after them, indentation longer than a
// block with and without a key after it, and a last line without its end.
// It must report the failure, and the sink must hold only a beginning of
// the complete result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "keywords.hpp"
#include "../memory_text.hpp"

namespace {

struct outcome {
  int ok;
  std::string text;
  std::size_t source_calls;
  std::size_t sink_calls;
};

outcome rewrite(const std::string& text, std::size_t chunk,
                std::size_t source_fails_at, std::size_t sink_fails_at) {
  counted_source source{text, chunk, source_fails_at};
  counted_sink sink{sink_fails_at, {}};
  int ok = rewrite_text(source_of(source), sink_of(sink));
  return {ok, sink.text, source.calls, sink.calls};
}

TEST(RewriteFailure, EveryFailingCallStopsTheRewriteWithABeginningWritten) {
  const std::string unchanged_run(150000, 'u');
  std::string short_lines;
  std::string matched_lines;
  while (short_lines.size() < 200000) {
    short_lines += std::string(5000, 's') + "\n" + "\tport 1\n";
  }
  while (matched_lines.size() < 200000) {
    matched_lines += "\tport 1\n";
  }
  const std::string texts[] = {
      // Many short lines, unchanged ones between matched ones, and matched
      // ones only, so that a block of output fills up inside a new key.
      short_lines,
      matched_lines,
      // A run of unchanged text longer than a block, then a matched line.
      unchanged_run + "\nport 1\n" + unchanged_run + "\nport 2",
      // Indentation longer than a block before a key, and before none.
      std::string(140000, '\t') + "port 1\n" + std::string(140000, ' ') +
          "portx\n",
      // A last line of only a key, its indentation spread over reads.
      std::string(65530, 'z') + "\n" + std::string(70, ' ') + "user_name:",
  };
  int checks = 0;
  for (const std::string& text : texts) {
    for (std::size_t chunk : {std::size_t{1} << 20, std::size_t{7000}}) {
      outcome clean = rewrite(text, chunk, 0, 0);
      ASSERT_EQ(clean.ok, 1);
      for (std::size_t k = 1; k <= clean.source_calls; ++k) {
        outcome failed = rewrite(text, chunk, k, 0);
        EXPECT_EQ(failed.ok, 0) << "source fails at call " << k;
        EXPECT_EQ(clean.text.compare(0, failed.text.size(), failed.text), 0)
            << "source fails at call " << k;
        ++checks;
      }
      for (std::size_t k = 1; k <= clean.sink_calls; ++k) {
        outcome failed = rewrite(text, chunk, 0, k);
        EXPECT_EQ(failed.ok, 0) << "sink fails at call " << k;
        EXPECT_EQ(failed.sink_calls, k) << "the rewrite wrote on after a "
                                           "failed write";
        EXPECT_EQ(clean.text.compare(0, failed.text.size(), failed.text), 0)
            << "sink fails at call " << k;
        ++checks;
      }
    }
  }
  EXPECT_GT(checks, 100);
}

}  // namespace
