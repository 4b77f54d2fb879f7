#pragma once

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Result.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavik::plist {

using Data = std::vector<uint8_t>;

// A property-list date: seconds since 2001-01-01 00:00:00 UTC, the epoch the
// format counts from. The XML form keeps whole seconds only.
struct Date {
    double secondsSinceReferenceDate = 0;
    bool operator==(const Date&) const = default;
};

// One property-list value: a string, data, an integer, a real, a Boolean, a
// date, an array or a dictionary with string keys. Integers, reals and
// Booleans stay distinct, in memory and in the files written. Values are
// plain C++ values: copies are independent. Data, arrays and dictionaries
// are shared between copies until one of them is changed, so copying a
// large value is cheap.
class PropertyList {
public:
    enum class Kind {
        string,
        data,
        integer,
        real,
        boolean,
        date,
        array,
        dictionary
    };
    using Array = std::vector<PropertyList>;
    using Dictionary = std::map<std::string, PropertyList>;

    // An empty dictionary.
    PropertyList();
    // Out of line: GCC 12 reports false "maybe uninitialized" warnings when
    // moves of the recursive variant are inlined.
    PropertyList(const PropertyList& other);
    PropertyList(PropertyList&& other) noexcept;
    PropertyList& operator=(const PropertyList& other);
    PropertyList& operator=(PropertyList&& other) noexcept;
    ~PropertyList();
    PropertyList(std::string value);
    PropertyList(const char* value);
    PropertyList(Data value);
    PropertyList(std::shared_ptr<const Data> value);
    PropertyList(int64_t value);
    PropertyList(int value);
    PropertyList(double value);
    PropertyList(bool value);
    PropertyList(Date value);
    PropertyList(Array value);
    PropertyList(Dictionary value);

    Kind kind() const;

    // The value when it is of that kind, else nothing (no conversions).
    const std::string* string() const;
    const Data* data() const;
    // The bytes, shared with this value (no copy).
    std::shared_ptr<const Data> sharedData() const;
    std::optional<int64_t> integer() const;
    std::optional<double> real() const;
    std::optional<bool> boolean() const;
    std::optional<Date> date() const;
    const Array* array() const;
    const Dictionary* dictionary() const;
    // For changing the array or dictionary in place (unsharing it first).
    Array* array();
    Dictionary* dictionary();

    // The value under a key of a dictionary; nothing for a missing key or a
    // value that is not a dictionary.
    const PropertyList* find(std::string_view key) const;

    // Reads a property list in XML or binary form. Binary property lists are
    // coded by our own coder, XML ones by libplist.
    static Result<PropertyList> parse(std::string_view bytes);
    static Result<PropertyList> parse(const Data& bytes);
    static Result<PropertyList> readFile(const std::filesystem::path& path);

    std::string binaryRepresentation() const;
    std::string xmlRepresentation() const;

    // A short readable form for messages, e.g. {"A" = (1, "b")}.
    std::string description() const;

    bool operator==(const PropertyList& other) const;

private:
    template <class T>
    using Shared = std::shared_ptr<T>;
    std::variant<std::string, Shared<const Data>, int64_t, double, bool, Date, Shared<Array>, Shared<Dictionary>> value_;
};

// Why bytes could not be read as a property list.
class PropertyListError final : public Error {
public:
    enum class Code {
        notAPropertyList = 1,
        unreadableFile = 2
    };

    PropertyListError(Code code, std::string detail);
    static ErrorPtr make(Code code, std::string detail);

    Code errorCode() const { return code_; }

    std::string description() const override;
    std::string domain() const override { return "PropertyListError"; }
    int code() const override { return static_cast<int>(code_); }

private:
    Code code_;
    std::string detail_;
};

} // namespace tavik::plist
