#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/plist/PropertyList.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tavik::defaults {

using plist::PropertyList;

// A user-defaults store: the settings of one application (or one suite), kept
// as a dictionary in one binary property-list file.
//
// - Every store object of one file in this process shares one state, so a
//   change made through any of them is seen by all and reaches every observer.
// - Reads come from memory; a read notices when another process replaced the
//   file and reloads it first.
// - A write locks the file (flock on "<file>.lock"), re-reads it, changes only
//   its own key on top of what is there, and writes the whole file atomically
//   and durably: a temporary file in the same folder (mode 0600), fsync,
//   rename over the file, fsync of the folder. So a write never drops another
//   process's change to another key, and the file is always whole.
// - A file that is not a property-list dictionary (or is empty) is renamed to
//   "<file>.corrupt-<time>[-n]", reported once at error level, and the store
//   starts empty; it is never overwritten in place.
// - Observers of a key are called with the old and the new value (nothing when
//   absent): by the writing thread for changes made in this process, after
//   the write; for changes made by another process, by the store's watcher
//   thread (inotify on the folder), or by the thread calling synchronize.
//   A read never calls observers, even when it is the first to notice a
//   change: it leaves the calls to the watcher thread, so a reader may hold
//   locks of its own. Observers are called without the store's locks held,
//   so they may read and write the store. One observer is never called by
//   two threads at once (a change arriving while another thread calls it is
//   delivered by that thread next, without waiting), nor with a change older
//   than one it had.
class UserDefaults {
public:
    using Observer = std::function<void(const std::optional<PropertyList>& oldValue,
        const std::optional<PropertyList>& newValue)>;

    // The application's own store: suite "app.tavik.Tavik".
    static std::shared_ptr<UserDefaults> standard();
    // The store of a suite: "<config folder>/<suiteName>.plist".
    static std::shared_ptr<UserDefaults> suite(const std::string& suiteName);
    // The store kept in this file (tests, tools).
    static std::shared_ptr<UserDefaults> atPath(const std::filesystem::path& file);
    // $XDG_CONFIG_HOME/tavik, or ~/.config/tavik.
    static std::filesystem::path configFolder();
    static constexpr const char* standardSuiteName = "app.tavik.Tavik";

    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::filesystem::path& filePath() const;

    std::optional<PropertyList> object(const std::string& key) const;
    // Every key and value.
    PropertyList::Dictionary dictionaryRepresentation() const;

    // Writing fails when the folder or the file cannot be written; the store
    // is unchanged then.
    Result<void> set(const std::string& key, const PropertyList& value);
    Result<void> removeObject(const std::string& key);

    // Replaces the key's value by what `change` makes of the value on disk
    // (nothing: removed), with every writer of the file, in this process or
    // another, kept out in between; so a read-change-write of a whole list
    // never undoes another writer's change. A failed change writes nothing.
    // `change` runs under the store's locks: it must not use the store.
    using Change = std::function<Result<std::optional<PropertyList>>(const std::optional<PropertyList>& storedValue)>;
    Result<void> update(const std::string& key, const Change& change);

    // URLs are kept in the store's own form: data holding a small binary
    // property list {"$class" = "URL"; "path" = ...; "isDirectory" = ...}.
    Result<void> setURL(const std::string& key, const URL& url);
    // The URL under the key: stored in the form above, or a string holding an
    // absolute path or one starting with "~/"; nothing otherwise.
    std::optional<URL> url(const std::string& key) const;
    // The store's URL form (also used to recognise it).
    static plist::Data encodeURL(const URL& url);
    static std::optional<URL> decodeURL(const plist::Data& data);

    // Calls the observer on every change of the key until the token ends.
    [[nodiscard]] publisher::AnyCancellable observe(const std::string& key, Observer observer);

    // Reads the file now if another process changed it (what reads and the
    // watcher do by themselves); observers hear of the changes.
    void synchronize();

    struct FileState;

private:
    explicit UserDefaults(std::shared_ptr<FileState> state);
    std::shared_ptr<FileState> state_;
};

} // namespace tavik::defaults
