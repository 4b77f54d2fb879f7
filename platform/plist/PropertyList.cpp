#include "platform/plist/PropertyList.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/plist/BinaryPropertyList.hpp"

#include <fmt/format.h>
#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>

namespace tavik::plist {

namespace {

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

constexpr int kMaximumDepth = 512;

// Kept out of line: GCC 12 reports false "maybe uninitialized" variants when it is inlined.
[[gnu::noinline]] std::optional<PropertyList> fromNode(plist_t node, int depth)
{
    if (!node || depth > kMaximumDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* pointer = plist_get_string_ptr(node, &length);
        return PropertyList(std::string(pointer ? pointer : "", pointer ? length : 0));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* pointer = plist_get_data_ptr(node, &length);
        auto bytes = reinterpret_cast<const uint8_t*>(pointer);
        return PropertyList(Data(bytes, bytes + (pointer ? length : 0)));
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PropertyList(static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyList(value);
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyList(value != 0);
    }
    case PLIST_DATE: {
        int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PropertyList(Date {seconds + microseconds / 1e6});
    }
    case PLIST_ARRAY: {
        PropertyList::Array array;
        uint32_t size = plist_array_get_size(node);
        array.reserve(size);
        for (uint32_t index = 0; index < size; ++index) {
            auto element = fromNode(plist_array_get_item(node, index), depth + 1);
            if (!element)
                return std::nullopt;
            array.push_back(std::move(*element));
        }
        return PropertyList(std::move(array));
    }
    case PLIST_DICT: {
        PropertyList::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        if (!iterator)
            return PropertyList(std::move(dictionary));
        std::optional<PropertyList> result;
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, &key, &value);
            if (!value) {
                free(key);
                result = PropertyList(std::move(dictionary));
                break;
            }
            std::string keyString = key ? key : "";
            free(key);
            auto converted = fromNode(value, depth + 1);
            if (!converted)
                break;
            dictionary.insert_or_assign(std::move(keyString), std::move(*converted));
        }
        free(iterator);
        return result;
    }
    default:
        // Keys, UIDs and nodes of no type have no place in our values.
        return std::nullopt;
    }
}

plist_t toNode(const PropertyList& value)
{
    switch (value.kind()) {
    case PropertyList::Kind::string:
        return plist_new_string(value.string()->c_str());
    case PropertyList::Kind::data: {
        const Data& data = *value.data();
        return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case PropertyList::Kind::integer:
        return plist_new_uint(static_cast<uint64_t>(*value.integer()));
    case PropertyList::Kind::real:
        return plist_new_real(*value.real());
    case PropertyList::Kind::boolean:
        return plist_new_bool(*value.boolean() ? 1 : 0);
    case PropertyList::Kind::date: {
        double seconds = value.date()->secondsSinceReferenceDate;
        double whole = std::floor(seconds);
        auto clamped = std::clamp(whole, double(std::numeric_limits<int32_t>::min()), double(std::numeric_limits<int32_t>::max()));
        return plist_new_date(static_cast<int32_t>(clamped), static_cast<int32_t>(std::lround((seconds - whole) * 1e6) % 1000000));
    }
    case PropertyList::Kind::array: {
        plist_t array = plist_new_array();
        for (const auto& element : *value.array())
            plist_array_append_item(array, toNode(element));
        return array;
    }
    case PropertyList::Kind::dictionary: {
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, element] : *value.dictionary())
            plist_dict_set_item(dictionary, key.c_str(), toNode(element));
        return dictionary;
    }
    }
    return nullptr;
}

std::string quoted(const std::string& text)
{
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + '"';
}

} // namespace

PropertyList::PropertyList()
    : value_(std::make_shared<Dictionary>())
{
}
[[gnu::noinline]] PropertyList::PropertyList(const PropertyList& other) = default;
[[gnu::noinline]] PropertyList::PropertyList(PropertyList&& other) noexcept = default;
[[gnu::noinline]] PropertyList& PropertyList::operator=(const PropertyList& other) = default;
[[gnu::noinline]] PropertyList& PropertyList::operator=(PropertyList&& other) noexcept = default;
[[gnu::noinline]] PropertyList::~PropertyList() = default;
PropertyList::PropertyList(std::string value)
    : value_(std::move(value))
{
}
PropertyList::PropertyList(const char* value)
    : value_(std::string(value))
{
}
PropertyList::PropertyList(Data value)
    : value_(std::make_shared<const Data>(std::move(value)))
{
}
PropertyList::PropertyList(std::shared_ptr<const Data> value)
    : value_(value ? std::move(value) : std::make_shared<const Data>())
{
}
PropertyList::PropertyList(int64_t value)
    : value_(value)
{
}
PropertyList::PropertyList(int value)
    : value_(int64_t(value))
{
}
PropertyList::PropertyList(double value)
    : value_(value)
{
}
PropertyList::PropertyList(bool value)
    : value_(value)
{
}
PropertyList::PropertyList(Date value)
    : value_(value)
{
}
PropertyList::PropertyList(Array value)
    : value_(std::make_shared<Array>(std::move(value)))
{
}
PropertyList::PropertyList(Dictionary value)
    : value_(std::make_shared<Dictionary>(std::move(value)))
{
}

PropertyList::Kind PropertyList::kind() const { return static_cast<Kind>(value_.index()); }

const std::string* PropertyList::string() const { return std::get_if<std::string>(&value_); }
const Data* PropertyList::data() const
{
    auto shared = std::get_if<Shared<const Data>>(&value_);
    return shared ? shared->get() : nullptr;
}
std::shared_ptr<const Data> PropertyList::sharedData() const
{
    auto shared = std::get_if<Shared<const Data>>(&value_);
    return shared ? *shared : nullptr;
}
std::optional<int64_t> PropertyList::integer() const
{
    if (auto value = std::get_if<int64_t>(&value_))
        return *value;
    return std::nullopt;
}
std::optional<double> PropertyList::real() const
{
    if (auto value = std::get_if<double>(&value_))
        return *value;
    return std::nullopt;
}
std::optional<bool> PropertyList::boolean() const
{
    if (auto value = std::get_if<bool>(&value_))
        return *value;
    return std::nullopt;
}
std::optional<Date> PropertyList::date() const
{
    if (auto value = std::get_if<Date>(&value_))
        return *value;
    return std::nullopt;
}
const PropertyList::Array* PropertyList::array() const
{
    auto shared = std::get_if<Shared<Array>>(&value_);
    return shared ? shared->get() : nullptr;
}
const PropertyList::Dictionary* PropertyList::dictionary() const
{
    auto shared = std::get_if<Shared<Dictionary>>(&value_);
    return shared ? shared->get() : nullptr;
}
PropertyList::Array* PropertyList::array()
{
    auto shared = std::get_if<Shared<Array>>(&value_);
    if (!shared)
        return nullptr;
    if (shared->use_count() > 1)
        *shared = std::make_shared<Array>(**shared);
    return shared->get();
}
PropertyList::Dictionary* PropertyList::dictionary()
{
    auto shared = std::get_if<Shared<Dictionary>>(&value_);
    if (!shared)
        return nullptr;
    if (shared->use_count() > 1)
        *shared = std::make_shared<Dictionary>(**shared);
    return shared->get();
}

const PropertyList* PropertyList::find(std::string_view key) const
{
    auto dictionary = this->dictionary();
    if (!dictionary)
        return nullptr;
    auto found = dictionary->find(std::string(key));
    return found == dictionary->end() ? nullptr : &found->second;
}

bool PropertyList::operator==(const PropertyList& other) const
{
    if (value_.index() != other.value_.index())
        return false;
    return std::visit(
        [&](const auto& mine) {
            using T = std::decay_t<decltype(mine)>;
            const auto& theirs = std::get<T>(other.value_);
            if constexpr (std::is_same_v<T, Shared<const Data>> || std::is_same_v<T, Shared<Array>> || std::is_same_v<T, Shared<Dictionary>>)
                return mine == theirs || *mine == *theirs;
            else
                return mine == theirs;
        },
        value_);
}

// GCC 12 reports the move of the parsed value into the result as "maybe
// uninitialized" (a false positive on the recursive variant).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
Result<PropertyList> PropertyList::parse(std::string_view bytes)
{
    if (bytes.empty())
        return PropertyListError::make(PropertyListError::Code::notAPropertyList, "no bytes");
    if (bytes.starts_with("bplist")) {
        std::string problem;
        auto value = binary::decode(bytes, &problem);
        if (!value)
            return PropertyListError::make(PropertyListError::Code::notAPropertyList, problem);
        return std::move(*value);
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max())
        return PropertyListError::make(PropertyListError::Code::notAPropertyList, "too large");
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    Node node(root);
    if (!node)
        return PropertyListError::make(PropertyListError::Code::notAPropertyList, "neither XML nor binary property list");
    auto value = fromNode(node.get(), 0);
    if (!value)
        return PropertyListError::make(PropertyListError::Code::notAPropertyList, "unsupported value in property list");
    return std::move(*value);
}
#pragma GCC diagnostic pop

Result<PropertyList> PropertyList::parse(const Data& bytes)
{
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<PropertyList> PropertyList::readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
        return FileError::fromErrno(errno, path, false);
    std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (stream.bad())
        return PropertyListError::make(PropertyListError::Code::unreadableFile, path.string());
    return parse(bytes);
}

std::string PropertyList::binaryRepresentation() const { return binary::encode(*this); }

std::string PropertyList::xmlRepresentation() const
{
    Node node(toNode(*this));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &bytes, &length);
    std::string result(bytes ? bytes : "", bytes ? length : 0);
    plist_to_xml_free(bytes);
    return result;
}

std::string PropertyList::description() const
{
    switch (kind()) {
    case Kind::string:
        return quoted(*string());
    case Kind::data: {
        std::string result = "<";
        for (size_t index = 0; index < data()->size(); ++index) {
            if (index && index % 4 == 0)
                result += ' ';
            result += fmt::format("{:02x}", (*data())[index]);
        }
        return result + ">";
    }
    case Kind::integer:
        return std::to_string(*integer());
    case Kind::real:
        return fmt::format("{}", *real());
    case Kind::boolean:
        return *boolean() ? "true" : "false";
    case Kind::date:
        return fmt::format("date({})", date()->secondsSinceReferenceDate);
    case Kind::array: {
        std::string result = "(";
        bool first = true;
        for (const auto& element : *array()) {
            result += (first ? "" : ", ") + element.description();
            first = false;
        }
        return result + ")";
    }
    case Kind::dictionary: {
        std::string result = "{";
        bool first = true;
        for (const auto& [key, element] : *dictionary()) {
            result += (first ? "" : "; ") + quoted(key) + " = " + element.description();
            first = false;
        }
        return result + "}";
    }
    }
    return {};
}

PropertyListError::PropertyListError(Code code, std::string detail)
    : code_(code)
    , detail_(std::move(detail))
{
}

ErrorPtr PropertyListError::make(Code code, std::string detail)
{
    return std::make_shared<const PropertyListError>(code, std::move(detail));
}

std::string PropertyListError::description() const
{
    switch (code_) {
    case Code::notAPropertyList:
        return fmt::format("The data couldn’t be read because it isn’t in the correct format ({}).", detail_);
    case Code::unreadableFile:
        return fmt::format("The file “{}” couldn’t be read.", detail_);
    }
    return {};
}

} // namespace tavik::plist
