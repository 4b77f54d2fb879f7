#pragma once

#include "persistence/Storage.hpp"
#include "persistence/UserDefaultsValue.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/UUID.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tavik::persistence {

// Settings shared by every Persister, whatever its value type
// (Persister<T>::suppressDotInUserDefaultsKeyWarning).
struct PersisterSettings {
    // Silences the warning printed when a key containing "." is observed.
    static inline std::atomic<bool> suppressDotInUserDefaultsKeyWarning {false};
};

// One UserDefaultsValue per key of a user-defaults store.
//
// Observers of a key hear of every change to it, made through any store
// object of the file or by another process, on the thread that made it. Keys
// containing "." are the exception kept from the platform this layout comes
// from: their listeners are called only by stores through this storage
// object, and observing one prints a warning unless suppressed.
class UserDefaultsStorage final : public Storage<std::string, UserDefaultsValue> {
public:
    explicit UserDefaultsStorage(std::shared_ptr<defaults::UserDefaults> userDefaults);

    const std::shared_ptr<defaults::UserDefaults>& userDefaults() const { return userDefaults_; }

    Result<void> store(const UserDefaultsValue& value, const std::string& key) override;
    Result<void> remove(const std::string& key) override;
    Result<std::optional<UserDefaultsValue>> retrieve(const std::string& key) override;
    [[nodiscard]] AnyCancellable observe(const std::string& key, UpdateListener listener) override;

    // Replaces the value by what `change` makes of the stored one, with every
    // other writer of the store kept out in between (UserDefaults::update).
    using Change = std::function<Result<std::optional<UserDefaultsValue>>(const std::optional<UserDefaultsValue>&)>;
    Result<void> update(const std::string& key, const Change& change);

    // A stored object as a value: a URL in the store's own form is a URL.
    static std::optional<UserDefaultsValue> valueOfObject(const std::optional<plist::PropertyList>& object);

    // The text printed when a key with a dot is observed.
    static std::string dotInKeyWarning(const std::string& key);

private:
    struct Listeners {
        std::mutex mutex;
        std::map<std::string, std::map<UUID, UpdateListener>> updateListeners;
    };

    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    std::shared_ptr<Listeners> listeners_;
};

} // namespace tavik::persistence
