#pragma once

#include "Tavik/folder-watching/DirectoryWatcher.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tavik::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The listener's calls, safe to record from any thread, with bounded waits.
class Reports {
public:
    void add(const URL& url)
    {
        std::lock_guard lock(mutex_);
        ++counts_[url.path()];
        changed_.notify_all();
    }
    size_t count(const fs::path& path) const
    {
        std::lock_guard lock(mutex_);
        auto found = counts_.find(path);
        return found == counts_.end() ? 0 : found->second;
    }
    bool waitFor(const fs::path& path, size_t times = 1)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] {
            auto found = counts_.find(path);
            return found != counts_.end() && found->second >= times;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<fs::path, size_t> counts_;
};

// A real folder to watch under a fresh temporary root, a staging folder on the
// same file system to move files in from, and the watcher with its queue.
class WatchedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-watch-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern);
        folder = root / "Downloads";
        staging = root / "staging";
        fs::create_directory(folder);
        fs::create_directory(staging);
    }
    void TearDown() override
    {
        watcher.reset();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static void write(const fs::path& path, const std::string& content)
    {
        std::ofstream(path, std::ios::binary) << content;
    }

    Result<std::shared_ptr<DirectoryWatcher>> makeWatcher()
    {
        return DirectoryWatcher::create(
            URL::fileURL(folder, true), queue, log::Logger("app.tavik.Tavik", "Directory Watcher"),
            [reports = reports](const URL& url) { reports->add(url); }, service);
    }
    void startWatching()
    {
        auto made = makeWatcher();
        ASSERT_TRUE(made.ok()) << made.error()->description();
        watcher = std::move(made).value();
    }

    // Writes the file elsewhere and renames it into the folder, as a browser
    // finishes a download.
    fs::path moveIn(const std::string& name, const std::string& content)
    {
        write(staging / name, content);
        fs::rename(staging / name, folder / name);
        return folder / name;
    }

    // Returns once every change made to the folder before the call has been
    // scanned: a marker moved in after them is reported by the scan that
    // follows them, and that scan is finished once the queue is free.
    void settle()
    {
        auto marker = moveIn(".marker-" + std::to_string(++markers_), "marker");
        ASSERT_TRUE(reports->waitFor(marker)) << "the watcher did not scan";
        queue->sync([] {});
    }
    // How many markers settle() has moved in; each stays in the folder.
    size_t markersSeen() const { return static_cast<size_t>(markers_); }

    // Each test has a service of its own; it outlives the watcher.
    std::shared_ptr<progress::FileProgressService> service = std::make_shared<progress::FileProgressService>();
    fs::path root;
    fs::path folder;
    fs::path staging;
    dispatch::QueuePtr queue = dispatch::DispatchQueue::makeSerial("Directory Watcher (test)");
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();
    std::shared_ptr<DirectoryWatcher> watcher;

private:
    int markers_ = 0;
};

} // namespace tavik::testing
