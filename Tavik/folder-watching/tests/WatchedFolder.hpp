#pragma once

#include "Tavik/folder-watching/DirectoryWatcher.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace tavik::testing {

namespace fs = std::filesystem;

// How often the listener was called for each file, from any thread.
class Reports {
public:
    void add(const URL& url)
    {
        std::lock_guard lock(mutex_);
        ++counts_[url.path()];
    }
    size_t count(const fs::path& path) const
    {
        std::lock_guard lock(mutex_);
        auto found = counts_.find(path);
        return found == counts_.end() ? 0 : found->second;
    }
    bool waitFor(const fs::path& path, size_t times = 1) const
    {
        return eventually([&] { return count(path) >= times; });
    }

private:
    mutable std::mutex mutex_;
    std::map<fs::path, size_t> counts_;
};

// A real folder to watch, a staging folder on the same file system to move
// files in from, and the watcher with its queue.
class WatchedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(folder);
        fs::create_directory(staging);
    }
    void TearDown() override { watcher.reset(); }

    Result<std::shared_ptr<DirectoryWatcher>> makeWatcher(DirectoryWatcher::FileFoundListener listener = {}, const fs::path& watched = {})
    {
        if (!listener)
            listener = [reports = reports](const URL& url) { reports->add(url); };
        return DirectoryWatcher::create(URL::fileURL(watched.empty() ? folder : watched, true), queue,
            log::Logger("app.tavik.Tavik", "Directory Watcher"), std::move(listener), service);
    }
    void startWatching(DirectoryWatcher::FileFoundListener listener = {})
    {
        auto made = makeWatcher(std::move(listener));
        ASSERT_TRUE(made.ok()) << made.error()->description();
        watcher = std::move(made).value();
    }

    // Writes the file elsewhere and renames it into the folder, as a browser
    // finishes a download.
    fs::path moveIn(const std::string& name, const std::string& content)
    {
        writeFile(staging / name, content);
        fs::rename(staging / name, folder / name);
        return folder / name;
    }

    // Returns once every change made to the folder before the call has been
    // scanned: a marker moved in after them is reported by the scan that
    // follows them, and that scan is finished once the queue is free. Each
    // marker stays in the folder.
    void settle()
    {
        auto marker = moveIn(".marker-" + std::to_string(++markers), "marker");
        ASSERT_TRUE(reports->waitFor(marker)) << "the watcher did not scan";
        queue->sync([] {});
    }

    ScratchFolder scratch {"tavik-watch"};
    fs::path root = scratch.path();
    fs::path folder = root / "Downloads";
    fs::path staging = root / "staging";
    // Each test has a service of its own; it outlives the watcher.
    std::shared_ptr<progress::FileProgressService> service = std::make_shared<progress::FileProgressService>();
    dispatch::QueuePtr queue = dispatch::DispatchQueue::makeSerial("Directory Watcher (test)");
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();
    std::shared_ptr<DirectoryWatcher> watcher;
    size_t markers = 0;
};

} // namespace tavik::testing
