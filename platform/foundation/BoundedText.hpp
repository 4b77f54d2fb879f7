#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavik {

// Collects a stream of text, typically a tool's output, keeping at most
// `headLimit` bytes from its start and `tailLimit` bytes from its end, so a
// tool that talks without end costs bounded memory while the first and last
// words (where a tool says what went wrong) stay readable.
class BoundedText {
public:
    BoundedText(std::size_t headLimit, std::size_t tailLimit);

    void append(std::string_view data);
    // Everything seen, or its start, a note of how much was left out, and
    // its end. Never cuts a UTF-8 sequence in two.
    std::string text() const;
    bool overflowed() const { return leftOut_ > 0; }
    std::size_t totalSize() const { return head_.size() + leftOut_ + tail_.size(); }

private:
    std::size_t headLimit_;
    std::size_t tailLimit_;
    std::string head_;
    std::string tail_;
    std::size_t leftOut_ = 0;
};

// The text itself when it fits in `limit` bytes, else its start and end with
// a note of what was left out between them (at most `limit` bytes plus the note).
std::string abridged(std::string_view text, std::size_t limit);

} // namespace tavik
