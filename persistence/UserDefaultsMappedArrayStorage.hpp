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
#include <set>
#include <string>
#include <vector>

namespace tavik::persistence {

// A model kept as one dictionary of an array in the user defaults: it knows
// its identifier and the array-dictionary storage it was built from.
template <class Model>
concept StoredInUserDefaultsDictionary = requires(const Model& model)
{
    {
        model.id()
        } -> std::convertible_to<std::string>;
    {
        model.storage()
        } -> std::convertible_to<std::shared_ptr<UserDefaultsArrayDictionaryStorage>>;
};

// UserDefaultsMappedArrayStorage.StoreValueError
class MappedArrayStoreValueError final : public Error {
public:
    enum class Case {
        valueCreatedIllegally = 0,
        valueDoesNotExist = 1
    };

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
// array-dictionary storage of its own element, bound to the record by the
// identifier the record holds under `recordIDKey` ("ID"), so it keeps
// addressing its own record whatever this or another process does to the
// list.
//
// Create it with std::make_shared. Every write is one step against every
// other writer of the store.
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

    UserDefaultsMappedArrayStorage(std::shared_ptr<defaults::UserDefaults> userDefaults, ModelBuilder modelBuilder,
        std::string recordIDKey = "ID")
        : modelBuilder_(std::move(modelBuilder))
        , recordIDKey_(std::move(recordIDKey))
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

    // Stores the list: the models' records in the models' order, in the
    // places the models' records held. A record of a model this storage built
    // that is left out is removed. Every other record (one that could not be
    // read into a model, or one another process added meanwhile) stays as it
    // is stored, and a model whose record another process removed is not
    // brought back.
    Result<void> store(const Models& models, const std::string& key) override
    {
        auto current = storages();
        std::vector<StoragePtr> modelStorages;
        modelStorages.reserve(models.size());
        for (const auto& model : models) {
            auto found = current.find(model->id());
            if (found == current.end())
                return StoreValueError::valueCreatedIllegally(model->id());
            modelStorages.push_back(found->second);
        }
        std::set<std::string> kept;
        for (const auto& storage : modelStorages)
            kept.insert(*storage->recordID());
        std::set<std::string> removed;
        for (const auto& [id, storage] : current) {
            if (!kept.contains(*storage->recordID()))
                removed.insert(*storage->recordID());
        }

        std::vector<std::pair<StoragePtr, int64_t>> newIndexes;
        auto written = userDefaultsStorage_->update(key,
            [&](const std::optional<UserDefaultsValue>& stored) -> Result<std::optional<UserDefaultsValue>> {
                newIndexes.clear();
                if (!stored)
                    return StoreValueError::valueDoesNotExist();
                auto oldArray = arrayOfDictionaries(stored);
                if (!oldArray)
                    return oldArray.error();
                std::vector<std::pair<StoragePtr, size_t>> inOrder;
                for (const auto& storage : modelStorages) {
                    if (auto position = storage->position(*oldArray))
                        inOrder.emplace_back(storage, *position);
                }
                std::set<size_t> modelPositions;
                for (const auto& [storage, position] : inOrder)
                    modelPositions.insert(position);

                UserDefaultsValue::Array newArray;
                std::set<std::string> seen;
                auto next = inOrder.begin();
                for (size_t position = 0; position < oldArray->size(); ++position) {
                    auto id = recordIdentifier((*oldArray)[position], recordIDKey_);
                    bool firstOfItsID = id && seen.insert(*id).second;
                    if (modelPositions.contains(position)) {
                        newIndexes.emplace_back(next->first, int64_t(newArray.size()));
                        newArray.emplace_back((*oldArray)[next->second]);
                        ++next;
                    } else if (!(firstOfItsID && removed.contains(*id))) {
                        newArray.emplace_back((*oldArray)[position]);
                    }
                }
                return std::optional<UserDefaultsValue>(UserDefaultsValue(std::move(newArray)));
            });
        if (!written)
            return written;
        for (const auto& [storage, index] : newIndexes)
            storage->setArrayIndex(index);
        replaceStorages([&](std::map<std::string, StoragePtr>& storages) {
            std::erase_if(storages, [&](const auto& entry) {
                return removed.contains(*entry.second->recordID());
            });
        });
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

    // Creates a new model at the end of the array for the record `id`:
    // `fill` writes the record's fields through the storage it is given (the
    // first write adds the record with its identifier) and returns the model
    // built on it.
    Result<ModelPtr> appendNewValue(const std::string& key, const std::string& id,
        const std::function<Result<ModelPtr>(const StoragePtr&)>& fill)
    {
        auto storage = UserDefaultsArrayDictionaryStorage::boundToRecord(key, recordIDKey_, id, userDefaults_, true);
        auto model = fill(storage);
        if (!model)
            return model.error();
        replaceStorages([&](std::map<std::string, StoragePtr>& storages) {
            storages.insert_or_assign((*model)->id(), (*model)->storage());
        });
        return model;
    }

private:
    // Builds the models of the records in a stored array, reusing the
    // storage each known record already has. A record without an identifier,
    // or with one an earlier record has, cannot be bound and is left out.
    Result<std::optional<Models>> models(const std::string& key, const std::optional<UserDefaultsValue>& value)
    {
        if (!value)
            return std::optional<Models>();
        if (!value->asArray())
            return PersistenceError::unexpectedValueType(value->description(), "Array");

        std::map<std::string, StoragePtr> byRecordID;
        for (const auto& [modelID, storage] : storages())
            byRecordID.emplace(*storage->recordID(), storage);

        Models result;
        std::map<std::string, StoragePtr> built;
        std::set<std::string> seen;
        const auto& elements = *value->asArray();
        for (size_t index = 0; index < elements.size(); ++index) {
            auto element = elements[index].asDictionary();
            auto id = element ? recordIdentifier(*element, recordIDKey_) : std::nullopt;
            if (!id || !seen.insert(*id).second)
                continue;
            auto found = byRecordID.find(*id);
            StoragePtr storage = found != byRecordID.end()
                ? found->second
                : UserDefaultsArrayDictionaryStorage::boundToRecord(key, recordIDKey_, *id, userDefaults_);
            storage->setArrayIndex(int64_t(index));
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
    std::string recordIDKey_;
    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    std::once_flag storagesQueueOnce_;
    dispatch::QueuePtr storagesQueue_;
    std::map<std::string, StoragePtr> storages_;
    std::shared_ptr<UserDefaultsStorage> userDefaultsStorage_;
};

} // namespace tavik::persistence
