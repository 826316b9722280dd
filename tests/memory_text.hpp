// A source and a sink for the rewrite held in memory: the source serves a
// text in reads of at most `chunk` bytes, as a file may, and either may be
// told to fail at its n-th call.
#ifndef CNFUPGRADE_TESTS_MEMORY_TEXT_HPP
#define CNFUPGRADE_TESTS_MEMORY_TEXT_HPP

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "keywords.hpp"

struct counted_source {
  const std::string& text;
  std::size_t chunk;
  std::size_t fail_at = 0;  // 0: never
  std::size_t pos = 0;
  std::size_t calls = 0;
};

inline int read_counted(void* context, char* buffer, std::size_t size,
                        std::size_t* count) {
  auto* source = static_cast<counted_source*>(context);
  if (++source->calls == source->fail_at) {
    return 0;
  }
  *count = std::min({size, source->chunk, source->text.size() - source->pos});
  std::memcpy(buffer, source->text.data() + source->pos, *count);
  source->pos += *count;
  return 1;
}

inline int seek_counted(void* context, std::uint64_t offset) {
  auto* source = static_cast<counted_source*>(context);
  if (++source->calls == source->fail_at) {
    return 0;
  }
  source->pos = static_cast<std::size_t>(offset);
  return 1;
}

struct counted_sink {
  std::size_t fail_at = 0;  // 0: never
  std::string text;
  std::size_t calls = 0;
};

inline int write_counted(void* context, const char* data, std::size_t size) {
  auto* sink = static_cast<counted_sink*>(context);
  if (++sink->calls == sink->fail_at) {
    return 0;
  }
  sink->text.append(data, size);
  return 1;
}

inline text_source source_of(counted_source& source) {
  return {read_counted, seek_counted, &source};
}

inline text_sink sink_of(counted_sink& sink) { return {write_counted, &sink}; }

#endif  // CNFUPGRADE_TESTS_MEMORY_TEXT_HPP
