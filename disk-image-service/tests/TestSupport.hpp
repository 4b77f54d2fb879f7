#pragma once

#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavik::service::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);

// Writes an executable `hdiutil` shell script into the folder. The script
// first records its arguments in `arguments.log` beside it (each followed
// by NUL, one invocation after another), then runs the body.
void writeFakeHdiutil(const std::filesystem::path& folder, const std::string& body);
// The recorded invocations, each a list of arguments.
std::vector<std::vector<std::string>> recordedInvocations(const std::filesystem::path& folder);

// Sets PATH for the lifetime of the object.
class ScopedSearchPath {
public:
    explicit ScopedSearchPath(const std::string& value);
    ~ScopedSearchPath();
    ScopedSearchPath(const ScopedSearchPath&) = delete;
    ScopedSearchPath& operator=(const ScopedSearchPath&) = delete;

private:
    std::optional<std::string> previous_;
};

// What a call to the service answered, collected across threads.
class Replies {
public:
    struct Reply {
        std::optional<URL> url;
        ErrorPtr error;
    };

    std::function<void(std::optional<URL>, ErrorPtr)> mountResponse();
    std::function<void(ErrorPtr)> unmountResponse();
    std::function<void(ErrorPtr)> errorHandler();

    // Waits until at least `count` replies or handler calls have arrived.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::vector<Reply> replies() const;
    std::vector<ErrorPtr> handlerErrors() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Reply> replies_;
    std::vector<ErrorPtr> handlerErrors_;
};

// Polls the predicate until it holds or the time is up.
bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The canned property list of an attach with a partition map, two
// partitions and one mounted volume at `mountPoint`.
std::string attachPlist(const std::vector<std::optional<std::string>>& mountPoints);

} // namespace tavik::service::testing
