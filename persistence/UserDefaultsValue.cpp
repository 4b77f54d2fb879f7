#include "persistence/UserDefaultsValue.hpp"

#include "platform/defaults/UserDefaults.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

namespace tavik::persistence {

std::optional<int64_t> Number::exactInteger() const
{
    switch (kind()) {
    case Kind::integer:
        return std::get<int64_t>(value_);
    case Kind::boolean:
        return std::get<bool>(value_) ? 1 : 0;
    case Kind::real: {
        double real = std::get<double>(value_);
        // 2^63 itself is out of range; every smaller integral double fits.
        if (std::trunc(real) == real && real >= -9223372036854775808.0 && real < 9223372036854775808.0)
            return static_cast<int64_t>(real);
        return std::nullopt;
    }
    }
    return std::nullopt;
}

std::optional<bool> Number::exactBoolean() const
{
    if (kind() == Kind::boolean)
        return std::get<bool>(value_);
    auto integer = exactInteger();
    if (integer == 0 || integer == 1)
        return *integer == 1;
    return std::nullopt;
}

std::optional<double> Number::exactReal() const
{
    switch (kind()) {
    case Kind::real:
        return std::get<double>(value_);
    case Kind::boolean:
        return std::get<bool>(value_) ? 1.0 : 0.0;
    case Kind::integer: {
        int64_t integer = std::get<int64_t>(value_);
        auto real = static_cast<double>(integer);
        if (real >= 9223372036854775808.0 || static_cast<int64_t>(real) != integer)
            return std::nullopt;
        return real;
    }
    }
    return std::nullopt;
}

std::string Number::description() const
{
    switch (kind()) {
    case Kind::integer:
        return std::to_string(std::get<int64_t>(value_));
    case Kind::boolean:
        return std::get<bool>(value_) ? "1" : "0";
    case Kind::real:
        return fmt::format("{}", std::get<double>(value_));
    }
    return {};
}

bool Number::operator==(const Number& other) const
{
    if (kind() != Kind::real && other.kind() != Kind::real)
        return *exactInteger() == *other.exactInteger();
    if (kind() == Kind::real && other.kind() == Kind::real)
        return std::get<double>(value_) == std::get<double>(other.value_);
    // An integer and a real: equal when the real is that integer exactly.
    const Number& real = kind() == Kind::real ? *this : other;
    const Number& integer = kind() == Kind::real ? other : *this;
    auto exact = real.exactInteger();
    return exact && *exact == *integer.exactInteger();
}

std::optional<UserDefaultsValue> UserDefaultsValue::fromPropertyList(const plist::PropertyList& object)
{
    using Kind = plist::PropertyList::Kind;
    switch (object.kind()) {
    case Kind::string:
        return UserDefaultsValue(*object.string());
    case Kind::data:
        return UserDefaultsValue(object.sharedData());
    case Kind::integer:
        return UserDefaultsValue(Number(*object.integer()));
    case Kind::real:
        return UserDefaultsValue(Number(*object.real()));
    case Kind::boolean:
        return UserDefaultsValue(Number(*object.boolean()));
    case Kind::date:
        return std::nullopt;
    case Kind::array: {
        Array array;
        array.reserve(object.array()->size());
        for (const auto& element : *object.array()) {
            auto converted = fromPropertyList(element);
            if (!converted)
                return std::nullopt;
            array.push_back(std::move(*converted));
        }
        return UserDefaultsValue(std::move(array));
    }
    case Kind::dictionary: {
        Dictionary dictionary;
        for (const auto& [key, element] : *object.dictionary()) {
            auto converted = fromPropertyList(element);
            if (!converted)
                return std::nullopt;
            dictionary.emplace(key, std::move(*converted));
        }
        return UserDefaultsValue(std::move(dictionary));
    }
    }
    return std::nullopt;
}

plist::PropertyList UserDefaultsValue::propertyList() const
{
    switch (kind()) {
    case Kind::string:
        return plist::PropertyList(*asString());
    case Kind::data:
        return plist::PropertyList(sharedData());
    case Kind::url:
        return plist::PropertyList(defaults::UserDefaults::encodeURL(*asURL()));
    case Kind::number:
        switch (asNumber()->kind()) {
        case Number::Kind::integer:
            return plist::PropertyList(*asNumber()->exactInteger());
        case Number::Kind::boolean:
            return plist::PropertyList(*asNumber()->exactBoolean());
        case Number::Kind::real:
            return plist::PropertyList(*asNumber()->exactReal());
        }
        break;
    case Kind::array: {
        plist::PropertyList::Array array;
        array.reserve(asArray()->size());
        for (const auto& element : *asArray())
            array.push_back(element.propertyList());
        return plist::PropertyList(std::move(array));
    }
    case Kind::dictionary: {
        plist::PropertyList::Dictionary dictionary;
        for (const auto& [key, element] : *asDictionary())
            dictionary.emplace(key, element.propertyList());
        return plist::PropertyList(std::move(dictionary));
    }
    }
    return {};
}

bool UserDefaultsValue::operator==(const UserDefaultsValue& other) const
{
    if (kind() != other.kind())
        return false;
    switch (kind()) {
    case Kind::string:
        return *asString() == *other.asString();
    case Kind::data:
        return asData() == other.asData() || *asData() == *other.asData();
    case Kind::url:
        return *asURL() == *other.asURL();
    case Kind::number:
        return *asNumber() == *other.asNumber();
    case Kind::array:
        return asArray() == other.asArray() || *asArray() == *other.asArray();
    case Kind::dictionary:
        return asDictionary() == other.asDictionary() || *asDictionary() == *other.asDictionary();
    }
    return false;
}

std::string UserDefaultsValue::description() const
{
    switch (kind()) {
    case Kind::url:
        return asURL()->description();
    case Kind::number:
        return asNumber()->description();
    default:
        return propertyList().description();
    }
}

} // namespace tavik::persistence
