#include "persistence/UserDefaultsStorage.hpp"

#include <cstdio>

namespace tavik::persistence {

UserDefaultsStorage::UserDefaultsStorage(std::shared_ptr<defaults::UserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults))
    , listeners_(std::make_shared<Listeners>())
{
}

Result<void> UserDefaultsStorage::store(const UserDefaultsValue& value, const std::string& key)
{
    Result<void> written = value.asURL() ? userDefaults_->setURL(key, *value.asURL())
                                         : userDefaults_->set(key, value.propertyList());
    if (!written)
        return written;
    if (key.find('.') != std::string::npos) {
        std::vector<UpdateListener> listeners;
        {
            std::lock_guard lock(listeners_->mutex);
            auto found = listeners_->updateListeners.find(key);
            if (found != listeners_->updateListeners.end())
                for (const auto& [identifier, listener] : found->second)
                    listeners.push_back(listener);
        }
        for (const auto& listener : listeners)
            listener(value);
    }
    return {};
}

Result<void> UserDefaultsStorage::remove(const std::string& key) { return userDefaults_->removeObject(key); }

std::optional<UserDefaultsValue> UserDefaultsStorage::valueOfObject(const std::optional<plist::PropertyList>& object)
{
    if (!object)
        return std::nullopt;
    if (auto data = object->data()) {
        if (auto url = defaults::UserDefaults::decodeURL(*data))
            return UserDefaultsValue(*url);
    }
    return UserDefaultsValue::fromPropertyList(*object);
}

Result<std::optional<UserDefaultsValue>> UserDefaultsStorage::retrieve(const std::string& key)
{
    return valueOfObject(userDefaults_->object(key));
}

Result<void> UserDefaultsStorage::update(const std::string& key, const Change& change)
{
    return userDefaults_->update(key,
        [&](const std::optional<plist::PropertyList>& object) -> Result<std::optional<plist::PropertyList>> {
            auto value = change(valueOfObject(object));
            if (!value)
                return value.error();
            if (!*value)
                return std::optional<plist::PropertyList>();
            if (auto url = (*value)->asURL())
                return std::optional<plist::PropertyList>(plist::PropertyList(defaults::UserDefaults::encodeURL(*url)));
            return std::optional<plist::PropertyList>((*value)->propertyList());
        });
}

std::string UserDefaultsStorage::dotInKeyWarning(const std::string& key)
{
    return "WARNING: Attempting to observe the UserDefault key \"" + key
        + "\", which contains a dot (`.`). This will cause update listeners to only be called when the value is set "
          "on this instance. If this is acceptable you may suppress this message by setting "
          "`Persister.suppressDotInUserDefaultsKeyWarning` to `true`. See the documentation of "
          "UserDefaultsStorage for why keys containing a dot cannot be observed.";
}

AnyCancellable UserDefaultsStorage::observe(const std::string& key, UpdateListener listener)
{
    if (key.find('.') == std::string::npos) {
        auto token = userDefaults_->observe(key,
            [listener](const std::optional<plist::PropertyList>&, const std::optional<plist::PropertyList>& newValue) {
                listener(valueOfObject(newValue));
            });
        return token;
    }

    if (!PersisterSettings::suppressDotInUserDefaultsKeyWarning.load()) {
        std::puts(dotInKeyWarning(key).c_str());
        std::fflush(stdout);
    }
    UUID identifier;
    {
        std::lock_guard lock(listeners_->mutex);
        listeners_->updateListeners[key].emplace(identifier, std::move(listener));
    }
    std::weak_ptr<Listeners> weakListeners = listeners_;
    return AnyCancellable([weakListeners, key, identifier] {
        if (auto listeners = weakListeners.lock()) {
            std::lock_guard lock(listeners->mutex);
            auto found = listeners->updateListeners.find(key);
            if (found != listeners->updateListeners.end()) {
                found->second.erase(identifier);
                if (found->second.empty())
                    listeners->updateListeners.erase(found);
            }
        }
    });
}

} // namespace tavik::persistence
