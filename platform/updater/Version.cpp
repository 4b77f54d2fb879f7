#include "platform/updater/Version.hpp"

#include <cctype>
#include <string>
#include <vector>

namespace tavik::updater {

namespace {

struct Part {
    bool isNumber;
    std::string text; // digits without leading zeros, or the text run
};

std::vector<Part> parts(std::string_view version)
{
    std::vector<Part> result;
    size_t index = 0;
    while (index < version.size()) {
        auto character = static_cast<unsigned char>(version[index]);
        if (std::isdigit(character)) {
            size_t end = index;
            while (end < version.size() && std::isdigit(static_cast<unsigned char>(version[end])))
                ++end;
            auto digits = version.substr(index, end - index);
            while (digits.size() > 1 && digits.front() == '0')
                digits.remove_prefix(1);
            result.push_back({true, std::string(digits)});
            index = end;
        } else if (std::isalpha(character)) {
            size_t end = index;
            while (end < version.size() && std::isalpha(static_cast<unsigned char>(version[end])))
                ++end;
            result.push_back({false, std::string(version.substr(index, end - index))});
            index = end;
        } else {
            ++index; // a separator
        }
    }
    return result;
}

// Numbers of any length, as their digit strings without leading zeros.
std::strong_ordering compareNumbers(const std::string& first, const std::string& second)
{
    if (first.size() != second.size())
        return first.size() <=> second.size();
    return first.compare(second) <=> 0;
}

// How the remaining parts of the longer version compare with nothing.
std::strong_ordering compareRestWithNothing(const std::vector<Part>& rest, size_t from)
{
    for (size_t index = from; index < rest.size(); ++index) {
        if (!rest[index].isNumber)
            return std::strong_ordering::less; // a pre-release of the shorter one
        if (rest[index].text != "0")
            return std::strong_ordering::greater;
    }
    return std::strong_ordering::equal;
}

} // namespace

std::strong_ordering compareVersions(std::string_view first, std::string_view second)
{
    auto left = parts(first);
    auto right = parts(second);
    size_t index = 0;
    for (; index < left.size() && index < right.size(); ++index) {
        const auto& a = left[index];
        const auto& b = right[index];
        if (a.isNumber != b.isNumber)
            return a.isNumber ? std::strong_ordering::greater : std::strong_ordering::less; // release after pre-release
        auto order = a.isNumber ? compareNumbers(a.text, b.text) : (a.text.compare(b.text) <=> 0);
        if (order != 0)
            return order;
    }
    if (index < left.size())
        return compareRestWithNothing(left, index);
    if (index < right.size())
        return 0 <=> compareRestWithNothing(right, index);
    return std::strong_ordering::equal;
}

} // namespace tavik::updater
