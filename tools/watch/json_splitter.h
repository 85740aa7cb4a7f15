// Cuts a byte stream of JSON objects sent back to back, without separators, into single texts.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace hdgrab::watch {

// Longest object text kept; a longer one is dropped (and counted) instead of growing the buffer
// without bound when a peer sends something that never closes.
inline constexpr size_t kMaxObjectSize = 64 * 1024;

// Incremental splitter: bytes may arrive in any pieces (one message across several reads, several
// messages in one read). Each byte is looked at once. Objects are recognised by their brackets,
// with strings and escapes inside them respected, so braces inside string values do not count.
// Bytes between objects that are not white space are skipped and counted. The texts are not
// validated as JSON here; the caller parses them.
class JsonObjectSplitter {
  public:
    explicit JsonObjectSplitter(size_t max_object_size = kMaxObjectSize);

    // Adds the next bytes of the stream.
    void feed(std::string_view bytes);
    // The oldest complete object text not yet taken, or nothing when none is complete.
    std::optional<std::string> next();
    // Forgets every partial and complete object (after a reconnect) and the counters.
    void reset();

    // Non-white-space bytes skipped between objects since the last call; resets the count.
    size_t take_skipped_bytes();
    // Objects dropped for exceeding the size limit since the last call; resets the count.
    size_t take_dropped_objects();
    // True while an object has started but not yet ended.
    bool in_object() const { return depth_ > 0; }

  private:
    void consume(char c);
    void finish_object();

    size_t max_object_size_;
    std::deque<std::string> complete_;
    std::string current_;
    size_t depth_ = 0;
    bool in_string_ = false;
    bool escaped_ = false;
    bool dropping_ = false;
    size_t skipped_bytes_ = 0;
    size_t dropped_objects_ = 0;
};

}  // namespace hdgrab::watch
