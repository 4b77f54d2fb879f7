#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::options {

// A choice shown to the user: it has a title and compares for equality.
template <class T>
concept UserConfigurationOption = std::equality_comparable<T> && requires(const T& option)
{
    {
        option.title()
        } -> std::convertible_to<std::string>;
};

// One row of an option's table: the raw value stored in the user defaults,
// and the title, either as it stands or as a key of the string table.
struct OptionCase {
    std::string_view rawValue;
    std::string_view title;
    bool titleIsLocalizedKey = false;
};

// The title of a row, looked up in the string table when it is a key.
std::string optionTitle(const OptionCase& row);

// A closed enumeration stored by its raw string and shown by its title. The
// table type gives the cases (`enum Case`, in table order), `cases` (one row
// per case, same order) and `typeName`. The enumerators are reachable through
// the option type: FileFoundActionOption::ignore.
template <class Table>
class RawStringOption : public Table {
public:
    using Case = typename Table::Case;
    using RawValue = std::string;

    constexpr RawStringOption(Case value)
        : value_(value)
    {
    }

    // No value for a string outside the table; the match is exact, case included.
    static std::optional<RawStringOption> fromRawValue(std::string_view rawValue)
    {
        for (std::size_t index = 0; index < std::size(Table::cases); ++index) {
            if (Table::cases[index].rawValue == rawValue)
                return RawStringOption(static_cast<Case>(index));
        }
        return std::nullopt;
    }

    static const std::vector<RawStringOption>& allCases()
    {
        static const std::vector<RawStringOption> all = [] {
            std::vector<RawStringOption> result;
            for (std::size_t index = 0; index < std::size(Table::cases); ++index)
                result.emplace_back(static_cast<Case>(index));
            return result;
        }();
        return all;
    }

    std::string rawValue() const { return std::string(row().rawValue); }
    std::string title() const { return optionTitle(row()); }

    // Lets a switch and comparisons use the cases directly.
    constexpr operator Case() const { return value_; }
    constexpr Case value() const { return value_; }

private:
    const OptionCase& row() const { return Table::cases[static_cast<std::size_t>(value_)]; }

    Case value_;
};

} // namespace tavik::options

// Hashing goes through the raw string, as equality does (one case, one raw value).
template <class Table>
struct std::hash<tavik::options::RawStringOption<Table>> {
    std::size_t operator()(const tavik::options::RawStringOption<Table>& option) const noexcept
    {
        return std::hash<std::string_view>()(Table::cases[static_cast<std::size_t>(option.value())].rawValue);
    }
};
