#include "run.hpp"

#include <clocale>
#include <cstdio>
#include <cstring>

#include "files.hpp"
#include "keywords.hpp"

namespace {

constexpr char extension[] = "cnf";

bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

enum class word_read { none, whole, too_long };

// Reads the first word of standard input into `word` (text_size bytes).
// A word too long for it keeps its beginning, marked with "...".
word_read read_word(char* word) {
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && is_space(c));
  if (c == EOF) {
    return word_read::none;
  }
  std::size_t length = 0;
  bool too_long = false;
  for (; c != EOF && !is_space(c); c = std::getchar()) {
    if (length < text_size - 1) {
      word[length++] = static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  if (too_long) {
    length = text_size - 4;
    std::memcpy(word + length, "...", 3);
    length += 3;
  }
  word[length] = '\0';
  return too_long ? word_read::too_long : word_read::whole;
}

}  // namespace

int check_file_name(const char* typed, char* name) {
  const char* dot = std::strrchr(typed, '.');
  if (dot != nullptr && std::strcmp(dot + 1, extension) != 0) {
    std::printf("Bad filename: %s.\n", typed);
    return 0;
  }
  int length =
      dot == nullptr
          ? std::snprintf(name, text_size, "%s.%s", typed, extension)
          : std::snprintf(name, text_size, "%s", typed);
  if (length < 0 || static_cast<std::size_t>(length) >= text_size) {
    name[0] = '\0';
    std::printf("Filename too long: %s.\n", typed);
    return 0;
  }
  return 1;
}

int upgrade_file(const char* name) {
  std::printf("Upgrading %s\n", name);
  char backup_path[text_size];
  if (!back_up_file(name, backup_path)) {
    std::printf("Can't back up %s\n", name);
    return 0;
  }
  if (!rewrite_keywords(name, backup_path)) {
    std::printf("Can't upgrade %s\n", name);
    return 0;
  }
  return 1;
}

int run_upgrades(int argc, char** argv) {
  // Paths are split by the characters of the user's code page.
  std::setlocale(LC_CTYPE, "");
  char name[text_size];
  int ok = 1;
  if (argc < 2) {
    std::printf("Please enter CNF filename: ");
    std::fflush(stdout);
    char word[text_size];
    switch (read_word(word)) {
      case word_read::none:
        ok = 0;
        break;
      case word_read::too_long:
        std::printf("Filename too long: %s.\n", word);
        ok = 0;
        break;
      case word_read::whole:
        ok = check_file_name(word, name) && upgrade_file(name);
        break;
    }
  } else {
    for (int i = 1; i < argc; ++i) {
      int upgraded = check_file_name(argv[i], name) && upgrade_file(name);
      ok = upgraded && ok;
    }
  }
  std::printf("Upgrade(s) complete.\n");
  // A report that could not be written is a run that cannot be trusted.
  if (std::fflush(stdout) != 0) {
    ok = 0;
  }
  return ok ? 0 : 1;
}
