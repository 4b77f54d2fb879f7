#include "persistence/Transformers.hpp"

namespace tavik::persistence {

namespace {

Result<plist::PropertyList> toPropertyList(const nlohmann::json& json, int depth = 0)
{
    if (depth > 512)
        return CodingError::make(CodingError::Case::encodingFailed, "value nested too deeply");
    switch (json.type()) {
    case nlohmann::json::value_t::string:
        return plist::PropertyList(json.get<std::string>());
    case nlohmann::json::value_t::boolean:
        return plist::PropertyList(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
        return plist::PropertyList(json.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        auto value = json.get<uint64_t>();
        if (value > uint64_t(std::numeric_limits<int64_t>::max()))
            return CodingError::make(CodingError::Case::encodingFailed, "integer too large for a property list");
        return plist::PropertyList(int64_t(value));
    }
    case nlohmann::json::value_t::number_float:
        return plist::PropertyList(json.get<double>());
    case nlohmann::json::value_t::binary: {
        const auto& binary = json.get_binary();
        return plist::PropertyList(plist::Data(binary.begin(), binary.end()));
    }
    case nlohmann::json::value_t::array: {
        plist::PropertyList::Array array;
        for (const auto& element : json) {
            auto converted = toPropertyList(element, depth + 1);
            if (!converted)
                return converted.error();
            array.push_back(std::move(*converted));
        }
        return plist::PropertyList(std::move(array));
    }
    case nlohmann::json::value_t::object: {
        plist::PropertyList::Dictionary dictionary;
        for (const auto& [key, element] : json.items()) {
            auto converted = toPropertyList(element, depth + 1);
            if (!converted)
                return converted.error();
            dictionary.emplace(key, std::move(*converted));
        }
        return plist::PropertyList(std::move(dictionary));
    }
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
        break;
    }
    return CodingError::make(CodingError::Case::encodingFailed, "a null value has no property-list form");
}

nlohmann::json toJSON(const plist::PropertyList& value)
{
    using Kind = plist::PropertyList::Kind;
    switch (value.kind()) {
    case Kind::string:
        return *value.string();
    case Kind::data:
        return nlohmann::json::binary(std::vector<uint8_t>(*value.data()));
    case Kind::integer:
        return *value.integer();
    case Kind::real:
        return *value.real();
    case Kind::boolean:
        return *value.boolean();
    case Kind::date:
        return value.date()->secondsSinceReferenceDate;
    case Kind::array: {
        auto array = nlohmann::json::array();
        for (const auto& element : *value.array())
            array.push_back(toJSON(element));
        return array;
    }
    case Kind::dictionary: {
        auto object = nlohmann::json::object();
        for (const auto& [key, element] : *value.dictionary())
            object[key] = toJSON(element);
        return object;
    }
    }
    return nullptr;
}

} // namespace

Result<Data> JSONEncoder::encode(const nlohmann::json& json) const
{
    try {
        std::string text = json.dump(indent);
        return Data(text.begin(), text.end());
    } catch (const nlohmann::json::exception& exception) {
        return CodingError::make(CodingError::Case::encodingFailed, exception.what());
    }
}

Result<nlohmann::json> JSONDecoder::decode(const Data& data) const
{
    auto json = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
    if (json.is_discarded())
        return CodingError::make(CodingError::Case::decodingFailed, "the data is not valid JSON");
    return json;
}

Result<Data> PropertyListEncoder::encode(const nlohmann::json& json) const
{
    auto value = toPropertyList(json);
    if (!value)
        return value.error();
    std::string bytes = outputFormat == OutputFormat::binary ? value->binaryRepresentation() : value->xmlRepresentation();
    return Data(bytes.begin(), bytes.end());
}

Result<nlohmann::json> PropertyListDecoder::decode(const Data& data) const
{
    auto value = plist::PropertyList::parse(data);
    if (!value)
        return CodingError::make(CodingError::Case::decodingFailed, value.error()->description());
    return toJSON(*value);
}

} // namespace tavik::persistence
