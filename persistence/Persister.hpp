#pragma once

#include "persistence/Storage.hpp"
#include "persistence/Transformer.hpp"
#include "persistence/UserDefaultsStorage.hpp"
#include "persistence/UserDefaultsValue.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/publisher/Publisher.hpp"

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <variant>

namespace tavik::persistence {

// What a Persister writes on its own when a read finds nothing usable.
struct DefaultValuePersistOption {
    int64_t rawValue = 0;

    // A read that finds no stored value writes the default first.
    static const DefaultValuePersistOption storeDefaultWhenAbsent;
    // A read that fails writes the default (ignoring errors of that write).
    static const DefaultValuePersistOption storeDefaultWhenUnreadable;

    bool contains(DefaultValuePersistOption other) const { return (rawValue & other.rawValue) == other.rawValue && other.rawValue; }
    DefaultValuePersistOption operator|(DefaultValuePersistOption other) const { return {rawValue | other.rawValue}; }
    bool operator==(const DefaultValuePersistOption&) const = default;
};
inline const DefaultValuePersistOption DefaultValuePersistOption::storeDefaultWhenAbsent {1};
inline const DefaultValuePersistOption DefaultValuePersistOption::storeDefaultWhenUnreadable {2};

// A default value, given as a value or as a function computed on first need.
template <class Value>
class DefaultValue {
public:
    template <class U>
    requires(std::constructible_from<Value, U&&> && !std::invocable<U&>)
        DefaultValue(U&& value)
        : make_([value = Value(std::forward<U>(value))] { return value; })
    {
    }
    template <class F>
    requires(std::invocable<F&>&& std::convertible_to<std::invoke_result_t<F&>, Value>)
        DefaultValue(F function)
        : make_(std::move(function))
    {
    }

    Value operator()() const { return make_(); }

private:
    std::function<Value()> make_;
};

namespace detail {

template <class T>
struct IsOptional : std::false_type {
};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
    using Wrapped = T;
};
// Whether Value is std::optional<Input>.
template <class Value, class Input>
struct IsOptionalOf : std::false_type {
};
template <class Input>
struct IsOptionalOf<std::optional<Input>, Input> : std::true_type {
};

// How a persister's value becomes a storage's value and back. `encode`
// giving nothing means "remove" (an optional value that is empty).
template <class Value, class Stored>
struct Codec {
    std::function<Result<std::optional<Stored>>(const Value&)> encode;
    std::function<Result<Value>(const Stored&)> decode;
};

template <class Value, class Stored>
Codec<Value, Stored> transformerCodec(TransformerPtr<Value, Stored> transformer)
{
    return {
        [transformer](const Value& value) -> Result<std::optional<Stored>> {
            auto stored = transformer->transform(value);
            if (!stored)
                return stored.error();
            return std::optional<Stored>(std::move(*stored));
        },
        [transformer](const Stored& stored) { return transformer->untransform(stored); },
    };
}

template <class Value, class Stored>
Codec<std::optional<Value>, Stored> liftOptional(Codec<Value, Stored> inner)
{
    return {
        [encode = inner.encode](const std::optional<Value>& value) -> Result<std::optional<Stored>> {
            if (!value)
                return std::optional<Stored>();
            return encode(*value);
        },
        [decode = inner.decode](const Stored& stored) -> Result<std::optional<Value>> {
            auto value = decode(stored);
            if (!value)
                return value.error();
            return std::optional<Value>(std::move(*value));
        },
    };
}

// Whether values of this type can go into a storage of `Stored` without
// a transformer of the caller's: the same type, a storable type into
// user-defaults values, or an optional of either.
template <class Value, class Stored>
constexpr bool directlyStorable()
{
    if constexpr (std::is_same_v<Value, Stored>)
        return true;
    else if constexpr (IsOptional<Value>::value)
        return directlyStorable<typename IsOptional<Value>::Wrapped, Stored>();
    else if constexpr (std::is_same_v<Stored, UserDefaultsValue>)
        return StorableInUserDefaults<Value>;
    else
        return false;
}

template <class Value, class Stored>
requires(directlyStorable<Value, Stored>())
    Codec<Value, Stored> directCodec()
{
    if constexpr (std::is_same_v<Value, Stored>) {
        return {
            [](const Value& value) -> Result<std::optional<Stored>> { return std::optional<Stored>(value); },
            [](const Stored& stored) -> Result<Value> { return stored; },
        };
    } else if constexpr (IsOptional<Value>::value) {
        return liftOptional(directCodec<typename IsOptional<Value>::Wrapped, Stored>());
    } else {
        return transformerCodec<Value, Stored>(std::make_shared<StorableInUserDefaultsTransformer<Value>>());
    }
}

// The caller's transformer, followed by the conversion its output needs.
// A transformer of the wrapped type serves an optional value.
template <class Value, class Stored, class Input, class Output>
Codec<Value, Stored> chainedCodec(TransformerPtr<Input, Output> transformer)
{
    if constexpr (IsOptionalOf<Value, Input>::value) {
        return liftOptional(chainedCodec<Input, Stored, Input, Output>(std::move(transformer)));
    } else {
        static_assert(std::is_same_v<Value, Input>, "the transformer's input must be the persisted value type");
        static_assert(directlyStorable<Output, Stored>(), "the transformer's output cannot be kept in this storage");
        auto next = directCodec<Output, Stored>();
        return {
            [transformer, encode = next.encode](const Value& value) -> Result<std::optional<Stored>> {
                auto output = transformer->transform(value);
                if (!output)
                    return output.error();
                return encode(*output);
            },
            [transformer, decode = next.decode](const Stored& stored) -> Result<Value> {
                auto output = decode(stored);
                if (!output)
                    return output.error();
                return transformer->untransform(*output);
            },
        };
    }
}

} // namespace detail

// A typed value kept under one key of a storage: read with a default,
// written through a transformer, observed for changes.
//
// A Persister is a reference: copies share one persister (its listeners, its
// cached default, its publisher). It does no locking around the storage:
// reads and writes run on the caller's thread, and updates arrive on the
// thread that changed the storage.
template <class Value>
class Persister : public PersisterSettings {
public:
    using ValueType = Value;

    struct Update {
        struct Persisted {
            Value value;
        };
        struct Removed {};
        using Event = std::variant<Persisted, Removed>;

        Value newValue;
        Event event;

        bool isPersisted() const { return std::holds_alternative<Persisted>(event); }
        bool isRemoved() const { return std::holds_alternative<Removed>(event); }
    };

    using UpdateListener = std::function<void(const Result<Update>&)>;
    using ValueGetter = std::function<Result<std::optional<Value>>()>;
    using ValueSetter = std::function<Result<void>(const Value&)>;
    using ValueRemover = std::function<Result<void>()>;
    // Subscribes to the storage: each change arrives as the new value
    // (nothing when removed) or the error of reading it.
    using StorageSubscriber = std::function<AnyCancellable(std::function<void(const Result<std::optional<Value>>&)>)>;

    // A persister over closures.
    Persister(ValueGetter valueGetter, ValueSetter valueSetter, ValueRemover valueRemover,
        StorageSubscriber subscriber, DefaultValue<Value> defaultValue, DefaultValuePersistOption options = {})
        : state_(std::make_shared<State>(std::move(defaultValue), options, std::move(valueGetter),
            std::move(valueSetter), std::move(valueRemover)))
    {
        subscribe(std::move(subscriber));
    }

    // A persister over a storage whose values it can hold directly: the same
    // type, or a storable type in a user-defaults storage (chained with
    // StorableInUserDefaultsTransformer), or an optional of either, where
    // storing nothing removes the key.
    template <StorageType S>
    requires(detail::directlyStorable<Value, typename S::Value>())
        Persister(typename S::Key key, std::shared_ptr<S> storage, DefaultValue<Value> defaultValue,
            DefaultValuePersistOption options = {})
        : Persister(std::move(key), std::move(storage), detail::directCodec<Value, typename S::Value>(),
            std::move(defaultValue), options)
    {
    }

    // A persister over a storage through a transformer; in a user-defaults
    // storage the transformer's output only has to be storable.
    template <StorageType S, TransformerType T>
    Persister(typename S::Key key, std::shared_ptr<S> storage, std::shared_ptr<T> transformer,
        DefaultValue<Value> defaultValue, DefaultValuePersistOption options = {})
        : Persister(std::move(key), std::move(storage),
            detail::chainedCodec<Value, typename S::Value>(
                TransformerPtr<typename T::Input, typename T::Output>(std::move(transformer))),
            std::move(defaultValue), options)
    {
    }

    // A persister over a key of a user-defaults store.
    Persister(std::string key, std::shared_ptr<defaults::UserDefaults> userDefaults, DefaultValue<Value> defaultValue,
        DefaultValuePersistOption options = {}) requires(detail::directlyStorable<Value, UserDefaultsValue>())
        : Persister(std::move(key), std::make_shared<UserDefaultsStorage>(std::move(userDefaults)),
            std::move(defaultValue), options)
    {
    }

    template <TransformerType T>
    Persister(std::string key, std::shared_ptr<defaults::UserDefaults> userDefaults,
        std::shared_ptr<T> transformer, DefaultValue<Value> defaultValue,
        DefaultValuePersistOption options = {})
        : Persister(std::move(key), std::make_shared<UserDefaultsStorage>(std::move(userDefaults)),
            std::move(transformer), std::move(defaultValue), options)
    {
    }

    // The stored value; nothing when nothing is stored.
    Result<std::optional<Value>> fetch() const { return state_->valueGetter(); }

    // The stored value, else the default (written first with
    // storeDefaultWhenAbsent). Read errors propagate.
    Result<Value> fetchOrDefault() const
    {
        auto stored = state_->valueGetter();
        if (!stored)
            return stored.error();
        if (*stored)
            return std::move(**stored);
        Value fallback = defaultValue();
        if (state_->defaultValuePersistBehaviour.contains(DefaultValuePersistOption::storeDefaultWhenAbsent)) {
            auto stored2 = state_->valueSetter(fallback);
            if (!stored2)
                return stored2.error();
        }
        return fallback;
    }

    // The stored value, or the default when there is none or it cannot be
    // read (written first with storeDefaultWhenUnreadable, errors ignored).
    Value currentValue() const
    {
        auto value = fetchOrDefault();
        if (value)
            return std::move(*value);
        Value fallback = defaultValue();
        if (state_->defaultValuePersistBehaviour.contains(DefaultValuePersistOption::storeDefaultWhenUnreadable))
            (void)state_->valueSetter(fallback);
        return fallback;
    }

    Result<void> store(const Value& value) const { return state_->valueSetter(value); }
    Result<void> remove() const { return state_->valueRemover(); }

    // The default, computed once on first need.
    Value defaultValue() const
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->cachedDefaultValue)
            state_->cachedDefaultValue = state_->defaultValueClosure();
        return *state_->cachedDefaultValue;
    }
    // Replaces the default (for example with a value just written).
    void setDefaultValue(Value value) const
    {
        std::lock_guard lock(state_->mutex);
        state_->cachedDefaultValue = std::move(value);
    }

    DefaultValuePersistOption defaultValuePersistBehaviour() const { return state_->defaultValuePersistBehaviour; }

    // Calls the listener with every update (or error) until the token ends.
    [[nodiscard]] AnyCancellable observe(UpdateListener listener) const
    {
        UUID identifier;
        {
            std::lock_guard lock(state_->mutex);
            state_->updateListeners.emplace(identifier, std::move(listener));
        }
        std::weak_ptr<State> weakState = state_;
        return AnyCancellable([weakState, identifier] {
            if (auto state = weakState.lock()) {
                std::lock_guard lock(state->mutex);
                state->updateListeners.erase(identifier);
            }
        });
    }

    // The current value and then every persisted value. Removals and values
    // that cannot be read are not sent.
    publisher::Publisher<Value> valuePublisher() const
    {
        {
            std::lock_guard lock(state_->mutex);
            if (state_->updatesSubject)
                return state_->updatesSubject->publisher();
        }
        Value seed = currentValue();
        std::lock_guard lock(state_->mutex);
        if (!state_->updatesSubject)
            state_->updatesSubject.emplace(std::move(seed));
        return state_->updatesSubject->publisher();
    }

    // Whether two handles are the same persister.
    bool operator==(const Persister& other) const { return state_ == other.state_; }

private:
    struct State {
        State(DefaultValue<Value> closure, DefaultValuePersistOption options, ValueGetter getter, ValueSetter setter,
            ValueRemover remover)
            : defaultValuePersistBehaviour(options)
            , defaultValueClosure(std::move(closure))
            , valueGetter(std::move(getter))
            , valueSetter(std::move(setter))
            , valueRemover(std::move(remover))
        {
        }

        std::mutex mutex; // guards the cached default, the listeners and the subject
        std::optional<Value> cachedDefaultValue;
        const DefaultValuePersistOption defaultValuePersistBehaviour;
        const DefaultValue<Value> defaultValueClosure;
        const ValueGetter valueGetter;
        const ValueSetter valueSetter;
        const ValueRemover valueRemover;
        AnyCancellable storageUpdateListenerCancellable;
        std::map<UUID, UpdateListener> updateListeners;
        std::optional<publisher::CurrentValueSubject<Value>> updatesSubject;
    };

    template <class S, class Stored = typename S::Value>
    Persister(typename S::Key key, std::shared_ptr<S> storage, detail::Codec<Value, Stored> codec,
        DefaultValue<Value> defaultValue, DefaultValuePersistOption options)
        : state_(std::make_shared<State>(
            std::move(defaultValue), options,
            [storage, key, decode = codec.decode]() -> Result<std::optional<Value>> {
                auto stored = storage->retrieve(key);
                if (!stored)
                    return stored.error();
                if (!*stored)
                    return std::optional<Value>();
                auto value = decode(**stored);
                if (!value)
                    return value.error();
                return std::optional<Value>(std::move(*value));
            },
            [storage, key, encode = codec.encode](const Value& value) -> Result<void> {
                auto stored = encode(value);
                if (!stored)
                    return stored.error();
                if (!*stored)
                    return storage->remove(key);
                return storage->store(**stored, key);
            },
            [storage, key]() { return storage->remove(key); }))
    {
        // Values are only decoded for a change when someone listens.
        std::weak_ptr<State> weakState = state_;
        auto token = storage->observeWithErrors(
            key,
            [weakState, decode = codec.decode](const std::optional<Stored>& stored) {
                auto state = weakState.lock();
                if (!state)
                    return;
                Persister persister(state);
                if (!persister.hasAudience())
                    return;
                if (!stored) {
                    persister.deliver(std::optional<Value>());
                    return;
                }
                auto value = decode(*stored);
                if (!value)
                    persister.deliver(value.error());
                else
                    persister.deliver(std::optional<Value>(std::move(*value)));
            },
            [weakState](const ErrorPtr& error) {
                if (auto state = weakState.lock())
                    Persister(state).deliver(error);
            });
        std::lock_guard lock(state_->mutex);
        state_->storageUpdateListenerCancellable = std::move(token);
    }

    bool hasAudience() const
    {
        std::lock_guard lock(state_->mutex);
        return !state_->updateListeners.empty() || state_->updatesSubject;
    }

    void subscribe(StorageSubscriber subscriber)
    {
        if (!subscriber)
            return;
        std::weak_ptr<State> weakState = state_;
        auto token = subscriber([weakState](const Result<std::optional<Value>>& change) {
            auto state = weakState.lock();
            if (!state)
                return;
            Persister persister(state);
            persister.deliver(change);
        });
        std::lock_guard lock(state_->mutex);
        state_->storageUpdateListenerCancellable = std::move(token);
    }

    explicit Persister(std::shared_ptr<State> state)
        : state_(std::move(state))
    {
    }

    void deliver(const Result<std::optional<Value>>& change) const
    {
        std::optional<Result<Update>> update;
        if (!change)
            update.emplace(change.error());
        else if (!*change)
            update.emplace(Update {defaultValue(), typename Update::Removed {}});
        else
            update.emplace(Update {**change, typename Update::Persisted {**change}});

        std::vector<UpdateListener> listeners;
        std::optional<publisher::CurrentValueSubject<Value>> subject;
        {
            std::lock_guard lock(state_->mutex);
            for (const auto& [identifier, listener] : state_->updateListeners)
                listeners.push_back(listener);
            subject = state_->updatesSubject;
        }
        for (const auto& listener : listeners)
            listener(*update);
        if (*update && (*update)->isPersisted() && subject)
            subject->send((*update)->newValue);
    }

    std::shared_ptr<State> state_;
};

// A value that reads as its persister's current value and stores on
// assignment (dropping errors). projectedValue() is the persister.
template <class Value>
class Persisted {
public:
    explicit Persisted(Persister<Value> persister)
        : persister_(std::move(persister))
    {
    }
    template <class... Arguments>
    requires std::constructible_from<Persister<Value>, Arguments &&...> explicit Persisted(Arguments&&... arguments)
        : persister_(std::forward<Arguments>(arguments)...)
    {
    }

    Value wrappedValue() const { return persister_.currentValue(); }
    operator Value() const { return wrappedValue(); }
    void setWrappedValue(const Value& value) { (void)persister_.store(value); }
    Persisted& operator=(const Value& value)
    {
        setWrappedValue(value);
        return *this;
    }

    const Persister<Value>& projectedValue() const { return persister_; }
    const Persister<Value>* operator->() const { return &persister_; }

private:
    Persister<Value> persister_;
};

} // namespace tavik::persistence
