#include "platform/foundation/BoundedText.hpp"

#include <algorithm>

namespace tavik {
namespace {

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Where a cut at `position` lands on the start of a UTF-8 sequence.
std::size_t sequenceStartAtOrBefore(std::string_view text, std::size_t position)
{
    while (position > 0 && isContinuationByte(text[position]))
        --position;
    return position;
}

std::size_t sequenceStartAtOrAfter(std::string_view text, std::size_t position)
{
    while (position < text.size() && isContinuationByte(text[position]))
        ++position;
    return position;
}

// The length of the longest start of `text` that ends where a UTF-8
// sequence ends.
std::size_t completeSequencesLength(std::string_view text)
{
    std::size_t start = text.size();
    for (std::size_t back = 0; back < 4 && start > 0; ++back) {
        --start;
        const auto byte = static_cast<unsigned char>(text[start]);
        if (isContinuationByte(text[start]))
            continue;
        const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4
            : byte >= 0xE0                                        ? 3
            : byte >= 0xC0                                        ? 2
                                                                  : 1;
        return start + length <= text.size() ? text.size() : start;
    }
    return text.size();
}

std::string leftOutNote(std::size_t bytes) { return "\n[" + std::to_string(bytes) + " bytes left out]\n"; }

} // namespace

BoundedText::BoundedText(std::size_t headLimit, std::size_t tailLimit)
    : headLimit_(headLimit)
    , tailLimit_(tailLimit)
{
}

void BoundedText::append(std::string_view data)
{
    if (head_.size() < headLimit_) {
        const std::size_t taken = std::min(data.size(), headLimit_ - head_.size());
        head_.append(data.substr(0, taken));
        data.remove_prefix(taken);
    }
    if (data.empty())
        return;
    tail_.append(data);
    // The tail may grow to twice its limit before the surplus goes, so that
    // a stream of small pieces does not move the tail on every one.
    if (tail_.size() > 2 * tailLimit_) {
        const std::size_t surplus = tail_.size() - tailLimit_;
        tail_.erase(0, surplus);
        leftOut_ += surplus;
    }
}

std::string BoundedText::text() const
{
    std::string_view tail = tail_;
    std::size_t dropped = leftOut_;
    if (tail.size() > tailLimit_) {
        dropped += tail.size() - tailLimit_;
        tail.remove_prefix(tail.size() - tailLimit_);
    }
    if (dropped == 0)
        return head_ + std::string(tail);
    std::string_view head = head_;
    const std::size_t headEnd = completeSequencesLength(head);
    const std::size_t tailStart = sequenceStartAtOrAfter(tail, 0);
    dropped += (head.size() - headEnd) + tailStart;
    return std::string(head.substr(0, headEnd)) + leftOutNote(dropped) + std::string(tail.substr(tailStart));
}

std::string abridged(std::string_view text, std::size_t limit)
{
    if (text.size() <= limit)
        return std::string(text);
    const std::size_t headEnd = sequenceStartAtOrBefore(text, limit * 3 / 4);
    const std::size_t tailStart = sequenceStartAtOrAfter(text, text.size() - limit / 4);
    return std::string(text.substr(0, headEnd)) + leftOutNote(tailStart - headEnd) + std::string(text.substr(tailStart));
}

} // namespace tavik
