#pragma once

#include "persistence/Transformer.hpp"
#include "persistence/TypeName.hpp"
#include "persistence/UserDefaultsValue.hpp"
#include "platform/foundation/CodedError.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/plist/PropertyList.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

namespace tavik::persistence {

// How a type maps to a raw value and back. By default the type provides
//   using RawValue = ...;
//   RawValue rawValue() const;
//   static std::optional<T> fromRawValue(const RawValue&);
// An enumeration can instead specialise this template.
template <class T>
struct RawRepresentableTraits {
    using RawValue = typename T::RawValue;
    static RawValue rawValue(const T& value) { return value.rawValue(); }
    static std::optional<T> fromRawValue(const RawValue& raw) { return T::fromRawValue(raw); }
};

template <class T>
concept RawRepresentable = requires(const T& value, const typename RawRepresentableTraits<T>::RawValue& raw)
{
    {
        RawRepresentableTraits<T>::rawValue(value)
        } -> std::convertible_to<typename RawRepresentableTraits<T>::RawValue>;
    {
        RawRepresentableTraits<T>::fromRawValue(raw)
        } -> std::same_as<std::optional<T>>;
};

// RawRepresentableTransformer's untransform error: the raw value names no case.
class RawRepresentableUntransformError final : public Error {
public:
    enum class Case { invalidRawValue = 0 };

    RawRepresentableUntransformError(std::string rawValue, std::string typeName)
        : rawValue_(std::move(rawValue))
        , typeName_(std::move(typeName))
    {
    }

    Case errorCase() const { return Case::invalidRawValue; }
    // The raw value, as text.
    const std::string& rawValue() const { return rawValue_; }
    const std::string& typeName() const { return typeName_; }

    // "<raw value> is not a valid value for <Type>"
    std::string description() const override { return rawValue_ + " is not a valid value for " + typeName_; }
    std::string domain() const override { return "RawRepresentableTransformer.UntransformError"; }
    int code() const override { return 0; }

private:
    std::string rawValue_;
    std::string typeName_;
};

namespace detail {
template <class Raw>
std::string rawValueText(const Raw& raw)
{
    if constexpr (std::is_convertible_v<const Raw&, std::string>)
        return std::string(raw);
    else {
        std::ostringstream stream;
        stream << raw;
        return stream.str();
    }
}
} // namespace detail

// A raw-representable value to its raw value and back.
template <RawRepresentable T>
class RawRepresentableTransformer final : public Transformer<T, typename RawRepresentableTraits<T>::RawValue> {
public:
    using RawValue = typename RawRepresentableTraits<T>::RawValue;
    using UntransformError = RawRepresentableUntransformError;

    Result<RawValue> transform(const T& input) const override { return RawRepresentableTraits<T>::rawValue(input); }
    Result<T> untransform(const RawValue& output) const override
    {
        auto value = RawRepresentableTraits<T>::fromRawValue(output);
        if (!value)
            return ErrorPtr(std::make_shared<const UntransformError>(detail::rawValueText(output), typeName<T>()));
        return std::move(*value);
    }
};

enum class CodingErrorCase {
    encodingFailed = 0,
    decodingFailed = 1
};

// An encoding or decoding failure of JSONTransformer or PropertyListTransformer.
class CodingError final : public DetailedCodedError<CodingError, CodingErrorCase> {
public:
    using Case = CodingErrorCase;
    using DetailedCodedError::DetailedCodedError;

    std::string description() const override
    {
        return (errorCode() == Case::encodingFailed ? "The data couldn’t be written: " : "The data couldn’t be read: ") + detail();
    }
    std::string domain() const override { return "CodingError"; }
};

// Values are encoded through nlohmann::json's to_json / from_json, which a
// type provides in its own namespace (or with NLOHMANN_DEFINE_TYPE_*).
struct JSONEncoder {
    // Spaces per level; negative for the compact form.
    int indent = -1;
    Result<Data> encode(const nlohmann::json& json) const;
};
struct JSONDecoder {
    Result<nlohmann::json> decode(const Data& data) const;
};

// Property-list coding of the same to_json / from_json model: objects become
// dictionaries, arrays arrays, integers, reals, Booleans and strings keep
// their kind. JSON null has no property-list form and fails to encode.
struct PropertyListEncoder {
    enum class OutputFormat {
        binary,
        xml
    };
    OutputFormat outputFormat = OutputFormat::binary;
    Result<Data> encode(const nlohmann::json& json) const;
};
struct PropertyListDecoder {
    Result<nlohmann::json> decode(const Data& data) const;
};

// A value to data and back through its nlohmann::json model, with the
// encoder and decoder of one data format.
template <class T, class Encoder, class Decoder>
class CodedTransformer final : public Transformer<T, Data> {
public:
    explicit CodedTransformer(Encoder encoder = {}, Decoder decoder = {})
        : encoder(encoder)
        , decoder(decoder)
    {
    }

    Result<Data> transform(const T& input) const override
    {
        try {
            return encoder.encode(nlohmann::json(input));
        } catch (const nlohmann::json::exception& exception) {
            return CodingError::make(CodingError::Case::encodingFailed, exception.what());
        }
    }
    Result<T> untransform(const Data& output) const override
    {
        auto json = decoder.decode(output);
        if (!json)
            return json.error();
        try {
            return json->template get<T>();
        } catch (const nlohmann::json::exception& exception) {
            return CodingError::make(CodingError::Case::decodingFailed, exception.what());
        }
    }

    Encoder encoder;
    Decoder decoder;
};

// A value to JSON data and back.
template <class T>
using JSONTransformer = CodedTransformer<T, JSONEncoder, JSONDecoder>;

// A value to property-list data and back.
template <class T>
using PropertyListTransformer = CodedTransformer<T, PropertyListEncoder, PropertyListDecoder>;

} // namespace tavik::persistence
