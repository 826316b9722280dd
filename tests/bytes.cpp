#include "bytes.hpp"

#include <algorithm>
#include <cstdio>

namespace {

std::string printable(const std::string& bytes, std::size_t from) {
  std::string shown;
  std::size_t end = std::min(bytes.size(), from + 40);
  for (std::size_t i = from; i < end; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    }
  }
  if (end < bytes.size()) {
    shown += "...";
  }
  return "\"" + shown + "\"";
}

}  // namespace

std::string describe_difference(const std::string& actual,
                                const std::string& expected) {
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() &&
         actual[at] == expected[at]) {
    ++at;
  }
  std::size_t from = at > 20 ? at - 20 : 0;
  return "sizes " + std::to_string(actual.size()) + " and " +
         std::to_string(expected.size()) + ", first difference at byte " +
         std::to_string(at) + ":\n  actual   from byte " +
         std::to_string(from) + ": " + printable(actual, from) +
         "\n  expected from byte " + std::to_string(from) + ": " +
         printable(expected, from);
}

testing::AssertionResult same_bytes(const char* actual_expression,
                                    const char* expected_expression,
                                    const std::string& actual,
                                    const std::string& expected) {
  if (actual == expected) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << actual_expression << " differs from " << expected_expression
         << ": " << describe_difference(actual, expected);
}

testing::AssertionResult same_tree(const char* actual_expression,
                                   const char* expected_expression,
                                   const tree& actual, const tree& expected) {
  std::string report;
  for (const auto& [name, bytes] : expected) {
    auto found = actual.find(name);
    if (found == actual.end()) {
      report += "\n  missing: " + name;
    } else if (found->second != bytes) {
      report += "\n  " + name + ": " +
                describe_difference(found->second, bytes);
    }
  }
  for (const auto& [name, bytes] : actual) {
    if (expected.count(name) == 0) {
      report += "\n  unexpected: " + name + " = " +
                describe_difference(bytes, "");
    }
  }
  if (report.empty()) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << actual_expression << " differs from "
                                     << expected_expression << ":" << report;
}
