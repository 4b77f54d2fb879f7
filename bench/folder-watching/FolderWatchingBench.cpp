// How fast the directory watcher reports a file moved into a large folder,
// what it costs per event, and what it costs while nothing happens.
//
// In a folder that already holds 10,000 files, files are moved in one at a
// time; for each, the time from the rename to the listener's call is taken,
// and, when inotifywait (inotify-tools) is installed, the time until
// inotifywait prints the same rename, as the floor that raw kernel events
// give. Then the process sits idle for twice 10 s and its CPU time is read
// from /proc/<pid>/stat.
//
//   tavik_folder_watching_bench [moves]   (default 300)

#include "Tavik/folder-watching/DirectoryWatcher.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int folderSize = 10000;

// Arrival times of reported names, from any thread.
class Arrivals {
public:
    void add(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        times_.emplace(name, Clock::now());
        changed_.notify_all();
    }
    std::optional<Clock::time_point> waitFor(const std::string& name)
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 10s, [&] { return times_.count(name) > 0; }))
            return std::nullopt;
        return times_[name];
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Clock::time_point> times_;
};

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

double cpuSeconds(clockid_t clock)
{
    timespec time {};
    clock_gettime(clock, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

// utime + stime of the process, in clock ticks, from /proc/<pid>/stat.
long long procStatTicks()
{
    std::ifstream stat("/proc/" + std::to_string(getpid()) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoll(field);
        if (index == 15) {
            stime = std::stoll(field);
            break;
        }
    }
    return utime + stime;
}

// inotifywait -m printing moved-in names, read on a thread of its own.
class Inotifywait {
public:
    explicit Inotifywait(const fs::path& folder, Arrivals& arrivals)
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        std::string path = folder.string();
        const char* arguments[] = {"inotifywait", "-m", "-q", "-e", "moved_to", "--format", "%f", path.c_str(), nullptr};
        bool started = posix_spawnp(&pid_, "inotifywait", &actions, nullptr, const_cast<char**>(arguments), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        if (!started) {
            close(ends[0]);
            pid_ = 0;
            return;
        }
        reader_ = std::thread([descriptor = ends[0], &arrivals] {
            std::string line;
            char c;
            while (read(descriptor, &c, 1) == 1) {
                if (c != '\n') {
                    line += c;
                    continue;
                }
                arrivals.add(line);
                line.clear();
            }
            close(descriptor);
        });
    }
    ~Inotifywait()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable())
            reader_.join();
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = 0;
    std::thread reader_;
};

} // namespace

int main(int argc, char** argv)
{
    int moves = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    std::string pattern = (fs::temp_directory_path() / "tavik-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    fs::path root = fs::canonical(pattern);
    fs::path folder = root / "Downloads";
    fs::path staging = root / "staging";
    fs::create_directory(folder);
    fs::create_directory(staging);
    for (int i = 0; i < folderSize; ++i)
        std::ofstream(folder / ("existing-" + std::to_string(i) + ".bin")) << "content";

    Arrivals watcherArrivals;
    Arrivals inotifywaitArrivals;
    auto queue = tavik::dispatch::DispatchQueue::makeSerial("Directory Watcher (bench)");
    auto created = Clock::now();
    auto made = tavik::DirectoryWatcher::create(tavik::URL::fileURL(folder, true), queue,
        tavik::log::Logger("app.tavik.Tavik", "Directory Watcher"),
        [&](const tavik::URL& url) { watcherArrivals.add(url.lastPathComponent()); });
    if (!made) {
        std::fprintf(stderr, "cannot watch %s: %s\n", folder.c_str(), made.error()->description().c_str());
        return 1;
    }
    auto watcher = std::move(made).value();
    double firstScan = milliseconds(Clock::now() - created);
    Inotifywait inotifywait(folder, inotifywaitArrivals);
    std::this_thread::sleep_for(500ms); // inotifywait sets up its watch

    std::fprintf(stderr, "watching %d files; moving %d files in\n", folderSize, moves);
    std::vector<double> latencies;
    std::vector<double> floorLatencies;
    double watcherCpu = 0;
    for (int i = 0; i < moves; ++i) {
        std::string name = "moved-" + std::to_string(i) + ".dmg";
        std::ofstream(staging / name) << "image";
        queue->sync([] {}); // the previous scan is over
        double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        auto moved = Clock::now();
        fs::rename(staging / name, folder / name);
        auto reported = watcherArrivals.waitFor(name);
        if (!reported) {
            std::fprintf(stderr, "%s was not reported\n", name.c_str());
            return 1;
        }
        latencies.push_back(milliseconds(*reported - moved));
        queue->sync([] {});
        watcherCpu += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
        if (inotifywait.running()) {
            if (auto printed = inotifywaitArrivals.waitFor(name))
                floorLatencies.push_back(milliseconds(*printed - moved));
        }
    }

    std::printf("folder of %d files, %d files moved in\n", folderSize, moves);
    std::printf("first scan (watcher creation): %.1f ms\n", firstScan);
    std::printf("move in -> listener: median %.2f ms, p99 %.2f ms, max %.2f ms\n", percentile(latencies, 0.5),
        percentile(latencies, 0.99), percentile(latencies, 1.0));
    std::printf("watcher CPU per event: %.2f ms (all threads but the bench's own)\n", watcherCpu * 1000 / moves);
    if (!floorLatencies.empty()) {
        double floorMedian = percentile(floorLatencies, 0.5);
        std::printf("move in -> inotifywait prints it: median %.2f ms, p99 %.2f ms (ratio of medians %.1f)\n",
            floorMedian, percentile(floorLatencies, 0.99), percentile(latencies, 0.5) / floorMedian);
    } else {
        std::printf("inotifywait not found: no comparison\n");
    }

    // Right after the last event, and then once more: the dispatch library's
    // idle worker threads end during the first window.
    for (const char* window : {"right after the last event", "the 10 s after that"}) {
        long long ticksBefore = procStatTicks();
        double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        std::this_thread::sleep_for(10s);
        double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
        long long ticks = procStatTicks() - ticksBefore;
        std::printf("idle 10 s, %s: %lld clock ticks of CPU in /proc/%d/stat; %.3f ms of CPU on all threads but "
                    "the bench's own\n",
            window, ticks, getpid(), cpu * 1000);
    }

    watcher.reset();
    fs::remove_all(root);
    return 0;
}
