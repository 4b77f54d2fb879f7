#pragma once

#include "persistence/Storage.hpp"
#include "platform/foundation/UUID.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavik::persistence {

// A storage in memory, from string keys to values. Every store and remove
// calls the key's listeners at once, on the calling thread.
template <class Value>
class InMemoryStorage final : public Storage<std::string, Value> {
public:
    using UpdateListener = typename Storage<std::string, Value>::UpdateListener;

    InMemoryStorage()
        : state_(std::make_shared<State>())
    {
    }

    Result<void> store(const Value& value, const std::string& key) override
    {
        {
            std::lock_guard lock(state_->mutex);
            state_->dictionary.insert_or_assign(key, value);
        }
        notify(key, value);
        return {};
    }

    Result<void> remove(const std::string& key) override
    {
        {
            std::lock_guard lock(state_->mutex);
            state_->dictionary.erase(key);
        }
        notify(key, std::nullopt);
        return {};
    }

    Result<std::optional<Value>> retrieve(const std::string& key) override
    {
        std::lock_guard lock(state_->mutex);
        auto found = state_->dictionary.find(key);
        if (found == state_->dictionary.end())
            return std::optional<Value>();
        return std::optional<Value>(found->second);
    }

    [[nodiscard]] AnyCancellable observe(const std::string& key, UpdateListener listener) override
    {
        UUID identifier;
        {
            std::lock_guard lock(state_->mutex);
            state_->updateListeners[key].emplace(identifier, std::move(listener));
        }
        std::weak_ptr<State> weakState = state_;
        return AnyCancellable([weakState, key, identifier] {
            if (auto state = weakState.lock()) {
                std::lock_guard lock(state->mutex);
                auto found = state->updateListeners.find(key);
                if (found != state->updateListeners.end()) {
                    found->second.erase(identifier);
                    if (found->second.empty())
                        state->updateListeners.erase(found);
                }
            }
        });
    }

private:
    struct State {
        std::mutex mutex;
        std::map<std::string, Value> dictionary;
        std::map<std::string, std::map<UUID, UpdateListener>> updateListeners;
    };

    void notify(const std::string& key, const std::optional<Value>& value)
    {
        std::vector<UpdateListener> listeners;
        {
            std::lock_guard lock(state_->mutex);
            auto found = state_->updateListeners.find(key);
            if (found != state_->updateListeners.end())
                for (const auto& [identifier, listener] : found->second)
                    listeners.push_back(listener);
        }
        for (const auto& listener : listeners)
            listener(value);
    }

    std::shared_ptr<State> state_;
};

} // namespace tavik::persistence
