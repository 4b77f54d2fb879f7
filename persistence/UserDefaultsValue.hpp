#pragma once

#include "persistence/PersistenceError.hpp"
#include "persistence/Transformer.hpp"
#include "persistence/TypeName.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/plist/PropertyList.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace tavik::persistence {

using Data = std::vector<uint8_t>;

// A number as the user defaults keep it: an integer, a Boolean or a floating
// point value, each kept as such in the file. Numbers compare by value, so
// true equals 1 and 2 equals 2.0.
class Number {
public:
    enum class Kind {
        integer,
        boolean,
        real
    };

    Number(int64_t value)
        : value_(value)
    {
    }
    Number(int value)
        : value_(int64_t(value))
    {
    }
    Number(bool value)
        : value_(value)
    {
    }
    Number(double value)
        : value_(value)
    {
    }

    Kind kind() const { return static_cast<Kind>(value_.index()); }

    // The value when it converts without loss (a Boolean only from 0 or 1).
    std::optional<int64_t> exactInteger() const;
    std::optional<bool> exactBoolean() const;
    std::optional<double> exactReal() const;

    std::string description() const;
    bool operator==(const Number& other) const;

private:
    std::variant<int64_t, bool, double> value_;
};

// A value the user-defaults storages read and write. Data, arrays and
// dictionaries are shared between copies (they are never changed in place),
// so copying a large value is cheap.
class UserDefaultsValue {
public:
    enum class Kind {
        string,
        data,
        url,
        number,
        array,
        dictionary
    };
    using Array = std::vector<UserDefaultsValue>;
    using Dictionary = std::map<std::string, UserDefaultsValue>;

    UserDefaultsValue(std::string value)
        : value_(std::move(value))
    {
    }
    UserDefaultsValue(const char* value)
        : value_(std::string(value))
    {
    }
    UserDefaultsValue(Data value)
        : value_(std::make_shared<const Data>(std::move(value)))
    {
    }
    UserDefaultsValue(std::shared_ptr<const Data> value)
        : value_(value ? std::move(value) : std::make_shared<const Data>())
    {
    }
    UserDefaultsValue(URL value)
        : value_(std::move(value))
    {
    }
    UserDefaultsValue(Number value)
        : value_(value)
    {
    }
    UserDefaultsValue(Array value)
        : value_(std::make_shared<const Array>(std::move(value)))
    {
    }
    UserDefaultsValue(Dictionary value)
        : value_(std::make_shared<const Dictionary>(std::move(value)))
    {
    }

    Kind kind() const { return static_cast<Kind>(value_.index()); }

    const std::string* asString() const { return std::get_if<std::string>(&value_); }
    const Data* asData() const { return shared<Data>(); }
    const URL* asURL() const { return std::get_if<URL>(&value_); }
    const Number* asNumber() const { return std::get_if<Number>(&value_); }
    const Array* asArray() const { return shared<Array>(); }
    const Dictionary* asDictionary() const { return shared<Dictionary>(); }
    // The bytes, shared with this value (no copy); nothing for other kinds.
    std::shared_ptr<const Data> sharedData() const
    {
        auto data = std::get_if<std::shared_ptr<const Data>>(&value_);
        return data ? *data : nullptr;
    }

    // Converts a stored object: strings, data, integers, reals, Booleans,
    // arrays and dictionaries convert; anything else (a date, or an array or
    // dictionary holding one) gives nothing. Data in the store's URL form stays
    // data here; UserDefaultsStorage recognises URLs itself.
    static std::optional<UserDefaultsValue> fromPropertyList(const plist::PropertyList& object);
    // The plain object stored for this value; a URL becomes the store's URL data.
    plist::PropertyList propertyList() const;

    std::string description() const;
    bool operator==(const UserDefaultsValue& other) const;

private:
    template <class T>
    const T* shared() const
    {
        auto pointer = std::get_if<std::shared_ptr<const T>>(&value_);
        return pointer ? pointer->get() : nullptr;
    }

    std::variant<std::string, std::shared_ptr<const Data>, URL, Number, std::shared_ptr<const Array>,
        std::shared_ptr<const Dictionary>>
        value_;
};

// How a C++ type converts to and from UserDefaultsValue. Specialised below for
// strings, data, URLs, Booleans, integers, floats, doubles, Numbers, and
// vectors and string-keyed maps of such values.
template <class T, class Enable = void>
struct StorableInUserDefaultsTraits;

template <class T>
concept StorableInUserDefaults = requires(const T& value, const UserDefaultsValue& stored)
{
    {
        StorableInUserDefaultsTraits<T>::toUserDefaultsValue(value)
        } -> std::same_as<UserDefaultsValue>;
    {
        StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(stored)
        } -> std::same_as<std::optional<T>>;
};

template <>
struct StorableInUserDefaultsTraits<UserDefaultsValue> {
    static UserDefaultsValue toUserDefaultsValue(const UserDefaultsValue& value) { return value; }
    static std::optional<UserDefaultsValue> fromUserDefaultsValue(const UserDefaultsValue& value) { return value; }
};

template <>
struct StorableInUserDefaultsTraits<std::string> {
    static UserDefaultsValue toUserDefaultsValue(const std::string& value) { return value; }
    static std::optional<std::string> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        if (auto string = value.asString())
            return *string;
        return std::nullopt;
    }
};

template <>
struct StorableInUserDefaultsTraits<Data> {
    static UserDefaultsValue toUserDefaultsValue(const Data& value) { return value; }
    static std::optional<Data> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        if (auto data = value.asData())
            return *data;
        return std::nullopt;
    }
};

template <>
struct StorableInUserDefaultsTraits<URL> {
    static UserDefaultsValue toUserDefaultsValue(const URL& value) { return value; }
    static std::optional<URL> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        if (auto url = value.asURL())
            return *url;
        return std::nullopt;
    }
};

template <>
struct StorableInUserDefaultsTraits<Number> {
    static UserDefaultsValue toUserDefaultsValue(const Number& value) { return value; }
    static std::optional<Number> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        if (auto number = value.asNumber())
            return *number;
        return std::nullopt;
    }
};

template <>
struct StorableInUserDefaultsTraits<bool> {
    static UserDefaultsValue toUserDefaultsValue(bool value) { return Number(value); }
    static std::optional<bool> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        if (auto number = value.asNumber())
            return number->exactBoolean();
        return std::nullopt;
    }
};

template <class T>
struct StorableInUserDefaultsTraits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static UserDefaultsValue toUserDefaultsValue(T value) { return Number(static_cast<int64_t>(value)); }
    static std::optional<T> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        auto number = value.asNumber();
        if (!number)
            return std::nullopt;
        auto integer = number->exactInteger();
        if (!integer || !std::in_range<T>(*integer))
            return std::nullopt;
        return static_cast<T>(*integer);
    }
};

template <class T>
struct StorableInUserDefaultsTraits<T, std::enable_if_t<std::is_floating_point_v<T>>> {
    static UserDefaultsValue toUserDefaultsValue(T value) { return Number(static_cast<double>(value)); }
    static std::optional<T> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        auto number = value.asNumber();
        if (!number)
            return std::nullopt;
        auto real = number->exactReal();
        if (!real)
            return std::nullopt;
        return static_cast<T>(*real);
    }
};

template <class T>
struct StorableInUserDefaultsTraits<std::vector<T>, std::enable_if_t<StorableInUserDefaults<T> && !std::is_same_v<T, uint8_t>>> {
    static UserDefaultsValue toUserDefaultsValue(const std::vector<T>& values)
    {
        UserDefaultsValue::Array array;
        array.reserve(values.size());
        for (const auto& value : values)
            array.push_back(StorableInUserDefaultsTraits<T>::toUserDefaultsValue(value));
        return array;
    }
    static std::optional<std::vector<T>> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        auto array = value.asArray();
        if (!array)
            return std::nullopt;
        std::vector<T> values;
        values.reserve(array->size());
        for (const auto& element : *array) {
            auto converted = StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(element);
            if (!converted)
                return std::nullopt;
            values.push_back(std::move(*converted));
        }
        return values;
    }
};

template <class T>
struct StorableInUserDefaultsTraits<std::map<std::string, T>, std::enable_if_t<StorableInUserDefaults<T>>> {
    static UserDefaultsValue toUserDefaultsValue(const std::map<std::string, T>& values)
    {
        UserDefaultsValue::Dictionary dictionary;
        for (const auto& [key, value] : values)
            dictionary.emplace(key, StorableInUserDefaultsTraits<T>::toUserDefaultsValue(value));
        return dictionary;
    }
    static std::optional<std::map<std::string, T>> fromUserDefaultsValue(const UserDefaultsValue& value)
    {
        auto dictionary = value.asDictionary();
        if (!dictionary)
            return std::nullopt;
        std::map<std::string, T> values;
        for (const auto& [key, element] : *dictionary) {
            auto converted = StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(element);
            if (!converted)
                return std::nullopt;
            values.emplace(key, std::move(*converted));
        }
        return values;
    }
};

// Converts a storable value to UserDefaultsValue; a stored value of another
// kind fails with PersistenceError unexpectedValueType.
template <StorableInUserDefaults T>
class StorableInUserDefaultsTransformer final : public Transformer<T, UserDefaultsValue> {
public:
    Result<UserDefaultsValue> transform(const T& input) const override
    {
        return StorableInUserDefaultsTraits<T>::toUserDefaultsValue(input);
    }
    Result<T> untransform(const UserDefaultsValue& output) const override
    {
        auto value = StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(output);
        if (!value)
            return PersistenceError::unexpectedValueType(output.description(), typeName<T>());
        return std::move(*value);
    }
};

} // namespace tavik::persistence
