#include "keywords.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "files.hpp"

// Line ends are found sixteen bytes to an instruction where the processor
// has SSE2 (every x86-64 one), and thirty-two where it also has AVX2;
// elsewhere a plain loop does the same.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

// Input and output go in blocks of this size; a line may be far longer.
constexpr std::size_t block_size = std::size_t{1} << 16;

// The longest of the old keys, or of the new ones.
constexpr std::size_t longest_keyword(
    std::int32_t keyword_rename::*length = &keyword_rename::old_length) {
  std::size_t longest = 0;
  for (const keyword_rename& rename : keyword_renames) {
    if (static_cast<std::size_t>(rename.*length) > longest) {
      longest = static_cast<std::size_t>(rename.*length);
    }
  }
  return longest;
}

// After its indentation, this many bytes decide a line: the longest old
// key and the character that must follow it.
constexpr std::size_t decision_size = longest_keyword() + 1;

// A key counts only when a space, a tab or a colon follows it, and no key
// holds one of those bytes or a line end. So a line can begin with one
// key at most: the bytes of its first word up to the first of them. That
// word is looked up once in a small hash table, by its length and its
// first and last four bytes, and compared with the one key found there.
constexpr bool keys_hold_no_key_end() {
  for (const keyword_rename& rename : keyword_renames) {
    for (std::int32_t i = 0; i < rename.old_length; ++i) {
      char c = rename.old_keyword[i];
      if (c == ' ' || c == '\t' || c == ':' || c == '\n') {
        return false;
      }
    }
  }
  return true;
}

static_assert(keys_hold_no_key_end(),
              "a line must not be able to begin with two keys at once");

constexpr std::size_t shortest_old_keyword() {
  std::size_t shortest = sizeof(keyword_rename::old_keyword);
  for (const keyword_rename& rename : keyword_renames) {
    if (static_cast<std::size_t>(rename.old_length) < shortest) {
      shortest = static_cast<std::size_t>(rename.old_length);
    }
  }
  return shortest;
}

// A word is compared in two parts that together cover every key: its
// first sixteen bytes and its last four. A key's end is looked for from
// where the shortest key ends, over sixteen bytes; a word that ends
// sooner holds no key, so no harm is done when it is taken as longer.
constexpr std::size_t quad_size = 4;
constexpr std::size_t first_size = 16;
constexpr std::size_t key_end_from = quad_size;
static_assert(shortest_old_keyword() >= key_end_from,
              "a key's first and last four bytes must lie within it");
static_assert(longest_keyword() <= first_size + quad_size,
              "a key must lie within its first sixteen and last four bytes");

// The bytes looked at from the start of a word.
constexpr std::size_t key_window = key_end_from + first_size;
static_assert(decision_size <= key_window);

static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

// Four bytes as the number a load of them gives on this machine.
constexpr std::uint32_t quad_value(const char* text) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < quad_size; ++i) {
    auto byte = static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
    value |= std::endian::native == std::endian::little
                 ? byte << (8 * i)
                 : byte << (8 * (quad_size - 1 - i));
  }
  return value;
}

std::uint32_t load32(const char* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

constexpr unsigned slot_bits = 6;

// The ending of a word whose first `length` bytes end in `tail`.
constexpr std::uint64_t ending_of(std::uint32_t tail, std::uint32_t length) {
  return tail | std::uint64_t{length} << 32;
}

constexpr std::size_t key_slot_of(std::uint32_t head, std::uint64_t ending,
                                  std::uint64_t multiplier) {
  return static_cast<std::size_t>(((ending ^ head) * multiplier) >>
                                  (64 - slot_bits));
}

constexpr std::size_t key_slot_of(const keyword_rename& rename,
                                  std::uint64_t multiplier) {
  const char* key = rename.old_keyword;
  auto length = static_cast<std::uint32_t>(rename.old_length);
  return key_slot_of(quad_value(key),
                     ending_of(quad_value(key + length - quad_size), length),
                     multiplier);
}

struct key_table {
  // What the rewrite of a line needs from its rename; a power of two in
  // size, so that a slot's address is one shifted index.
  struct alignas(128) slot {
    char first[first_size];  // the old key's first bytes, zero past its end
    char mask[first_size];   // all ones over those of them in the key
    char new_key[32];        // zero past its end
    std::uint64_t ending;    // the old key's last four bytes, as loaded,
                             // and its length above them; zero when free
    std::uint8_t length;     // of the old key
    std::uint8_t new_length;
    std::uint8_t row;
  };
  std::uint64_t multiplier;
  slot slots[std::size_t{1} << slot_bits];
  bool may_begin_key[256];
};

static_assert(longest_keyword(&keyword_rename::new_length) <= sizeof(key_table::slot::new_key));

// A multiplier that gives every key a slot of its own.
constexpr std::uint64_t find_multiplier() {
  constexpr std::uint64_t start = 0x9e3779b97f4a7c15u;
  for (std::uint64_t multiplier = start; multiplier < start + 20000;
       multiplier += 2) {
    bool taken[std::size_t{1} << slot_bits] = {};
    bool clash = false;
    for (const keyword_rename& rename : keyword_renames) {
      std::size_t slot = key_slot_of(rename, multiplier);
      clash = clash || taken[slot];
      taken[slot] = true;
    }
    if (!clash) {
      return multiplier;
    }
  }
  return 0;
}

constexpr key_table make_key_table() {
  key_table table{};
  table.multiplier = find_multiplier();
  for (std::uint8_t row = 0; row < std::size(keyword_renames); ++row) {
    const keyword_rename& rename = keyword_renames[row];
    std::size_t index = key_slot_of(rename, table.multiplier);
    key_table::slot& slot = table.slots[index];
    for (std::size_t i = 0;
         i < static_cast<std::size_t>(rename.old_length) && i < first_size;
         ++i) {
      slot.first[i] = rename.old_keyword[i];
      slot.mask[i] = '\xff';
    }
    for (std::int32_t i = 0; i < rename.new_length; ++i) {
      slot.new_key[i] = rename.new_keyword[i];
    }
    slot.ending = ending_of(
        quad_value(rename.old_keyword + rename.old_length - quad_size),
        static_cast<std::uint32_t>(rename.old_length));
    slot.length = static_cast<std::uint8_t>(rename.old_length);
    slot.new_length = static_cast<std::uint8_t>(rename.new_length);
    slot.row = row;
    table.may_begin_key[static_cast<unsigned char>(rename.old_keyword[0])] =
        true;
  }
  return table;
}

constexpr key_table by_key = make_key_table();
static_assert(by_key.multiplier != 0, "no multiplier keeps the keys apart");

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

[[maybe_unused]] bool ends_key(char c) {
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
  return by_key.may_begin_key[static_cast<unsigned char>(c)];
}

// The slot of the one rename whose old key may begin the word at `word`,
// and in `*found` whether it does, followed by a space, a tab or a colon;
// key_window bytes must be readable there. Bytes past the word's line do
// no harm: a first word that runs into them holds a line end, which no key
// does. This takes no branch: which keys begin lines is a matter of the
// data, and each mispredicted branch costs more than these few steps.
inline const key_table::slot& candidate_at(const char* word, bool* found) {
#if defined(__SSE2__) || defined(_M_X64)
  __m128i rest =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(word + key_end_from));
  __m128i key_ends =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(rest, _mm_set1_epi8(' ')),
                                _mm_cmpeq_epi8(rest, _mm_set1_epi8('\t'))),
                   _mm_cmpeq_epi8(rest, _mm_set1_epi8(':')));
  auto length = static_cast<std::uint32_t>(
      key_end_from +
      std::countr_zero(static_cast<std::uint32_t>(_mm_movemask_epi8(key_ends)) |
                       std::uint32_t{1} << first_size));
#else
  std::uint32_t length = key_end_from;
  while (length < key_window && !ends_key(word[length])) {
    ++length;
  }
#endif
  std::uint64_t ending = ending_of(load32(word + length - quad_size), length);
  std::size_t index = key_slot_of(load32(word), ending, by_key.multiplier);
  const key_table::slot& slot = by_key.slots[index];
#if defined(__SSE2__) || defined(_M_X64)
  __m128i first = _mm_and_si128(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(word)),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(slot.mask)));
  bool same_first = _mm_movemask_epi8(_mm_cmpeq_epi8(
                        first, _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                   slot.first)))) == 0xffff;
#else
  bool same_first = true;
  for (std::size_t i = 0; i < first_size; ++i) {
    same_first = same_first && (word[i] & slot.mask[i]) == slot.first[i];
  }
#endif
  *found = same_first & (ending == slot.ending);
  return slot;
}

// The rename whose old key begins the word at `word`, followed by a space,
// a tab or a colon; key_window bytes must be readable there.
const keyword_rename* key_at(const char* word) {
  bool found;
  const key_table::slot& slot = candidate_at(word, &found);
  return found ? &keyword_renames[slot.row] : nullptr;
}

// The same for a word of which only `length` bytes may be looked at.
const keyword_rename* match_key(const char* word, std::size_t length) {
  char window[key_window] = {};
  std::memcpy(window, word, std::min(length, key_window));
  return key_at(window);
}

// Whether the start of a line whose line end has not been read yet holds
// enough to decide it.
bool head_decided(const char* text, std::size_t length) {
  std::size_t blanks = count_blanks(text, length);
  return blanks < length &&
         (length - blanks >= decision_size || !may_begin_key(text[blanks]));
}

// Line ends are looked for in pieces of this size from a line's start. A
// piece, like every other fixed-size load from a line whose end is in the
// buffer, may reach past the bytes read into the input block's slack,
// which is cleared.
constexpr std::size_t scan_size = 64;
static_assert(scan_size >= key_window,
              "key_at may look at a whole window from a line's last byte");

// A line this long or shorter, line end included, whose indentation is
// shorter than this, is rewritten with fixed-size copies, from within the
// line, that may spill into the slack after the output block.
constexpr std::size_t short_line = scan_size;
constexpr std::size_t short_indentation = 16;
constexpr std::size_t output_slack =
    short_indentation + sizeof(key_table::slot::new_key) + short_line;

// Reads and writes are fastest from a buffer that starts a line of memory.
constexpr std::size_t memory_line = 64;
static_assert(block_size % memory_line == 0);

alignas(memory_line) char input[block_size + scan_size];
alignas(memory_line) char output[block_size + output_slack];

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

// The steps of the short-line loop that differ from one processor to
// another: finding line ends, and copying a short line. `line_ends` sets
// bit i when bytes[i] ends a line, for the scan_size bytes at `bytes`.
struct baseline_steps {
  static std::uint64_t line_ends(const char* bytes) {
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

  static void copy_line(char* to, const char* from) {
    std::memcpy(to, from, short_line);
  }

  static void copy_key(char* to, const char* from) {
    std::memcpy(to, from, sizeof key_table::slot::new_key);
  }
};

#if defined(__x86_64__) && defined(__GNUC__)
// Only ever called where the processor is known to have AVX2.
struct avx2_steps {
  static_assert(scan_size == 64, "a piece is two 32-byte vectors");

  __attribute__((target("avx2"))) static std::uint64_t line_ends(
      const char* bytes) {
    const __m256i newline = _mm256_set1_epi8('\n');
    auto low =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)),
            newline)));
    auto high =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32)),
            newline)));
    return low | static_cast<std::uint64_t>(high) << 32;
  }

  __attribute__((target("avx2"))) static void copy_line(char* to,
                                                        const char* from) {
    for (std::size_t i = 0; i < short_line; i += 32) {
      _mm256_storeu_si256(
          reinterpret_cast<__m256i*>(to + i),
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + i)));
    }
  }

  __attribute__((target("avx2"))) static void copy_key(char* to,
                                                       const char* from) {
    static_assert(sizeof key_table::slot::new_key == 32);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(to),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
  }
};
#endif

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
  // Bit 16 stands for a seventeenth byte that is no blank.
  return static_cast<std::size_t>(
      std::countr_zero(~blanks | std::uint32_t{1} << 16));
#else
  std::size_t count = 0;
  while (count < 16 && is_blank(text[count])) {
    ++count;
  }
  return count;
#endif
}

// A whole line, line end included, of any length.
int rewrite_line(writer& out, const char* line, std::size_t size) {
  const char* word = line + count_blanks(line, size);
  const keyword_rename* rename = key_at(word);
  if (rename == nullptr) {
    return put(out, line, size);
  }
  auto skip = static_cast<std::size_t>(word - line) +
              static_cast<std::size_t>(rename->old_length);
  return put_head(out, static_cast<std::size_t>(word - line), *rename) &&
         put(out, line + skip, size - skip);
}

// Rewrites short lines from `line` on, and returns where it stopped: at
// `end`, at a line that is not short, or when the output block is full.
// This loop carries nearly every line, and whether a line begins with a
// key is a matter of the data that no branch predictor can guess. So a
// short line goes out the same way whatever it holds: the new head is
// always stored, and the line's bytes after it, or over it when there is
// no key, with fixed-size copies; only the sizes differ. The loop calls
// nothing, so that its constants stay in registers.
template <class steps>
const char* rewrite_short_lines(const char* line, const char* end,
                                std::size_t* output_length) {
  std::size_t length = *output_length;
  while (line < end && length < block_size) {
    std::uint64_t ends = steps::line_ends(line);
    std::size_t blanks = leading_blanks(line);
    if ((ends == 0) | (blanks == short_indentation)) {
      break;
    }
    auto size = static_cast<std::size_t>(std::countr_zero(ends)) + 1;
    bool found;
    const key_table::slot& slot = candidate_at(line + blanks, &found);
    std::size_t take = std::size_t{0} - found;
    std::size_t head = (blanks + slot.new_length) & take;
    std::size_t skip = (blanks + slot.length) & take;
    char* to = output + length;
    std::memset(to, ' ', short_indentation);
    steps::copy_key(to + blanks, slot.new_key);
    steps::copy_line(to + head, line + skip);
    length += head + size - skip;
    line += size;
  }
  *output_length = length;
  return line;
}

// Rewrites the complete lines from input[*pos]; `*pos` ends where the
// first line without its line end in the buffer begins.
template <class steps>
int rewrite_lines_with(reader& in, writer& out, std::size_t* pos) {
  const char* const end = input + in.length;
  // Bytes left after the end from an earlier block must not pass for line
  // ends; clearing them here saves a check on every line.
  std::memset(input + in.length, 0, scan_size);
  const char* line = input + *pos;
  for (;;) {
    line = rewrite_short_lines<steps>(line, end, &out.length);
    if (out.length >= block_size) {
      if (!out.sink.write(out.sink.context, output, block_size)) {
        return 0;
      }
      out.length -= block_size;
      std::memcpy(output, output + block_size, out.length);
      continue;
    }
    const void* line_end =
        line < end
            ? std::memchr(line, '\n', static_cast<std::size_t>(end - line))
            : nullptr;
    if (line_end == nullptr) {
      break;
    }
    auto size =
        static_cast<std::size_t>(static_cast<const char*>(line_end) - line + 1);
    if (!rewrite_line(out, line, size)) {
      return 0;
    }
    line += size;
  }
  *pos = static_cast<std::size_t>(line - input);
  return 1;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Everything the loop calls is compiled into it here for AVX2, the SSE2
// steps included, which then take three operands instead of two.
__attribute__((target("avx2"), flatten)) int rewrite_lines_avx2(
    reader& in, writer& out, std::size_t* pos) {
  return rewrite_lines_with<avx2_steps>(in, out, pos);
}
#endif

int rewrite_lines(reader& in, writer& out, std::size_t* pos) {
#if defined(__x86_64__) && defined(__GNUC__)
  // The check also asks whether the operating system saves the wider
  // registers. It only reads a flag set at start, so it is made for each
  // block rather than kept in a static, which would need a guard.
  if (__builtin_cpu_supports("avx2")) {
    return rewrite_lines_avx2(in, out, pos);
  }
#endif
  return rewrite_lines_with<baseline_steps>(in, out, pos);
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
      // Whole lines of memory are dropped, so that every read lands at
      // the same place within a line of memory as its bytes have in the
      // file: the kernel copies such reads at twice the speed. Only a full
      // buffer drops exactly what is done.
      std::size_t drop = pos - pos % memory_line;
      if (drop == 0 && in.length == block_size) {
        drop = pos;
      }
      if (!refill(in, drop)) {
        return 0;
      }
      pos -= drop;
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
