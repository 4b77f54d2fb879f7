#pragma once

#include "persistence/Storage.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "persistence/UserDefaultsStorage.hpp"
#include "persistence/UserDefaultsValue.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavik::persistence {

// A model kept as one dictionary of an array in the user defaults: it knows
// its identifier and the array-dictionary storage it was built from.
template <class Model>
concept StoredInUserDefaultsDictionary = requires(const Model& model) {
    { model.id() } -> std::convertible_to<std::string>;
    { model.storage() } -> std::convertible_to<std::shared_ptr<UserDefaultsArrayDictionaryStorage>>;
};

// UserDefaultsMappedArrayStorage.StoreValueError
class MappedArrayStoreValueError final : public Error {
public:
    enum class Case { valueCreatedIllegally = 0, valueDoesNotExist = 1 };

    // A model whose identifier has no storage here (not made by this storage).
    static ErrorPtr valueCreatedIllegally(std::string modelID);
    // Nothing is stored under the key yet.
    static ErrorPtr valueDoesNotExist();

    MappedArrayStoreValueError(Case errorCase, std::string modelID);
    Case errorCase() const { return case_; }
    const std::string& modelID() const { return modelID_; }

    std::string description() const override;
    std::string domain() const override { return "UserDefaultsMappedArrayStorage.StoreValueError"; }
    int code() const override { return static_cast<int>(case_); }

private:
    Case case_;
    std::string modelID_;
};

// A whole array of models under one defaults key; each model owns the
// array-dictionary storage of its own element, whose index follows the
// element when the list is stored in another order or shortened.
//
// Create it with std::make_shared. Writes to one key must be serialised by
// the caller, as for the array-dictionary storage.
template <StoredInUserDefaultsDictionary Model>
class UserDefaultsMappedArrayStorage final
    : public Storage<std::string, std::vector<std::shared_ptr<Model>>>,
      public std::enable_shared_from_this<UserDefaultsMappedArrayStorage<Model>> {
public:
    using ModelPtr = std::shared_ptr<Model>;
    using Models = std::vector<ModelPtr>;
    using StoragePtr = std::shared_ptr<UserDefaultsArrayDictionaryStorage>;
    using ModelBuilder = std::function<Result<ModelPtr>(const StoragePtr&)>;
    using UpdateListener = typename Storage<std::string, Models>::UpdateListener;
    using StoreValueError = MappedArrayStoreValueError;

    UserDefaultsMappedArrayStorage(std::shared_ptr<defaults::UserDefaults> userDefaults, ModelBuilder modelBuilder)
        : modelBuilder_(std::move(modelBuilder))
        , userDefaults_(userDefaults)
        , userDefaultsStorage_(std::make_shared<UserDefaultsStorage>(std::move(userDefaults)))
    {
    }

    const std::shared_ptr<UserDefaultsStorage>& userDefaultsStorage() const { return userDefaultsStorage_; }

    Result<std::optional<Models>> retrieve(const std::string& key) override
    {
        auto stored = userDefaultsStorage_->retrieve(key);
        if (!stored)
            return stored.error();
        return models(key, *stored);
    }

    // Writes the models' dictionaries in the models' order; a model left out
    // loses its element.
    Result<void> store(const Models& models, const std::string& key) override
    {
        auto stored = userDefaultsStorage_->retrieve(key);
        if (!stored)
            return stored.error();
        if (!*stored)
            return StoreValueError::valueDoesNotExist();
        auto oldArray = arrayOfDictionaries(*stored);
        if (!oldArray)
            return oldArray.error();

        auto current = storages();
        std::vector<StoragePtr> modelStorages;
        modelStorages.reserve(models.size());
        for (const auto& model : models) {
            auto found = current.find(model->id());
            if (found == current.end())
                return StoreValueError::valueCreatedIllegally(model->id());
            modelStorages.push_back(found->second);
        }

        UserDefaultsValue::Array newArray;
        newArray.reserve(models.size());
        for (const auto& storage : modelStorages) {
            int64_t oldIndex = storage->arrayIndex();
            if (oldIndex >= 0 && oldIndex < int64_t(oldArray->size()))
                newArray.emplace_back((*oldArray)[size_t(oldIndex)]);
            else
                newArray.emplace_back(UserDefaultsValue::Dictionary {});
        }
        // The write calls observers at once, and they rebuild the models from
        // the storages: give the kept storages their new indexes and forget
        // the removed ones first, or models would be built on the wrong
        // elements. A failed write puts everything back.
        std::vector<int64_t> oldIndexes;
        std::map<std::string, StoragePtr> kept;
        for (size_t index = 0; index < modelStorages.size(); ++index) {
            oldIndexes.push_back(modelStorages[index]->arrayIndex());
            modelStorages[index]->setArrayIndex(int64_t(index));
            kept.insert_or_assign(models[index]->id(), modelStorages[index]);
        }
        replaceStorages([&](std::map<std::string, StoragePtr>& storages) { storages = kept; });
        auto written = userDefaultsStorage_->store(UserDefaultsValue(std::move(newArray)), key);
        if (!written) {
            for (size_t index = 0; index < modelStorages.size(); ++index)
                modelStorages[index]->setArrayIndex(oldIndexes[index]);
            replaceStorages([&](std::map<std::string, StoragePtr>& storages) { storages = current; });
        }
        return written;
    }

    Result<void> remove(const std::string& key) override { return userDefaultsStorage_->remove(key); }

    [[nodiscard]] AnyCancellable observe(const std::string& key, UpdateListener listener) override
    {
        return observeWithErrors(key, std::move(listener), nullptr);
    }

    [[nodiscard]] AnyCancellable observeWithErrors(const std::string& key, UpdateListener listener,
        typename Storage<std::string, Models>::ErrorListener errorListener) override
    {
        std::weak_ptr<UserDefaultsMappedArrayStorage> weakSelf = this->weak_from_this();
        return userDefaultsStorage_->observe(key,
            [weakSelf, key, listener, errorListener](const std::optional<UserDefaultsValue>& value) {
                auto self = weakSelf.lock();
                if (!self)
                    return;
                auto mapped = self->models(key, value);
                // An array that cannot be read is not reported as gone: readers
                // would drop their models and could store the empty list over
                // the user's records. They keep what they have and hear why.
                if (mapped)
                    listener(*mapped);
                else if (errorListener)
                    errorListener(mapped.error());
            });
    }

    // Creates a new model at the end of the array: `fill` writes the new
    // record's fields through the storage it is given (the first write
    // appends the element) and returns the model built on it.
    Result<ModelPtr> appendNewValue(const std::string& key, const std::function<Result<ModelPtr>(const StoragePtr&)>& fill)
    {
        auto stored = userDefaultsStorage_->retrieve(key);
        if (!stored)
            return stored.error();
        auto array = arrayOfDictionaries(*stored);
        if (!array)
            return array.error();
        auto storage = std::make_shared<UserDefaultsArrayDictionaryStorage>(key, int64_t(array->size()), userDefaults_);
        auto model = fill(storage);
        if (!model)
            return model.error();
        replaceStorages([&](std::map<std::string, StoragePtr>& storages) {
            storages.insert_or_assign((*model)->id(), (*model)->storage());
        });
        return model;
    }

private:
    Result<std::optional<Models>> models(const std::string& key, const std::optional<UserDefaultsValue>& value)
    {
        if (!value)
            return std::optional<Models>();
        if (!value->asArray())
            return PersistenceError::unexpectedValueType(value->description(), "Array");
        size_t count = value->asArray()->size();

        std::map<int64_t, StoragePtr> byIndex;
        for (const auto& [identifier, storage] : storages())
            byIndex.emplace(storage->arrayIndex(), storage);

        Models result;
        std::map<std::string, StoragePtr> built;
        for (size_t index = 0; index < count; ++index) {
            auto found = byIndex.find(int64_t(index));
            StoragePtr storage = found != byIndex.end()
                ? found->second
                : std::make_shared<UserDefaultsArrayDictionaryStorage>(key, int64_t(index), userDefaults_);
            auto model = modelBuilder_(storage);
            if (!model)
                continue;
            built.insert_or_assign((*model)->id(), (*model)->storage());
            result.push_back(std::move(*model));
        }
        replaceStorages([&](std::map<std::string, StoragePtr>& storages) { storages = std::move(built); });
        return std::optional<Models>(std::move(result));
    }

    const dispatch::QueuePtr& storagesQueue()
    {
        std::call_once(storagesQueueOnce_, [this] {
            storagesQueue_ = dispatch::DispatchQueue::makeConcurrent("UserDefaultsMappedArrayStorage.storages");
        });
        return storagesQueue_;
    }

    std::map<std::string, StoragePtr> storages()
    {
        return storagesQueue()->sync([this] { return storages_; });
    }

    template <class Change>
    void replaceStorages(Change&& change)
    {
        storagesQueue()->syncBarrier([&] {
            auto copy = storages_;
            change(copy);
            storages_ = std::move(copy);
        });
    }

    ModelBuilder modelBuilder_;
    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    std::once_flag storagesQueueOnce_;
    dispatch::QueuePtr storagesQueue_;
    std::map<std::string, StoragePtr> storages_;
    std::shared_ptr<UserDefaultsStorage> userDefaultsStorage_;
};

} // namespace tavik::persistence
