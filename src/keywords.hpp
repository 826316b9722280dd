// The renames from the old key vocabulary to the new one, the rule that
// rewrites one line, and the stage that rewrites a whole configuration.
#ifndef CNFUPGRADE_KEYWORDS_HPP
#define CNFUPGRADE_KEYWORDS_HPP

#include <cstddef>
#include <cstdint>
#include <iterator>

struct keyword_rename {
  char old_keyword[32];
  std::int32_t old_length;
  char new_keyword[32];
  std::int32_t new_length;
};

// Tried in this order; the first row whose key matches is taken.
inline constexpr keyword_rename keyword_renames[] = {
    {"proxy_1", 7, "proxy1_address", 14},
    {"port_1", 6, "proxy1_port", 11},
    {"user_name_1", 11, "line1_name", 10},
    {"logical_name_1", 14, "line1_authname", 14},
    {"logical_password_1", 18, "line1_password", 14},
    {"display_name_1", 14, "line1_shortname", 15},
    {"user_name_2", 11, "line2_name", 10},
    {"logical_name_2", 14, "line2_authname", 14},
    {"logical_password_2", 18, "line2_password", 14},
    {"display_name_2", 14, "line2_shortname", 15},
    {"username", 8, "line1_name", 10},
    {"user_name", 9, "line1_name", 10},
    {"logical_name", 12, "line1_authname", 14},
    {"logical_password", 16, "line1_password", 14},
    {"proxy_ipaddr", 12, "proxy1_address", 14},
    {"proxy", 5, "proxy1_address", 14},
    {"port", 4, "proxy1_port", 11},
    {"register_timeout", 16, "timer_register_expires", 22},
    {"register_expires", 16, "timer_register_expires", 22},
    {"timer_expires", 13, "timer_invite_expires", 20},
};

static_assert(std::size(keyword_renames) == 20);

constexpr bool stored_lengths_match() {
  for (const keyword_rename& rename : keyword_renames) {
    std::int32_t old_length = 0;
    while (rename.old_keyword[old_length] != '\0') {
      ++old_length;
    }
    std::int32_t new_length = 0;
    while (rename.new_keyword[new_length] != '\0') {
      ++new_length;
    }
    if (old_length != rename.old_length || new_length != rename.new_length ||
        old_length == 0) {
      return false;
    }
  }
  return true;
}

static_assert(stored_lengths_match(),
              "a stored length differs from its keyword");

// Where rewrite_text takes its bytes from: `read` fills at most `size`
// bytes and sets `*count` (0 only at the end); `seek` goes back to an
// offset already read. Both return 1 on success and 0 on failure.
struct text_source {
  int (*read)(void* context, char* buffer, std::size_t size,
              std::size_t* count);
  int (*seek)(void* context, std::uint64_t offset);
  void* context;
};

// Where rewrite_text puts its bytes: `write` takes all of them, or
// returns 0.
struct text_sink {
  int (*write)(void* context, const char* data, std::size_t size);
  void* context;
};

// The rule for one line: the rename that applies to the line that begins
// at `line`, or none. `length` bytes are given, which must be the whole
// line or at least its indentation and the 19 bytes after it. The count
// of spaces and tabs that indent the line goes to `*indentation`.
const keyword_rename* match_keyword(const char* line, std::size_t length,
                                    std::size_t* indentation);

// Copies the source to the sink with each line that begins with an old
// key rewritten: its indentation becomes as many spaces and its key the
// new key; every other byte passes unchanged. Lines may be of any length.
// Returns 0 as soon as the source or the sink fails.
int rewrite_text(const text_source& source, const text_sink& sink);

// Writes the rewritten text of `backup_path` to the scratch file and moves
// that onto `name`. An incomplete scratch file is removed; a complete one
// stays when only the final move fails.
int rewrite_keywords(const char* name, const char* backup_path);

#endif  // CNFUPGRADE_KEYWORDS_HPP
