#pragma once

#include "persistence/Persister.hpp"
#include "persistence/Storage.hpp"
#include "persistence/UserDefaultsStorage.hpp"
#include "persistence/UserDefaultsValue.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavik::persistence {

// One dictionary inside an array kept under one defaults key: each key of
// this storage is a key of that dictionary. The dictionary is found either by
// its index, or (made with `boundToRecord`) by the identifier it holds under
// an ID key, wherever it is in the array: a storage bound to a record never
// reads or writes another record, whatever other writers did to the array.
//
// Create it with std::make_shared (its persister helpers hand out persisters
// that keep it alive). Each write reads, changes and writes back the whole
// array as one step against every other writer of the store.
class UserDefaultsArrayDictionaryStorage final
    : public Storage<std::string, UserDefaultsValue>,
      public std::enable_shared_from_this<UserDefaultsArrayDictionaryStorage> {
public:
    // UserDefaultsArrayDictionaryStorage.Error
    class Error final : public tavik::Error {
    public:
        enum class Case {
            indexOutOfBounds = 0,
            recordNotFound = 1
        };
        Error(Case errorCase, int64_t index, std::string recordID)
            : case_(errorCase)
            , index_(index)
            , recordID_(std::move(recordID))
        {
        }
        static ErrorPtr indexOutOfBounds(int64_t index)
        {
            return std::make_shared<const Error>(Case::indexOutOfBounds, index, std::string());
        }
        // The array holds no record with this identifier (any more).
        static ErrorPtr recordNotFound(std::string recordID)
        {
            return std::make_shared<const Error>(Case::recordNotFound, -1, std::move(recordID));
        }
        Case errorCase() const { return case_; }
        int64_t index() const { return index_; }
        const std::string& recordID() const { return recordID_; }
        std::string description() const override;
        std::string domain() const override { return "UserDefaultsArrayDictionaryStorage.Error"; }
        int code() const override { return static_cast<int>(case_); }

    private:
        Case case_;
        int64_t index_;
        std::string recordID_;
    };

    // UserDefaultsArrayDictionaryStorage.RetrieveValueError
    class RetrieveValueError final : public tavik::Error {
    public:
        enum class Case {
            valueMissing = 0,
            invalidValueType = 1
        };
        static ErrorPtr valueMissing(std::string key);
        static ErrorPtr invalidValueType(UserDefaultsValue value, std::string expectedType);

        RetrieveValueError(Case errorCase, std::string key, std::optional<UserDefaultsValue> value, std::string expectedType);
        Case errorCase() const { return case_; }
        // valueMissing: the key.
        const std::string& key() const { return key_; }
        // invalidValueType: the value found and the type expected.
        const std::optional<UserDefaultsValue>& value() const { return value_; }
        const std::string& expectedType() const { return expectedType_; }

        std::string description() const override;
        std::string domain() const override { return "UserDefaultsArrayDictionaryStorage.RetrieveValueError"; }
        int code() const override { return static_cast<int>(case_); }

    private:
        Case case_;
        std::string key_;
        std::optional<UserDefaultsValue> value_;
        std::string expectedType_;
    };

    // The element at this index.
    UserDefaultsArrayDictionaryStorage(std::string arrayKey, int64_t arrayIndex,
        std::shared_ptr<defaults::UserDefaults> userDefaults);

    // The element whose `recordIDKey` holds `recordID`. A storage made for a
    // new record (`appendsRecord`) adds it, with its identifier, at the end
    // of the array on its first write; any other write to a record that is
    // not there fails with recordNotFound and changes nothing.
    static std::shared_ptr<UserDefaultsArrayDictionaryStorage> boundToRecord(std::string arrayKey,
        std::string recordIDKey, std::string recordID, std::shared_ptr<defaults::UserDefaults> userDefaults,
        bool appendsRecord = false);

    const std::string& arrayKey() const { return arrayKey_; }
    // Bound to a record: where it was last seen in the array.
    int64_t arrayIndex() const { return arrayIndex_.load(); }
    void setArrayIndex(int64_t index) { arrayIndex_.store(index); }
    // The identifier of the record this storage is bound to, if it is.
    const std::optional<std::string>& recordID() const { return recordID_; }
    const std::shared_ptr<defaults::UserDefaults>& userDefaults() const { return userDefaults_; }
    const std::shared_ptr<UserDefaultsStorage>& backingStorage() const { return backingStorage_; }

    // Storing at the index one past the end appends a dictionary.
    Result<void> store(const UserDefaultsValue& value, const std::string& key) override;
    Result<void> remove(const std::string& key) override;
    Result<std::optional<UserDefaultsValue>> retrieve(const std::string& key) override;
    // Calls the listener when the value under the key at this storage's
    // current index changes (and only then).
    [[nodiscard]] AnyCancellable observe(const std::string& key, UpdateListener listener) override;

    // The value under the key, which must be there and of this type.
    template <StorableInUserDefaults T>
    Result<T> requiredValue(const std::string& key)
    {
        auto stored = retrieve(key);
        if (!stored)
            return stored.error();
        if (!*stored)
            return RetrieveValueError::valueMissing(key);
        auto value = StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(**stored);
        if (!value)
            return RetrieveValueError::invalidValueType(**stored, typeName<T>());
        return std::move(*value);
    }

    // The value under the key if there is one; of this type if so.
    template <StorableInUserDefaults T>
    Result<std::optional<T>> optionalValue(const std::string& key)
    {
        auto stored = retrieve(key);
        if (!stored)
            return stored.error();
        if (!*stored)
            return std::optional<T>();
        auto value = StorableInUserDefaultsTraits<T>::fromUserDefaultsValue(**stored);
        if (!value)
            return RetrieveValueError::invalidValueType(**stored, typeName<T>());
        return std::optional<T>(std::move(*value));
    }

    // A persister for a required key whose default is the value stored now.
    template <StorableInUserDefaults V>
    Result<Persister<V>> persister(const std::string& key)
    {
        auto value = requiredValue<V>(key);
        if (!value)
            return value.error();
        return Persister<V>(key, shared_from_this(), std::move(*value));
    }

    // The same through a transformer from V to a storable type.
    template <TransformerType T, class V = typename T::Input>
    requires StorableInUserDefaults<typename T::Output>
        Result<Persister<V>> persister(const std::string& key, std::shared_ptr<T> transformer)
    {
        auto stored = requiredValue<typename T::Output>(key);
        if (!stored)
            return stored.error();
        auto value = transformer->untransform(*stored);
        if (!value)
            return value.error();
        return Persister<V>(key, shared_from_this(), std::move(transformer), std::move(*value));
    }

    // A persister for an optional key: a missing key gives a persister whose
    // default is nothing; storing nothing removes the key.
    template <StorableInUserDefaults V>
    Result<Persister<std::optional<V>>> optionalPersister(const std::string& key)
    {
        auto value = optionalValue<V>(key);
        if (!value)
            return value.error();
        return Persister<std::optional<V>>(key, shared_from_this(), std::move(*value));
    }

    template <TransformerType T, class V = typename T::Input>
    requires StorableInUserDefaults<typename T::Output>
        Result<Persister<std::optional<V>>> optionalPersister(const std::string& key, std::shared_ptr<T> transformer)
    {
        auto stored = optionalValue<typename T::Output>(key);
        if (!stored)
            return stored.error();
        std::optional<V> value;
        if (*stored) {
            auto untransformed = transformer->untransform(**stored);
            if (!untransformed)
                return untransformed.error();
            value = std::move(*untransformed);
        }
        return Persister<std::optional<V>>(key, shared_from_this(), std::move(transformer), std::move(value));
    }

    // Where this storage's element is in these dictionaries, if it is there.
    std::optional<size_t> position(const std::vector<UserDefaultsValue::Dictionary>& array) const;

private:
    // The array under arrayKey as dictionaries; nothing stored is empty.
    Result<std::vector<UserDefaultsValue::Dictionary>> readArray() const;
    // Changes this storage's element (made if it may be), as one step.
    Result<void> changeElement(const std::function<void(UserDefaultsValue::Dictionary&)>& change, bool mayAppend);
    std::optional<UserDefaultsValue> valueIn(const std::optional<plist::PropertyList>& array, const std::string& key) const;

    std::string arrayKey_;
    std::atomic<int64_t> arrayIndex_;
    std::string recordIDKey_;
    std::optional<std::string> recordID_;
    std::atomic<bool> appendsRecord_ {false};
    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    std::shared_ptr<UserDefaultsStorage> backingStorage_;
};

// The identifier a record holds under the ID key, if it is a string.
std::optional<std::string> recordIdentifier(const UserDefaultsValue::Dictionary& record, const std::string& recordIDKey);

// Reads the dictionaries of an array value: a value that is not an array, or
// an element that is not a dictionary, fails with unexpectedValueType.
Result<std::vector<UserDefaultsValue::Dictionary>> arrayOfDictionaries(const std::optional<UserDefaultsValue>& value);

} // namespace tavik::persistence
