// libFuzzer target over the line rewrite. It checks properties, not only
// that nothing crashes:
//  - the result equals a plain line-by-line model of the rule: a line that
//    begins with no old key comes out byte for byte; a rewritten line is
//    one space per blank of its indentation, the new key and the unchanged
//    rest of the line;
//  - rewriting the result again changes nothing;
//  - the result does not depend on how the input is split into reads;
//  - a source that fails part-way makes the rewrite fail, with only a
//    beginning of the result written.
//
// Input: the first byte chooses how reads are split; the rest is the text,
// except that 0xFE followed by a count n stands for n * 512 blanks (while
// the text is shorter than 128 KiB), so that short inputs can reach lines
// whose indentation fills the 64 KiB block.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "keywords.hpp"
#include "line_model.hpp"

namespace {

struct memory_source {
  const std::string& text;
  std::uint8_t split;          // 0: reads as large as asked for
  std::size_t fail_at_read;    // 0: never fail
  std::size_t pos = 0;
  std::size_t reads = 0;
};

int read_memory(void* context, char* buffer, std::size_t size,
                std::size_t* count) {
  auto* source = static_cast<memory_source*>(context);
  ++source->reads;
  if (source->reads == source->fail_at_read) {
    return 0;
  }
  std::size_t limit = size;
  if (source->split != 0) {
    // Uneven pieces, from one byte up, that change from read to read. A
    // long text comes in fewer, larger pieces: the rewrite looks at what
    // it holds again after each read, which tiny reads of a long
    // indentation make slow, though never wrong.
    limit = 1 + source->text.size() / 64 +
            (source->split * 131u + source->reads * 977u) %
                (source->split * 61u + 1);
  }
  *count = std::min({size, limit, source->text.size() - source->pos});
  std::memcpy(buffer, source->text.data() + source->pos, *count);
  source->pos += *count;
  return 1;
}

int seek_memory(void* context, std::uint64_t offset) {
  auto* source = static_cast<memory_source*>(context);
  if (offset > source->text.size()) {
    std::abort();  // the rewrite only ever goes back to what it has read
  }
  source->pos = static_cast<std::size_t>(offset);
  return 1;
}

int write_memory(void* context, const char* data, std::size_t size) {
  static_cast<std::string*>(context)->append(data, size);
  return 1;
}

// Returns rewrite_text's result; `*reads` counts the reads it asked for.
int rewrite(const std::string& text, std::uint8_t split,
            std::size_t fail_at_read, std::string* result,
            std::size_t* reads = nullptr) {
  memory_source source{text, split, fail_at_read};
  int ok = rewrite_text({read_memory, seek_memory, &source},
                        {write_memory, result});
  if (reads != nullptr) {
    *reads = source.reads;
  }
  return ok;
}

[[noreturn]] void fail(const char* property) {
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::uint8_t split = data[0];
  std::string text;
  for (std::size_t i = 1; i < size; ++i) {
    // Two blocks' worth of text is enough to cross every boundary.
    if (data[i] == 0xFE && i + 1 < size && text.size() < (1u << 17)) {
      std::uint8_t count = data[++i];
      text.append(std::size_t{count} * 512, count % 2 != 0 ? '\t' : ' ');
    } else {
      text += static_cast<char>(data[i]);
    }
  }

  std::string whole;
  if (rewrite(text, 0, 0, &whole) != 1) {
    fail("a rewrite that cannot fail reported failure");
  }
  if (whole != model_rewrite(text)) {
    fail("the result differs from the line-by-line rule");
  }
  std::string split_up;
  std::size_t reads = 0;
  if (rewrite(text, split == 0 ? 1 : split, 0, &split_up, &reads) != 1 ||
      split_up != whole) {
    fail("the result depends on how the input is split into reads");
  }
  std::string again;
  if (rewrite(whole, split, 0, &again) != 1 || again != whole) {
    fail("rewriting the result changed it");
  }
  std::string cut;
  std::size_t fail_at = 1 + split % reads;
  if (rewrite(text, split == 0 ? 1 : split, fail_at, &cut) != 0) {
    fail("a failing source did not make the rewrite fail");
  }
  if (whole.compare(0, cut.size(), cut) != 0) {
    fail("a failed rewrite wrote something other than a beginning");
  }
  return 0;
}
