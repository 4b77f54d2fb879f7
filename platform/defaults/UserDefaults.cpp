#include "platform/defaults/UserDefaults.hpp"

#include "platform/folderevents/FolderEventReader.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileWriting.hpp"
#include "platform/plist/BinaryPropertyList.hpp"
#include "platform/log/Logger.hpp"
#include "platform/publisher/Gate.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <tuple>
#include <mutex>
#include <vector>

namespace tavik::defaults {

namespace fs = std::filesystem;

namespace {

const log::Logger& logger()
{
    static const log::Logger instance("app.tavik.Tavik", "User Defaults");
    return instance;
}

// What a file was when it was last read or written: a replaced or rewritten
// file differs in one of these.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNanoseconds = 0;

    static FileIdentity of(const struct stat& status)
    {
        return {true, status.st_dev, status.st_ino, status.st_size,
            int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
    }
    static FileIdentity ofPath(const fs::path& path)
    {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0)
            return {};
        return of(status);
    }
    bool operator==(const FileIdentity&) const = default;
};

fs::path homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (auto entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

using Difference = std::tuple<std::string, std::optional<PropertyList>, std::optional<PropertyList>>;
// The changes of one installed state, with its version.
using Changes = std::pair<uint64_t, std::vector<Difference>>;

// The keys whose values differ between two states, with old and new values.
std::vector<Difference> differences(const PropertyList::Dictionary& before, const PropertyList::Dictionary& after)
{
    std::vector<Difference> changes;
    auto oldIterator = before.begin();
    auto newIterator = after.begin();
    while (oldIterator != before.end() || newIterator != after.end()) {
        if (newIterator == after.end() || (oldIterator != before.end() && oldIterator->first < newIterator->first)) {
            changes.emplace_back(oldIterator->first, oldIterator->second, std::nullopt);
            ++oldIterator;
        } else if (oldIterator == before.end() || newIterator->first < oldIterator->first) {
            changes.emplace_back(newIterator->first, std::nullopt, newIterator->second);
            ++newIterator;
        } else {
            if (!(oldIterator->second == newIterator->second))
                changes.emplace_back(oldIterator->first, oldIterator->second, newIterator->second);
            ++oldIterator;
            ++newIterator;
        }
    }
    return changes;
}

using ObservedChange = std::pair<std::optional<PropertyList>, std::optional<PropertyList>>;
using ObserverEntry = publisher::Gate<ObservedChange>;

} // namespace

struct UserDefaults::FileState : std::enable_shared_from_this<FileState> {
    explicit FileState(fs::path filePath)
        : file(std::move(filePath))
        , folder(file.parent_path())
        , lockFile(file.string() + ".lock")
        , temporaryPrefix("." + file.filename().string() + ".tmp-")
    {
    }

    const fs::path file;
    const fs::path folder;
    const fs::path lockFile;
    const std::string temporaryPrefix;

    // Guards values, identity and observers.
    std::mutex mutex;
    PropertyList::Dictionary values;
    FileIdentity identity;
    bool loaded = false;
    uint64_t nextObserverIdentifier = 0;
    // Counts the states installed; each change carries the count of its state.
    uint64_t version = 0;
    // Changes noticed by reads, for the watcher thread to deliver.
    std::vector<Changes> pendingChanges;
    std::atomic<bool> watching = false;
    std::map<std::string, std::map<uint64_t, std::shared_ptr<ObserverEntry>>> observers;

    // Keeps this process's loads and writes of the file apart; held while
    // the file lock is taken, never while observers are called.
    std::mutex diskMutex;
    bool cleanedTemporaryFiles = false;

    std::once_flag watcherOnce;
    // Rings for changes in the folder on a thread of its own, which delivers
    // the changes other processes made. Released with the state, also when
    // that thread held the last reference.
    std::unique_ptr<FolderEventReader> watcher;

    // What the file holds now. A file that is not a property-list dictionary
    // is moved aside (taking the file lock for that unless `locked`).
    struct DiskState {
        PropertyList::Dictionary values;
        FileIdentity identity;
    };

    Result<DiskState> readDisk(bool locked)
    {
        for (;;) {
            FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
            if (!descriptor.valid()) {
                if (errno == ENOENT)
                    return DiskState {};
                return FileError::fromErrno(errno, file, false);
            }
            struct stat status {};
            if (::fstat(descriptor.get(), &status) != 0)
                return FileError::fromErrno(errno, file, false);
            FileIdentity current = FileIdentity::of(status);
            {
                std::lock_guard lock(mutex);
                if (loaded && current == identity)
                    return DiskState {values, identity};
            }
            std::string bytes;
            bytes.resize(size_t(status.st_size));
            size_t got = 0;
            while (got < bytes.size()) {
                ssize_t count = ::read(descriptor.get(), bytes.data() + got, bytes.size() - got);
                if (count < 0 && errno == EINTR)
                    continue;
                if (count < 0)
                    return FileError::fromErrno(errno, file, false);
                if (count == 0)
                    break;
                got += size_t(count);
            }
            bytes.resize(got);
            auto parsed = PropertyList::parse(bytes);
            if (parsed && parsed->dictionary())
                return DiskState {std::move(*parsed->dictionary()), current};

            if (!locked) {
                auto fileLock = TAVIK_TRY(FileLock::acquire(lockFile));
                return readDisk(true);
            }
            // Still not a property list with the lock held: nobody is in the
            // middle of replacing it, so it is kept aside and we start empty.
            if (FileIdentity::ofPath(file) != current)
                continue;
            auto moved = moveAside();
            if (!moved)
                return moved.error();
            logger().error("The defaults file {} is not a property list ({}); it was moved to {} and the settings start empty",
                file.string(), parsed ? "not a dictionary" : parsed.error()->description(), moved->string());
            return DiskState {};
        }
    }

    Result<fs::path> moveAside()
    {
        auto time = std::time(nullptr);
        std::tm parts {};
        ::gmtime_r(&time, &parts);
        std::string base = fmt::format("{}.corrupt-{:%Y%m%dT%H%M%SZ}", file.string(), parts);
        for (int attempt = 0; attempt < 1000; ++attempt) {
            fs::path target = attempt == 0 ? fs::path(base) : fs::path(fmt::format("{}-{}", base, attempt));
            if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
                (void)fsyncFolder(folder);
                return target;
            }
            if (errno != EEXIST)
                return FileError::fromErrno(errno, file, true);
        }
        return FileError::make(FileError::Code::fileWriteFileExists, base);
    }

    // Replaces the file with these values: temporary file, fsync, rename,
    // fsync of the folder. Called with the file lock held.
    Result<FileIdentity> writeDisk(const PropertyList::Dictionary& newValues)
    {
        std::string pattern = (folder / (temporaryPrefix + "XXXXXX")).string();
        FileDescriptor descriptor(::mkostemp(pattern.data(), O_CLOEXEC));
        if (!descriptor.valid())
            return FileError::fromErrno(errno, folder, true);
        fs::path temporary = pattern;
        auto fail = [&](ErrorPtr error) -> Result<FileIdentity> {
            ::unlink(temporary.c_str());
            return error;
        };
        if (::fchmod(descriptor.get(), 0600) != 0)
            return fail(FileError::fromErrno(errno, temporary, true));
        ErrorPtr writeError;
        bool encoded = plist::binary::encode(PropertyList(newValues), [&](std::string_view bytes) {
            auto written = writeAll(descriptor.get(), bytes, temporary);
            if (!written)
                writeError = written.error();
            return bool(written);
        });
        if (!encoded)
            return fail(writeError ? writeError : FileError::make(FileError::Code::fileWriteUnknown, temporary));
        if (::fsync(descriptor.get()) != 0)
            return fail(FileError::fromErrno(errno, temporary, true));
        struct stat status {};
        if (::fstat(descriptor.get(), &status) != 0)
            return fail(FileError::fromErrno(errno, temporary, true));
        if (!descriptor.close())
            return fail(FileError::fromErrno(errno, temporary, true));
        if (::rename(temporary.c_str(), file.c_str()) != 0)
            return fail(FileError::fromErrno(errno, file, true));
        if (auto synced = fsyncFolder(folder); !synced)
            return synced.error();
        return FileIdentity::of(status);
    }

    // Temporary files left by a writer that was killed; only called with the
    // file lock held, when no other writer can be using one.
    void removeStaleTemporaryFiles()
    {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.path().filename().string().starts_with(temporaryPrefix))
                fs::remove(entry.path(), error);
        }
    }

    Result<void> ensureFolder()
    {
        std::error_code error;
        if (fs::is_directory(folder, error))
            return {};
        fs::create_directories(folder, error);
        if (error)
            return FileError::fromErrno(error.value(), folder, true);
        fs::permissions(folder, fs::perms::owner_all, error);
        return {};
    }

    // Applies one change on top of what the file holds now and writes it.
    // `change` sees the key's value as it is on disk, with this process's and
    // other processes' writers kept out until the file is replaced.
    Result<void> write(const std::string& key, const Change& change)
    {
        std::vector<Changes> changes;
        {
            std::lock_guard diskLock(diskMutex);
            TAVIK_TRY_VOID(ensureFolder());
            auto fileLock = TAVIK_TRY(FileLock::acquire(lockFile));
            if (!cleanedTemporaryFiles) {
                removeStaleTemporaryFiles();
                cleanedTemporaryFiles = true;
            }
            auto disk = readDisk(true);
            if (!disk)
                return disk.error();
            PropertyList::Dictionary newValues = std::move(disk->values);
            FileIdentity newIdentity = disk->identity;
            auto existing = newValues.find(key);
            std::optional<PropertyList> oldValue;
            if (existing != newValues.end())
                oldValue = existing->second;
            auto value = change(oldValue);
            if (!value)
                return value.error();
            if (*value != oldValue) {
                if (*value)
                    newValues.insert_or_assign(key, **value);
                else
                    newValues.erase(key);
                auto written = writeDisk(newValues);
                if (!written)
                    return written.error();
                newIdentity = *written;
            }
            changes = install(std::move(newValues), newIdentity, Noticer::caller);
        }
        notifyInOrder(changes);
        return {};
    }

    // Who noticed a state: the caller (a writer, or synchronize) calls the
    // observers itself; a read leaves them to the watcher thread, so reading
    // the store never calls observers (the reader may hold locks of its own).
    enum class Noticer {
        caller,
        reader,
        watcher
    };

    // Makes these values the state; returns what the noticer delivers, in
    // the order of the states: the changes reads queued before, then this
    // one's. A read's changes wait for the watcher thread instead.
    std::vector<Changes> install(PropertyList::Dictionary newValues, FileIdentity newIdentity, Noticer noticer)
    {
        std::lock_guard lock(mutex);
        Changes changes {++version, differences(values, newValues)};
        values = std::move(newValues);
        identity = newIdentity;
        loaded = true;
        if (noticer == Noticer::reader && watching) {
            // Queued with the state itself: the watcher's next look at the
            // file, due to the very change the read noticed, finds them.
            if (!changes.second.empty())
                pendingChanges.push_back(std::move(changes));
            return {};
        }
        // Observers drop a change older than one they were given, so queued
        // changes go out before this newer one, never after it.
        std::vector<Changes> ordered;
        if (noticer != Noticer::reader)
            ordered.swap(pendingChanges);
        ordered.push_back(std::move(changes));
        return ordered;
    }

    // Reloads when the file is no longer the one last read or written.
    void refresh(Noticer noticer, bool force = false)
    {
        bool changed = true;
        if (!force) {
            FileIdentity current = FileIdentity::ofPath(file);
            std::lock_guard lock(mutex);
            changed = !loaded || current != identity;
        }
        std::vector<Changes> changes;
        if (changed) {
            std::lock_guard diskLock(diskMutex);
            auto disk = readDisk(false);
            if (!disk) {
                logger().error("Failed to read the defaults file {}: {}", file.string(), disk.error()->description());
                std::lock_guard lock(mutex);
                loaded = true;
                // Not retried until the file changes again.
                identity = FileIdentity::ofPath(file);
                return;
            }
            changes = install(std::move(disk->values), disk->identity, noticer);
        } else if (noticer == Noticer::watcher) {
            std::lock_guard lock(mutex);
            changes.swap(pendingChanges);
        }
        notifyInOrder(changes);
    }

    void notifyInOrder(const std::vector<Changes>& ordered)
    {
        for (const auto& changes : ordered)
            notify(changes);
    }

    void notify(const Changes& changes)
    {
        const auto& [changeVersion, differences] = changes;
        for (const auto& [key, oldValue, newValue] : differences) {
            std::vector<std::shared_ptr<ObserverEntry>> entries;
            {
                std::lock_guard lock(mutex);
                auto found = observers.find(key);
                if (found == observers.end())
                    continue;
                for (const auto& [identifier, entry] : found->second)
                    entries.push_back(entry);
            }
            for (const auto& entry : entries)
                entry->deliver(ObservedChange(oldValue, newValue), changeVersion);
        }
    }

    void startWatcher()
    {
        std::call_once(watcherOnce, [this] {
            (void)ensureFolder();
            auto opened = FolderEventReader::open(folder);
            if (!opened) {
                logger().error("Cannot watch {} for changes by other processes: {}", folder.string(),
                    std::strerror(errnoOf(opened.error())));
                return;
            }
            watcher = std::move(*opened);
            std::weak_ptr<FileState> weakState = shared_from_this();
            watcher->start([weakState, name = file.filename().string()] {
                if (auto state = weakState.lock())
                    state->deliverOtherProcessesChanges(name);
            });
            watching = true;
        });
    }

    // On the watcher's thread, when events are waiting.
    void deliverOtherProcessesChanges(const std::string& name)
    {
        auto events = watcher->readEvents();
        watcher->rearm();
        bool relevant = std::any_of(events.begin(), events.end(), [&](const FolderEvent& event) {
            return event.kind == FolderEvent::Kind::eventsLost || event.name == name;
        });
        if (relevant)
            refresh(Noticer::watcher);
    }
};

namespace {

std::mutex registryMutex;
std::map<fs::path, std::weak_ptr<UserDefaults::FileState>>& registry()
{
    static std::map<fs::path, std::weak_ptr<UserDefaults::FileState>> states;
    return states;
}

} // namespace

UserDefaults::UserDefaults(std::shared_ptr<FileState> state)
    : state_(std::move(state))
{
}

UserDefaults::~UserDefaults() = default;

fs::path UserDefaults::configFolder()
{
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    fs::path base = configHome && *configHome && fs::path(configHome).is_absolute() ? fs::path(configHome)
                                                                                    : homeFolder() / ".config";
    return base / "tavik";
}

std::shared_ptr<UserDefaults> UserDefaults::standard() { return suite(standardSuiteName); }

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& suiteName)
{
    return atPath(configFolder() / (suiteName + ".plist"));
}

std::shared_ptr<UserDefaults> UserDefaults::atPath(const fs::path& file)
{
    fs::path key = fs::absolute(file).lexically_normal();
    std::shared_ptr<FileState> state;
    {
        std::lock_guard lock(registryMutex);
        auto& states = registry();
        state = states[key].lock();
        if (!state) {
            state = std::make_shared<FileState>(key);
            states[key] = state;
        }
        // Forget files whose stores are all gone.
        std::erase_if(states, [](const auto& entry) { return entry.second.expired(); });
    }
    return std::shared_ptr<UserDefaults>(new UserDefaults(std::move(state)));
}

const fs::path& UserDefaults::filePath() const { return state_->file; }

std::optional<PropertyList> UserDefaults::object(const std::string& key) const
{
    state_->refresh(FileState::Noticer::reader);
    std::lock_guard lock(state_->mutex);
    auto found = state_->values.find(key);
    if (found == state_->values.end())
        return std::nullopt;
    return found->second;
}

PropertyList::Dictionary UserDefaults::dictionaryRepresentation() const
{
    state_->refresh(FileState::Noticer::reader);
    std::lock_guard lock(state_->mutex);
    return state_->values;
}

Result<void> UserDefaults::set(const std::string& key, const PropertyList& value)
{
    return state_->write(key, [&](const std::optional<PropertyList>&) -> Result<std::optional<PropertyList>> {
        return std::optional<PropertyList>(value);
    });
}

Result<void> UserDefaults::removeObject(const std::string& key)
{
    return state_->write(key, [](const std::optional<PropertyList>&) -> Result<std::optional<PropertyList>> {
        return std::optional<PropertyList>();
    });
}

Result<void> UserDefaults::update(const std::string& key, const Change& change) { return state_->write(key, change); }

plist::Data UserDefaults::encodeURL(const URL& url)
{
    PropertyList::Dictionary form {
        {"$class", PropertyList("URL")},
        {"path", PropertyList(url.path().string())},
        {"isDirectory", PropertyList(url.hasDirectoryPath())},
    };
    std::string bytes = PropertyList(std::move(form)).binaryRepresentation();
    return plist::Data(bytes.begin(), bytes.end());
}

std::optional<URL> UserDefaults::decodeURL(const plist::Data& data)
{
    static constexpr std::string_view magic = "bplist00";
    if (data.size() < magic.size() || !std::equal(magic.begin(), magic.end(), data.begin()))
        return std::nullopt;
    auto parsed = PropertyList::parse(data);
    if (!parsed || !parsed->dictionary() || parsed->dictionary()->size() != 3)
        return std::nullopt;
    auto className = parsed->find("$class");
    auto path = parsed->find("path");
    auto isDirectory = parsed->find("isDirectory");
    if (!className || !className->string() || *className->string() != "URL" || !path || !path->string()
        || !isDirectory || !isDirectory->boolean() || !fs::path(*path->string()).is_absolute())
        return std::nullopt;
    return URL::fileURL(*path->string(), *isDirectory->boolean());
}

Result<void> UserDefaults::setURL(const std::string& key, const URL& url) { return set(key, PropertyList(encodeURL(url))); }

std::optional<URL> UserDefaults::url(const std::string& key) const
{
    auto value = object(key);
    if (!value)
        return std::nullopt;
    if (auto data = value->data())
        return decodeURL(*data);
    if (auto string = value->string()) {
        if (string->starts_with("~/"))
            return URL::fileURL(homeFolder() / string->substr(2));
        if (fs::path(*string).is_absolute())
            return URL::fileURL(*string);
    }
    return std::nullopt;
}

publisher::AnyCancellable UserDefaults::observe(const std::string& key, Observer observer)
{
    state_->refresh(FileState::Noticer::reader);
    state_->startWatcher();
    auto entry = std::make_shared<ObserverEntry>([observer = std::move(observer)](const ObservedChange& change) {
        observer(change.first, change.second);
    });
    uint64_t identifier;
    {
        std::lock_guard lock(state_->mutex);
        identifier = state_->nextObserverIdentifier++;
        state_->observers[key].emplace(identifier, entry);
    }
    std::weak_ptr<FileState> weakState = state_;
    return publisher::AnyCancellable([weakState, key, identifier, entry] {
        if (auto state = weakState.lock()) {
            std::lock_guard lock(state->mutex);
            auto found = state->observers.find(key);
            if (found != state->observers.end()) {
                found->second.erase(identifier);
                if (found->second.empty())
                    state->observers.erase(found);
            }
        }
        entry->close();
    });
}

void UserDefaults::synchronize() { state_->refresh(FileState::Noticer::caller); }

} // namespace tavik::defaults
