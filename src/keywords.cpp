#include "keywords.hpp"

#include <bit>
#include <cstring>

#include "files.hpp"

// Line ends are found sixteen bytes to an instruction where the processor
// has SSE2 (every x86-64 one); elsewhere a plain loop does the same.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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

constexpr std::size_t shortest_old_keyword() {
  std::size_t shortest = sizeof(keyword_rename::old_keyword);
  for (const keyword_rename& rename : keyword_renames) {
    if (static_cast<std::size_t>(rename.old_length) < shortest) {
      shortest = static_cast<std::size_t>(rename.old_length);
    }
  }
  return shortest;
}

// A line is sorted out by the first four bytes of its first word, its
// stem, which pick one slot of a small hash table; then by a look at the
// one byte after each key length that stem has, since a key counts only
// when a space, a tab or a colon follows it. Only then are bytes of a key
// compared.
constexpr std::size_t stem_size = 4;
static_assert(shortest_old_keyword() >= stem_size,
              "every old key must hold a whole stem");
static_assert(longest_old_keyword() <= 24,
              "same_key compares at most three words of eight bytes");
static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

constexpr unsigned stem_bits = 5;

// The stem as the number a four-byte load of it gives on this machine.
constexpr std::uint32_t stem_value(const char* text) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < stem_size; ++i) {
    auto byte = static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
    value |= std::endian::native == std::endian::little
                 ? byte << (8 * i)
                 : byte << (8 * (stem_size - 1 - i));
  }
  return value;
}

constexpr std::size_t stem_slot(std::uint32_t stem, std::uint32_t multiplier) {
  return static_cast<std::uint32_t>(stem * multiplier) >> (32 - stem_bits);
}

struct key_index {
  // Eight bytes, so that a slot's address is one scaled index.
  struct slot {
    char stem[stem_size];  // all zero in a free slot, which has no keys
    std::uint16_t start;   // in keys
    std::uint16_t count;
  };
  // A row of the table with its key length, sorted by stem, then by
  // length, then in table order.
  struct key {
    std::uint8_t length;
    std::uint8_t row;
  };
  std::uint32_t multiplier;
  slot slots[std::size_t{1} << stem_bits];
  key keys[std::size(keyword_renames)];
  bool may_begin_key[256];
};

// A multiplier that gives every stem a slot of its own.
constexpr std::uint32_t find_multiplier() {
  for (std::uint32_t multiplier = 0x9e3779b1u; multiplier < 0x9e3779b1u + 20000;
       multiplier += 2) {
    bool taken[std::size_t{1} << stem_bits] = {};
    std::uint32_t seen[std::size(keyword_renames)] = {};
    std::size_t stems = 0;
    bool clash = false;
    for (const keyword_rename& rename : keyword_renames) {
      std::uint32_t stem = stem_value(rename.old_keyword);
      bool known = false;
      for (std::size_t i = 0; i < stems; ++i) {
        known = known || seen[i] == stem;
      }
      if (known) {
        continue;
      }
      seen[stems++] = stem;
      std::size_t slot = stem_slot(stem, multiplier);
      clash = clash || taken[slot];
      taken[slot] = true;
    }
    if (!clash) {
      return multiplier;
    }
  }
  return 0;
}

constexpr key_index make_key_index() {
  key_index index{};
  index.multiplier = find_multiplier();
  std::uint8_t keys = 0;
  for (key_index::slot& slot : index.slots) {
    slot.start = keys;
    for (std::int32_t length = 1; length < 32; ++length) {
      for (std::uint8_t row = 0; row < std::size(keyword_renames); ++row) {
        const keyword_rename& rename = keyword_renames[row];
        std::uint32_t stem = stem_value(rename.old_keyword);
        if (rename.old_length == length &&
            stem_slot(stem, index.multiplier) ==
                static_cast<std::size_t>(&slot - index.slots)) {
          for (std::size_t i = 0; i < stem_size; ++i) {
            slot.stem[i] = rename.old_keyword[i];
          }
          index.keys[keys++] = {static_cast<std::uint8_t>(length), row};
        }
      }
    }
    slot.count = static_cast<std::uint16_t>(keys - slot.start);
  }
  for (const keyword_rename& rename : keyword_renames) {
    index.may_begin_key[static_cast<unsigned char>(rename.old_keyword[0])] =
        true;
  }
  return index;
}

constexpr key_index by_stem = make_key_index();
static_assert(by_stem.multiplier != 0, "no multiplier keeps the stems apart");

// What a byte may be at the start of a line: one look into a table costs
// less than comparing it with each character in turn.
enum : std::uint8_t { blank = 1, key_end = 2 };

constexpr auto make_byte_kinds() {
  struct {
    std::uint8_t of[256];
  } kinds{};
  kinds.of[static_cast<unsigned char>(' ')] = blank | key_end;
  kinds.of[static_cast<unsigned char>('\t')] = blank | key_end;
  kinds.of[static_cast<unsigned char>(':')] = key_end;
  return kinds;
}

constexpr auto byte_kinds = make_byte_kinds();

bool is_blank(char c) {
  return (byte_kinds.of[static_cast<unsigned char>(c)] & blank) != 0;
}

bool ends_key(char c) {
  return (byte_kinds.of[static_cast<unsigned char>(c)] & key_end) != 0;
}

std::size_t count_blanks(const char* text, std::size_t length) {
  std::size_t count = 0;
  while (count < length && is_blank(text[count])) {
    ++count;
  }
  return count;
}

bool may_begin_key(char c) {
  return by_stem.may_begin_key[static_cast<unsigned char>(c)];
}

std::uint32_t load32(const char* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint64_t load64(const char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Whether `word` begins with the old key of `rename`: a few loads that
// may overlap, instead of a call to compare a handful of bytes.
bool same_key(const char* word, const keyword_rename& rename) {
  const char* key = rename.old_keyword;
  auto length = static_cast<std::size_t>(rename.old_length);
  if (length <= 8) {
    return load32(word) == load32(key) &&
           load32(word + length - 4) == load32(key + length - 4);
  }
  bool ends = load64(word) == load64(key) &&
              load64(word + length - 8) == load64(key + length - 8);
  return length <= 16 ? ends : ends && load64(word + 8) == load64(key + 8);
}

constexpr bool keys_hold_no_line_end() {
  for (const keyword_rename& rename : keyword_renames) {
    for (char c : rename.old_keyword) {
      if (c == '\n') {
        return false;
      }
    }
  }
  return true;
}

static_assert(keys_hold_no_line_end(),
              "find_key<false> relies on a line end stopping every key");

// The rename whose old key stands at `word`, followed by a space, a tab
// or a colon, within `length` bytes. Unbounded, `word` lies in a line of
// the input block whose line end is there too: no key can match across
// that line end and every load stays within the block and its slack, so
// the length need not be checked at all.
template <bool bounded>
const keyword_rename* find_key(const char* word, std::size_t length) {
  if (bounded && length <= stem_size) {
    return nullptr;
  }
  std::uint32_t stem = load32(word);
  const key_index::slot& slot =
      by_stem.slots[stem_slot(stem, by_stem.multiplier)];
  if (stem != load32(slot.stem)) {
    return nullptr;
  }
  const key_index::key* key = by_stem.keys + slot.start;
  for (const key_index::key* end = key + slot.count;
       key != end && (!bounded || key->length < length); ++key) {
    const keyword_rename& rename = keyword_renames[key->row];
    if (ends_key(word[key->length]) && same_key(word, rename)) {
      return &rename;
    }
  }
  return nullptr;
}

const keyword_rename* match_key(const char* word, std::size_t length) {
  return find_key<true>(word, length);
}

// Whether the start of a line whose line end has not been read yet holds
// enough to decide it.
bool head_decided(const char* text, std::size_t length) {
  std::size_t blanks = count_blanks(text, length);
  return blanks < length &&
         (length - blanks >= decision_size || !may_begin_key(text[blanks]));
}

// The output block is followed by slack that fixed-size copies may spill
// into; only output[0, block_size) is ever written out.
constexpr std::size_t output_slack = 64;

// Line ends are looked for in pieces of this size; a piece may reach past
// the bytes read into the input block's slack.
constexpr std::size_t scan_size = 64;
static_assert(scan_size > longest_old_keyword(),
              "find_key<false> may look at the byte after the longest key");

char input[block_size + scan_size];
char output[block_size + output_slack];

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

// Indentation this deep or less, and the new key, are stored with
// fixed-size copies into the slack after the block.
constexpr std::size_t short_indentation = 16;
static_assert(output_slack >=
              short_indentation + sizeof(keyword_rename::new_keyword));

// A run of unchanged bytes this short or shorter is copied with one
// fixed-size copy; it may read into the input block's slack and write
// into the output block's.
constexpr std::size_t short_run = 64;
static_assert(output_slack >= short_run && scan_size >= short_run);

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

// Bit i tells whether bytes[i] ends a line, for the scan_size bytes at
// `bytes`.
std::uint64_t line_ends(const char* bytes) {
  std::uint64_t ends = 0;
#if defined(__SSE2__) || defined(_M_X64)
  const __m128i newline = _mm_set1_epi8('\n');
  for (std::size_t i = 0; i < scan_size; i += 16) {
    __m128i piece =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    auto found = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(piece, newline)));
    ends |= static_cast<std::uint64_t>(found) << i;
  }
#else
  for (std::size_t i = 0; i < scan_size; ++i) {
    ends |= static_cast<std::uint64_t>(bytes[i] == '\n') << i;
  }
#endif
  return ends;
}

// How many of the bytes at `text` are spaces and tabs before any other
// byte, counting at most sixteen. With SSE2 this takes no branch per byte:
// indentation varies from line to line, and each mispredicted branch
// costs more than these few steps.
std::size_t leading_blanks(const char* text) {
#if defined(__SSE2__) || defined(_M_X64)
  __m128i piece = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  auto blanks = static_cast<std::uint32_t>(_mm_movemask_epi8(
      _mm_or_si128(_mm_cmpeq_epi8(piece, _mm_set1_epi8(' ')),
                   _mm_cmpeq_epi8(piece, _mm_set1_epi8('\t')))));
  return static_cast<std::size_t>(std::countr_one(blanks));
#else
  std::size_t count = 0;
  while (count < 16 && is_blank(text[count])) {
    ++count;
  }
  return count;
#endif
}

// Rewrites the complete lines from input[*pos]. Lines that stay as they
// are go out as one run; `*pos` ends where the first line without its line
// end in the buffer begins. This loop carries nearly every byte, so the
// common case, where the run and the new head fit in the output block, is
// copied here and only the rest goes through put and put_head.
int rewrite_lines(reader& in, writer& out, std::size_t* pos) {
  const char* const end = input + in.length;
  // Bytes left after the end from an earlier block must not pass for line
  // ends; clearing them here saves a check on every piece.
  std::memset(input + in.length, 0, scan_size);
  const char* run = input + *pos;
  const char* line = run;
  // The line ends not yet taken in the piece that begins at `piece`.
  const char* piece = line;
  std::uint64_t ends = 0;
  for (;;) {
    while (ends == 0) {
      if (piece >= end) {
        *pos = static_cast<std::size_t>(line - input);
        return put(out, run, static_cast<std::size_t>(line - run));
      }
      piece += scan_size;
      ends = line_ends(piece - scan_size);
    }
    const char* line_end = piece - scan_size + std::countr_zero(ends);
    ends &= ends - 1;
    std::size_t blanks = leading_blanks(line);
    const char* word = line + blanks;
    // The line end stops this walk: no length check needed.
    while (blanks == 16 && is_blank(*word)) {
      ++word;
    }
    if (const keyword_rename* rename = find_key<false>(word, 0)) {
      auto run_size = static_cast<std::size_t>(line - run);
      auto indentation = static_cast<std::size_t>(word - line);
      auto new_length = static_cast<std::size_t>(rename->new_length);
      if (indentation <= short_indentation &&
          run_size + indentation + new_length < block_size - out.length) {
        char* to = output + out.length;
        if (run_size <= short_run) {
          std::memcpy(to, run, short_run);
        } else {
          std::memcpy(to, run, run_size);
        }
        to += run_size;
        std::memset(to, ' ', short_indentation);
        to += indentation;
        std::memcpy(to, rename->new_keyword, sizeof rename->new_keyword);
        out.length += run_size + indentation + new_length;
      } else if (!put(out, run, run_size) ||
                 !put_head(out, indentation, *rename)) {
        return 0;
      }
      run = word + rename->old_length;
    }
    line = line_end + 1;
  }
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
