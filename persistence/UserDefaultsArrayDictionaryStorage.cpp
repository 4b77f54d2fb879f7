#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"

#include <fmt/format.h>

namespace tavik::persistence {

std::string UserDefaultsArrayDictionaryStorage::Error::description() const
{
    if (case_ == Case::recordNotFound)
        return fmt::format("The stored array holds no record \"{}\"", recordID_);
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

std::optional<std::string> recordIdentifier(const UserDefaultsValue::Dictionary& record, const std::string& recordIDKey)
{
    auto found = record.find(recordIDKey);
    if (found == record.end() || !found->second.asString())
        return std::nullopt;
    return *found->second.asString();
}

UserDefaultsArrayDictionaryStorage::UserDefaultsArrayDictionaryStorage(
    std::string arrayKey, int64_t arrayIndex, std::shared_ptr<defaults::UserDefaults> userDefaults)
    : arrayKey_(std::move(arrayKey))
    , arrayIndex_(arrayIndex)
    , userDefaults_(userDefaults)
    , backingStorage_(std::make_shared<UserDefaultsStorage>(std::move(userDefaults)))
{
}

std::shared_ptr<UserDefaultsArrayDictionaryStorage> UserDefaultsArrayDictionaryStorage::boundToRecord(std::string arrayKey,
    std::string recordIDKey, std::string recordID, std::shared_ptr<defaults::UserDefaults> userDefaults, bool appendsRecord)
{
    auto storage = std::make_shared<UserDefaultsArrayDictionaryStorage>(std::move(arrayKey), -1, std::move(userDefaults));
    storage->recordIDKey_ = std::move(recordIDKey);
    storage->recordID_ = std::move(recordID);
    storage->appendsRecord_ = appendsRecord;
    return storage;
}

std::optional<size_t> UserDefaultsArrayDictionaryStorage::position(const std::vector<UserDefaultsValue::Dictionary>& array) const
{
    if (!recordID_) {
        int64_t index = arrayIndex();
        if (index < 0 || index >= int64_t(array.size()))
            return std::nullopt;
        return size_t(index);
    }
    for (size_t index = 0; index < array.size(); ++index) {
        if (recordIdentifier(array[index], recordIDKey_) == recordID_)
            return index;
    }
    return std::nullopt;
}

Result<std::vector<UserDefaultsValue::Dictionary>> UserDefaultsArrayDictionaryStorage::readArray() const
{
    auto stored = backingStorage_->retrieve(arrayKey_);
    if (!stored)
        return stored.error();
    return arrayOfDictionaries(*stored);
}

Result<std::optional<UserDefaultsValue>> UserDefaultsArrayDictionaryStorage::retrieve(const std::string& key)
{
    auto array = readArray();
    if (!array)
        return array.error();
    auto found = position(*array);
    if (!found)
        return recordID_ ? Error::recordNotFound(*recordID_) : Error::indexOutOfBounds(arrayIndex());
    if (recordID_)
        setArrayIndex(int64_t(*found));
    const auto& dictionary = (*array)[*found];
    auto value = dictionary.find(key);
    if (value == dictionary.end())
        return std::optional<UserDefaultsValue>();
    return std::optional<UserDefaultsValue>(value->second);
}

Result<void> UserDefaultsArrayDictionaryStorage::changeElement(
    const std::function<void(UserDefaultsValue::Dictionary&)>& change, bool mayAppend)
{
    std::optional<size_t> changedPosition;
    auto written = backingStorage_->update(arrayKey_,
        [&](const std::optional<UserDefaultsValue>& stored) -> Result<std::optional<UserDefaultsValue>> {
            auto array = arrayOfDictionaries(stored);
            if (!array)
                return array.error();
            changedPosition = position(*array);
            if (!changedPosition) {
                // Only a record that was never written is added; a record
                // another writer removed stays removed.
                bool appends = mayAppend
                    && (recordID_ ? appendsRecord_.load() : arrayIndex() == int64_t(array->size()));
                if (!appends)
                    return recordID_ ? Error::recordNotFound(*recordID_) : Error::indexOutOfBounds(arrayIndex());
                UserDefaultsValue::Dictionary record;
                if (recordID_)
                    record.insert_or_assign(recordIDKey_, UserDefaultsValue(*recordID_));
                array->push_back(std::move(record));
                changedPosition = array->size() - 1;
            }
            change((*array)[*changedPosition]);
            UserDefaultsValue::Array values(array->begin(), array->end());
            return std::optional<UserDefaultsValue>(UserDefaultsValue(std::move(values)));
        });
    if (written && recordID_) {
        appendsRecord_ = false;
        setArrayIndex(int64_t(*changedPosition));
    }
    return written;
}

Result<void> UserDefaultsArrayDictionaryStorage::store(const UserDefaultsValue& value, const std::string& key)
{
    return changeElement([&](UserDefaultsValue::Dictionary& element) { element.insert_or_assign(key, value); }, true);
}

Result<void> UserDefaultsArrayDictionaryStorage::remove(const std::string& key)
{
    return changeElement([&](UserDefaultsValue::Dictionary& element) { element.erase(key); }, false);
}

std::optional<UserDefaultsValue> UserDefaultsArrayDictionaryStorage::valueIn(
    const std::optional<plist::PropertyList>& array, const std::string& key) const
{
    if (!array || !array->array())
        return std::nullopt;
    const plist::PropertyList* element = nullptr;
    if (!recordID_) {
        int64_t index = arrayIndex();
        if (index >= 0 && index < int64_t(array->array()->size()))
            element = &(*array->array())[size_t(index)];
    } else {
        for (const auto& candidate : *array->array()) {
            auto id = candidate.find(recordIDKey_);
            if (id && id->string() && *id->string() == *recordID_) {
                element = &candidate;
                break;
            }
        }
    }
    const plist::PropertyList* value = element ? element->find(key) : nullptr;
    if (!value)
        return std::nullopt;
    return UserDefaultsStorage::valueOfObject(*value);
}

AnyCancellable UserDefaultsArrayDictionaryStorage::observe(const std::string& key, UpdateListener listener)
{
    // The storage is held weakly: it may go while the observation lasts.
    std::weak_ptr<UserDefaultsArrayDictionaryStorage> weakSelf = weak_from_this();
    return userDefaults_->observe(arrayKey_,
        [weakSelf, key, listener](
            const std::optional<plist::PropertyList>& oldArray, const std::optional<plist::PropertyList>& newArray) {
            auto self = weakSelf.lock();
            if (!self)
                return;
            auto oldValue = self->valueIn(oldArray, key);
            auto newValue = self->valueIn(newArray, key);
            if (oldValue != newValue)
                listener(newValue);
        });
}

} // namespace tavik::persistence
