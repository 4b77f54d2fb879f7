#include "disk-image-service/tests/TestSupport.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavik::service::testing {

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tavik-duvrin-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    // Fake tools may have left read-only folders behind.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

void writeFakeHdiutil(const std::filesystem::path& folder, const std::string& body)
{
    auto script = folder / "hdiutil";
    auto log = folder / "arguments.log";
    writeFile(script, "#!/bin/sh\n{ for argument in \"$0\" \"$@\"; do printf '%s\\0' \"$argument\"; done; printf '\\n'; } >> '" + log.string() + "'\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

std::vector<std::vector<std::string>> recordedInvocations(const std::filesystem::path& folder)
{
    std::vector<std::vector<std::string>> invocations;
    std::string text = readFile(folder / "arguments.log");
    std::vector<std::string> current;
    std::string argument;
    for (char c : text) {
        if (c == '\0') {
            current.push_back(argument);
            argument.clear();
        } else if (c == '\n' && argument.empty()) {
            // The script's own path comes first: keep only its name.
            if (!current.empty())
                current.front() = std::filesystem::path(current.front()).filename().string();
            invocations.push_back(std::move(current));
            current.clear();
        } else {
            argument += c;
        }
    }
    return invocations;
}

ScopedSearchPath::ScopedSearchPath(const std::string& value)
{
    if (const char* current = std::getenv("PATH"))
        previous_ = current;
    setenv("PATH", value.c_str(), 1);
}

ScopedSearchPath::~ScopedSearchPath()
{
    if (previous_)
        setenv("PATH", previous_->c_str(), 1);
    else
        unsetenv("PATH");
}

std::function<void(std::optional<URL>, ErrorPtr)> Replies::mountResponse()
{
    return [this](std::optional<URL> url, ErrorPtr error) {
        std::lock_guard lock(mutex_);
        replies_.push_back({std::move(url), std::move(error)});
        changed_.notify_all();
    };
}

std::function<void(ErrorPtr)> Replies::unmountResponse()
{
    return [this](ErrorPtr error) {
        std::lock_guard lock(mutex_);
        replies_.push_back({std::nullopt, std::move(error)});
        changed_.notify_all();
    };
}

std::function<void(ErrorPtr)> Replies::errorHandler()
{
    return [this](ErrorPtr error) {
        std::lock_guard lock(mutex_);
        handlerErrors_.push_back(std::move(error));
        changed_.notify_all();
    };
}

bool Replies::waitFor(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return replies_.size() + handlerErrors_.size() >= count; });
}

std::vector<Replies::Reply> Replies::replies() const
{
    std::lock_guard lock(mutex_);
    return replies_;
}

std::vector<ErrorPtr> Replies::handlerErrors() const
{
    std::lock_guard lock(mutex_);
    return handlerErrors_;
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string attachPlist(const std::vector<std::optional<std::string>>& mountPoints)
{
    std::string text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>system-entities</key>
	<array>
)";
    int index = 0;
    for (const auto& mountPoint : mountPoints) {
        ++index;
        text += "\t\t<dict>\n\t\t\t<key>content-hint</key>\n\t\t\t<string>"
            + std::string(mountPoint ? "Apple_HFS" : "Apple_partition_map") + "</string>\n"
            + "\t\t\t<key>dev-entry</key>\n\t\t\t<string>/dev/disk4s" + std::to_string(index) + "</string>\n"
            + "\t\t\t<key>potentially-mountable</key>\n\t\t\t<" + (mountPoint ? "true" : "false") + "/>\n";
        if (mountPoint)
            text += "\t\t\t<key>mount-point</key>\n\t\t\t<string>" + *mountPoint + "</string>\n";
        text += "\t\t</dict>\n";
    }
    text += "\t</array>\n</dict>\n</plist>\n";
    return text;
}

} // namespace tavik::service::testing
