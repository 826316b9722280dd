// Comparisons of byte strings and file trees that, when they fail, say
// where the bytes part instead of printing megabytes of them.
#ifndef CNFUPGRADE_TESTS_BYTES_HPP
#define CNFUPGRADE_TESTS_BYTES_HPP

#include <gtest/gtest.h>

#include <string>

#include "temp_dir.hpp"

// A short, printable account of where `actual` first differs from
// `expected`.
std::string describe_difference(const std::string& actual,
                                const std::string& expected);

testing::AssertionResult same_bytes(const char* actual_expression,
                                    const char* expected_expression,
                                    const std::string& actual,
                                    const std::string& expected);

testing::AssertionResult same_tree(const char* actual_expression,
                                   const char* expected_expression,
                                   const tree& actual, const tree& expected);

#endif  // CNFUPGRADE_TESTS_BYTES_HPP
