#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <functional>
#include <memory>
#include <optional>

namespace tavik::persistence {

using publisher::AnyCancellable;
using publisher::Cancellable;
using publisher::Subscription;

// A key-value storage. Storages are shared objects (held by shared_ptr).
template <class KeyType, class ValueType>
class Storage {
public:
    using Key = KeyType;
    using Value = ValueType;
    // Receives the new stored value, or nothing when the key was removed.
    using UpdateListener = std::function<void(const std::optional<Value>&)>;
    // Receives why a changed value could not be read.
    using ErrorListener = std::function<void(const ErrorPtr&)>;

    virtual ~Storage() = default;

    virtual Result<void> store(const Value& value, const Key& key) = 0;
    virtual Result<void> remove(const Key& key) = 0;
    // Nothing stored is a valid answer, not an error.
    virtual Result<std::optional<Value>> retrieve(const Key& key) = 0;
    // The listener is called until the token is cancelled or released.
    [[nodiscard]] virtual AnyCancellable observe(const Key& key, UpdateListener listener) = 0;
    // As observe; a storage whose values can fail to read reports those
    // changes to errorListener instead of passing them over in silence.
    [[nodiscard]] virtual AnyCancellable observeWithErrors(const Key& key, UpdateListener listener, ErrorListener errorListener)
    {
        (void)errorListener;
        return observe(key, std::move(listener));
    }
};

template <class S>
concept StorageType = requires
{
    typename S::Key;
    typename S::Value;
}
&&std::derived_from<S, Storage<typename S::Key, typename S::Value>>;

} // namespace tavik::persistence
