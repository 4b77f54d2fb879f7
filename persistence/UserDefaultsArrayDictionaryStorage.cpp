#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"

#include <fmt/format.h>

namespace tavik::persistence {

std::string UserDefaultsArrayDictionaryStorage::Error::description() const
{
    return fmt::format("Index {} is out of bounds of the stored array", index_);
}

UserDefaultsArrayDictionaryStorage::RetrieveValueError::RetrieveValueError(
    Case errorCase, std::string key, std::optional<UserDefaultsValue> value, std::string expectedType)
    : case_(errorCase)
    , key_(std::move(key))
    , value_(std::move(value))
    , expectedType_(std::move(expectedType))
{
}

ErrorPtr UserDefaultsArrayDictionaryStorage::RetrieveValueError::valueMissing(std::string key)
{
    return std::make_shared<const RetrieveValueError>(Case::valueMissing, std::move(key), std::nullopt, std::string());
}

ErrorPtr UserDefaultsArrayDictionaryStorage::RetrieveValueError::invalidValueType(UserDefaultsValue value, std::string expectedType)
{
    return std::make_shared<const RetrieveValueError>(Case::invalidValueType, std::string(), std::move(value), std::move(expectedType));
}

std::string UserDefaultsArrayDictionaryStorage::RetrieveValueError::description() const
{
    if (case_ == Case::valueMissing)
        return fmt::format("No value is stored for the key \"{}\"", key_);
    return fmt::format("The stored value {} is not a {}", value_ ? value_->description() : "(none)", expectedType_);
}

Result<std::vector<UserDefaultsValue::Dictionary>> arrayOfDictionaries(const std::optional<UserDefaultsValue>& value)
{
    std::vector<UserDefaultsValue::Dictionary> dictionaries;
    if (!value)
        return dictionaries;
    auto array = value->asArray();
    if (!array)
        return PersistenceError::unexpectedValueType(value->description(), "Array");
    dictionaries.reserve(array->size());
    for (const auto& element : *array) {
        auto dictionary = element.asDictionary();
        if (!dictionary)
            return PersistenceError::unexpectedValueType(element.description(), "Dictionary");
        dictionaries.push_back(*dictionary);
    }
    return dictionaries;
}

UserDefaultsArrayDictionaryStorage::UserDefaultsArrayDictionaryStorage(
    std::string arrayKey, int64_t arrayIndex, std::shared_ptr<defaults::UserDefaults> userDefaults)
    : arrayKey_(std::move(arrayKey))
    , arrayIndex_(arrayIndex)
    , userDefaults_(userDefaults)
    , backingStorage_(std::make_shared<UserDefaultsStorage>(std::move(userDefaults)))
{
}

Result<std::vector<UserDefaultsValue::Dictionary>> UserDefaultsArrayDictionaryStorage::readArray() const
{
    auto stored = backingStorage_->retrieve(arrayKey_);
    if (!stored)
        return stored.error();
    return arrayOfDictionaries(*stored);
}

Result<void> UserDefaultsArrayDictionaryStorage::writeArray(const std::vector<UserDefaultsValue::Dictionary>& array)
{
    UserDefaultsValue::Array values(array.begin(), array.end());
    return backingStorage_->store(UserDefaultsValue(std::move(values)), arrayKey_);
}

Result<std::optional<UserDefaultsValue>> UserDefaultsArrayDictionaryStorage::retrieve(const std::string& key)
{
    auto array = readArray();
    if (!array)
        return array.error();
    int64_t index = arrayIndex();
    if (index < 0 || index >= int64_t(array->size()))
        return Error::indexOutOfBounds(index);
    const auto& dictionary = (*array)[size_t(index)];
    auto found = dictionary.find(key);
    if (found == dictionary.end())
        return std::optional<UserDefaultsValue>();
    return std::optional<UserDefaultsValue>(found->second);
}

Result<void> UserDefaultsArrayDictionaryStorage::store(const UserDefaultsValue& value, const std::string& key)
{
    auto array = readArray();
    if (!array)
        return array.error();
    int64_t index = arrayIndex();
    if (index >= 0 && index < int64_t(array->size()))
        (*array)[size_t(index)].insert_or_assign(key, value);
    else if (index == int64_t(array->size()))
        array->push_back(UserDefaultsValue::Dictionary { { key, value } });
    else
        return Error::indexOutOfBounds(index);
    return writeArray(*array);
}

Result<void> UserDefaultsArrayDictionaryStorage::remove(const std::string& key)
{
    auto array = readArray();
    if (!array)
        return array.error();
    int64_t index = arrayIndex();
    if (index < 0 || index >= int64_t(array->size()))
        return Error::indexOutOfBounds(index);
    (*array)[size_t(index)].erase(key);
    return writeArray(*array);
}

namespace {

// The value under the key in the element at the index of an array value, if
// all of these exist.
std::optional<UserDefaultsValue> valueAt(const std::optional<plist::PropertyList>& array, int64_t index, const std::string& key)
{
    if (!array || !array->array() || index < 0 || index >= int64_t(array->array()->size()))
        return std::nullopt;
    auto element = (*array->array())[size_t(index)].find(key);
    if (!element)
        return std::nullopt;
    if (auto data = element->data()) {
        if (auto url = defaults::UserDefaults::decodeURL(*data))
            return UserDefaultsValue(*url);
    }
    return UserDefaultsValue::fromPropertyList(*element);
}

} // namespace

AnyCancellable UserDefaultsArrayDictionaryStorage::observe(const std::string& key, UpdateListener listener)
{
    // The storage is held weakly: its index may change while it lives.
    std::weak_ptr<UserDefaultsArrayDictionaryStorage> weakSelf = weak_from_this();
    auto fixedIndex = arrayIndex();
    return userDefaults_->observe(arrayKey_,
        [weakSelf, fixedIndex, key, listener](
            const std::optional<plist::PropertyList>& oldArray, const std::optional<plist::PropertyList>& newArray) {
            auto self = weakSelf.lock();
            int64_t index = self ? self->arrayIndex() : fixedIndex;
            auto oldValue = valueAt(oldArray, index, key);
            auto newValue = valueAt(newArray, index, key);
            if (oldValue != newValue)
                listener(newValue);
        });
}

} // namespace tavik::persistence
