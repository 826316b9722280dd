#include "keywords.hpp"

#include <cstring>

#include "files.hpp"

namespace {

// Input and output go in blocks of this size; a line may be far longer.
constexpr std::size_t block_size = std::size_t{1} << 16;

constexpr std::size_t longest_old_keyword() {
  std::size_t longest = 0;
  for (const keyword_rename& rename : keyword_renames) {
    if (static_cast<std::size_t>(rename.old_length) > longest) {
      longest = static_cast<std::size_t>(rename.old_length);
    }
  }
  return longest;
}

// After its indentation, this many bytes decide a line: the longest old
// key and the character that must follow it.
constexpr std::size_t decision_size = longest_old_keyword() + 1;

// The rows grouped by the first letter of their old key, each group in
// table order, so that most lines are turned away by their first byte.
struct letter_index {
  std::uint8_t start[256];
  std::uint8_t count[256];
  std::uint8_t rows[std::size(keyword_renames)];
};

constexpr letter_index make_letter_index() {
  letter_index index{};
  std::uint8_t next = 0;
  for (unsigned letter = 0; letter < 256; ++letter) {
    index.start[letter] = next;
    for (std::uint8_t row = 0; row < std::size(keyword_renames); ++row) {
      if (static_cast<unsigned char>(keyword_renames[row].old_keyword[0]) ==
          letter) {
        index.rows[next++] = row;
      }
    }
    index.count[letter] = static_cast<std::uint8_t>(next - index.start[letter]);
  }
  return index;
}

constexpr letter_index by_first_letter = make_letter_index();

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ends_key(char c) { return c == ' ' || c == '\t' || c == ':'; }

std::size_t count_blanks(const char* text, std::size_t length) {
  std::size_t count = 0;
  while (count < length && is_blank(text[count])) {
    ++count;
  }
  return count;
}

bool may_begin_key(char c) {
  return by_first_letter.count[static_cast<unsigned char>(c)] != 0;
}

// The rename whose old key stands at `word`, followed by a space, a tab
// or a colon, within `length` bytes.
const keyword_rename* match_key(const char* word, std::size_t length) {
  if (length == 0) {
    return nullptr;
  }
  auto letter = static_cast<unsigned char>(word[0]);
  const std::uint8_t* row = by_first_letter.rows + by_first_letter.start[letter];
  for (const std::uint8_t* end = row + by_first_letter.count[letter];
       row != end; ++row) {
    const keyword_rename& rename = keyword_renames[*row];
    auto key_length = static_cast<std::size_t>(rename.old_length);
    if (key_length < length && ends_key(word[key_length]) &&
        std::memcmp(word, rename.old_keyword, key_length) == 0) {
      return &rename;
    }
  }
  return nullptr;
}

// Whether the start of a line whose line end has not been read yet holds
// enough to decide it.
bool head_decided(const char* text, std::size_t length) {
  std::size_t blanks = count_blanks(text, length);
  return blanks < length &&
         (length - blanks >= decision_size || !may_begin_key(text[blanks]));
}

char input[block_size];
char output[block_size];

struct reader {
  const text_source& source;
  std::uint64_t offset;  // of input[0] in the source
  std::size_t length;    // bytes held in input
  bool end;              // the source has nothing more
};

struct writer {
  const text_sink& sink;
  std::size_t length;  // bytes held in output
};

// Drops input[0, keep) and reads more after what remains.
int refill(reader& in, std::size_t keep) {
  if (keep > 0) {
    std::memmove(input, input + keep, in.length - keep);
    in.offset += keep;
    in.length -= keep;
  }
  std::size_t count = 0;
  if (!in.source.read(in.source.context, input + in.length,
                      block_size - in.length, &count)) {
    return 0;
  }
  in.length += count;
  in.end = count == 0;
  return 1;
}

int flush(writer& out) {
  std::size_t length = out.length;
  out.length = 0;
  return length == 0 || out.sink.write(out.sink.context, output, length);
}

int put(writer& out, const char* data, std::size_t size) {
  while (size > 0) {
    if (out.length == 0 && size >= block_size) {
      return out.sink.write(out.sink.context, data, size);
    }
    std::size_t chunk = block_size - out.length;
    if (chunk > size) {
      chunk = size;
    }
    std::memcpy(output + out.length, data, chunk);
    out.length += chunk;
    data += chunk;
    size -= chunk;
    if (out.length == block_size && !flush(out)) {
      return 0;
    }
  }
  return 1;
}

// The new start of a matched line: a space for each blank of its
// indentation, then the new key.
int put_head(writer& out, std::uint64_t indentation,
             const keyword_rename& rename) {
  while (indentation > 0) {
    if (out.length == block_size && !flush(out)) {
      return 0;
    }
    std::size_t chunk = block_size - out.length;
    if (chunk > indentation) {
      chunk = static_cast<std::size_t>(indentation);
    }
    std::memset(output + out.length, ' ', chunk);
    out.length += chunk;
    indentation -= chunk;
  }
  return put(out, rename.new_keyword,
             static_cast<std::size_t>(rename.new_length));
}

// Rewrites the complete lines from input[*pos]. Lines that stay as they
// are go out as one run; `*pos` ends where the first line without its line
// end in the buffer begins.
int rewrite_lines(reader& in, writer& out, std::size_t* pos) {
  std::size_t run = *pos;
  std::size_t line = *pos;
  for (;;) {
    const void* line_end = std::memchr(input + line, '\n', in.length - line);
    if (line_end == nullptr) {
      break;
    }
    std::size_t next =
        static_cast<std::size_t>(static_cast<const char*>(line_end) - input) +
        1;
    std::size_t indentation;
    if (const keyword_rename* rename =
            match_keyword(input + line, next - line, &indentation)) {
      if (!put(out, input + run, line - run) ||
          !put_head(out, indentation, *rename)) {
        return 0;
      }
      run = line + indentation + static_cast<std::size_t>(rename->old_length);
    }
    line = next;
  }
  *pos = line;
  return put(out, input + run, line - run);
}

// A line whose indentation fills the whole buffer. The indentation is
// counted as it streams past; if a key follows, it goes out as spaces,
// and if none does, the source goes back to the line's start so that the
// line is copied exactly as it stands. The line's start is input[0].
int rewrite_long_head(reader& in, writer& out, std::size_t* pos) {
  std::uint64_t line_offset = in.offset;
  std::uint64_t indentation = 0;
  for (;;) {
    std::size_t blanks = count_blanks(input, in.length);
    indentation += blanks;
    const char* word = input + blanks;
    std::size_t rest = in.length - blanks;
    if (in.end || (rest > 0 && (rest >= decision_size ||
                                !may_begin_key(*word) ||
                                std::memchr(word, '\n', rest) != nullptr))) {
      if (const keyword_rename* rename = match_key(word, rest)) {
        *pos = blanks + static_cast<std::size_t>(rename->old_length);
        return put_head(out, indentation, *rename);
      }
      if (!in.source.seek(in.source.context, line_offset)) {
        return 0;
      }
      in.offset = line_offset;
      in.length = 0;
      *pos = 0;
      return refill(in, 0);
    }
    if (!refill(in, blanks)) {
      return 0;
    }
  }
}

}  // namespace

const keyword_rename* match_keyword(const char* line, std::size_t length,
                                    std::size_t* indentation) {
  *indentation = count_blanks(line, length);
  return match_key(line + *indentation, length - *indentation);
}

int rewrite_text(const text_source& source, const text_sink& sink) {
  reader in{source, 0, 0, false};
  writer out{sink, 0};
  std::size_t pos = 0;
  bool at_line_start = true;
  for (;;) {
    if (!at_line_start) {
      const void* line_end = std::memchr(input + pos, '\n', in.length - pos);
      std::size_t next =
          line_end == nullptr
              ? in.length
              : static_cast<std::size_t>(static_cast<const char*>(line_end) -
                                         input) +
                    1;
      if (!put(out, input + pos, next - pos)) {
        return 0;
      }
      pos = next;
      at_line_start = line_end != nullptr;
    }
    if (at_line_start) {
      if (!rewrite_lines(in, out, &pos)) {
        return 0;
      }
      // What remains begins a line whose end is not in the buffer.
      if (pos < in.length &&
          (in.end || head_decided(input + pos, in.length - pos))) {
        std::size_t indentation;
        if (const keyword_rename* rename =
                match_keyword(input + pos, in.length - pos, &indentation)) {
          if (!put_head(out, indentation, *rename)) {
            return 0;
          }
          pos += indentation + static_cast<std::size_t>(rename->old_length);
        }
        at_line_start = false;
        continue;
      }
    }
    if (in.end) {
      return flush(out);
    }
    if (pos == 0 && in.length == block_size) {
      if (!rewrite_long_head(in, out, &pos)) {
        return 0;
      }
      at_line_start = false;
    } else {
      if (!refill(in, pos)) {
        return 0;
      }
      pos = 0;
    }
  }
}

namespace {

struct open_stream {
  const char* path;
  std::FILE* stream;
};

int read_stream(void* context, char* buffer, std::size_t size,
                std::size_t* count) {
  auto* file = static_cast<open_stream*>(context);
  return read_block(file->path, file->stream, buffer, size, count);
}

int seek_stream(void* context, std::uint64_t offset) {
  auto* file = static_cast<open_stream*>(context);
  return seek_block(file->path, file->stream, offset);
}

int write_stream(void* context, const char* data, std::size_t size) {
  auto* file = static_cast<open_stream*>(context);
  return write_block(file->path, file->stream, data, size);
}

}  // namespace

int rewrite_keywords(const char* name, const char* backup_path) {
  std::FILE* in = open_file(backup_path, "r");
  if (in == nullptr) {
    return 0;
  }
  std::FILE* out = open_file(scratch_name, "w");
  if (out == nullptr) {
    close_file(backup_path, in);
    return 0;
  }
  open_stream from{backup_path, in};
  open_stream to{scratch_name, out};
  // The scratch file reaches stable storage, with the original's
  // permissions, before it may take the configuration's name: after a
  // power cut that name holds the whole upgrade or nothing.
  int ok = rewrite_text({read_stream, seek_stream, &from},
                        {write_stream, &to}) &&
           copy_permissions(in, scratch_name, out) &&
           commit_file(scratch_name, out);
  ok = close_file(backup_path, in) && ok;
  ok = close_file(scratch_name, out) && ok;
  if (!ok) {
    remove_file(scratch_name);
    return 0;
  }
  return rename_file(scratch_name, name);
}
