// Appending to and reading a handled-files list of 10,000 bookmarks kept in
// the user defaults, the way the watchers manager does it: read the list
// through its persister, append one entry, store the list (a durable write
// of the whole file).
//
//   tavik_persistence_bench [FOLDER]   (default: $TMPDIR or /tmp)
//
// For comparison it times plistutil (libplist-utils) converting the same
// file, when that tool is installed.
#include "persistence/Persister.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <time.h>
#include <string>
#include <vector>

using namespace tavik;
using namespace tavik::persistence;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t entries = 10000;
constexpr size_t bookmarkBytes = 320; // about the size of one identity bookmark
constexpr int rounds = 50;

struct Figures {
    double median, p90, max;
};

Figures summarise(std::vector<double> milliseconds)
{
    std::sort(milliseconds.begin(), milliseconds.end());
    return {milliseconds[milliseconds.size() / 2], milliseconds[milliseconds.size() * 9 / 10], milliseconds.back()};
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this thread, in milliseconds: what the work costs when the
// machine is busy with other things.
double threadCPU()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path base = argc > 1 ? argv[1] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    std::string pattern = (base / "tavik-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        fmt::print(stderr, "cannot create a folder under {}\n", base.string());
        return 1;
    }
    std::filesystem::path folder = pattern;
    auto file = folder / "app.tavik.Bench.plist";
    auto defaults = defaults::UserDefaults::atPath(file);
    Persister<std::vector<Data>> handled("HandledFiles", defaults, std::vector<Data> {});

    std::mt19937 random(42);
    auto bookmark = [&] {
        Data data(bookmarkBytes);
        for (auto& byte : data)
            byte = uint8_t(random());
        return data;
    };
    std::vector<Data> initial;
    for (size_t index = 0; index < entries; ++index)
        initial.push_back(bookmark());
    if (!handled.store(initial)) {
        fmt::print(stderr, "cannot write {}\n", file.string());
        return 1;
    }
    // Other settings live in the same file.
    (void)defaults->set("hasRunInitialSetup", plist::PropertyList(true));

    std::vector<double> appends, appendCPU, reads, rawReads;
    for (int round = 0; round < rounds; ++round) {
        Data entry = bookmark();
        auto start = Clock::now();
        double cpuStart = threadCPU();
        auto list = handled.currentValue();
        list.push_back(std::move(entry));
        if (!handled.store(list)) {
            fmt::print(stderr, "append failed\n");
            return 1;
        }
        appendCPU.push_back(threadCPU() - cpuStart);
        appends.push_back(since(start));

        Data probe = list[list.size() / 2];
        start = Clock::now();
        auto readBack = handled.currentValue();
        bool found = std::find(readBack.begin(), readBack.end(), probe) != readBack.end();
        reads.push_back(since(start));
        if (!found)
            return 1;

        start = Clock::now();
        auto flag = defaults->object("hasRunInitialSetup");
        rawReads.push_back(since(start));
        if (!flag)
            return 1;
    }

    auto size = std::filesystem::file_size(file);
    auto append = summarise(appends);
    auto cpu = summarise(appendCPU);
    auto read = summarise(reads);
    auto raw = summarise(rawReads);
    fmt::print("folder: {}\n", folder.string());
    fmt::print("list of {}..{} entries of {} bytes, file {:.1f} MB\n", entries + 1, entries + rounds, bookmarkBytes,
        size / 1e6);
    fmt::print("append one entry (read list, append, durable store): median {:.2f} ms, p90 {:.2f} ms, max {:.2f} ms\n",
        append.median, append.p90, append.max);
    fmt::print("  of which CPU time of the appending thread:       median {:.2f} ms, p90 {:.2f} ms, max {:.2f} ms\n",
        cpu.median, cpu.p90, cpu.max);
    fmt::print("read the list back and look an entry up:            median {:.2f} ms, p90 {:.2f} ms, max {:.2f} ms\n",
        read.median, read.p90, read.max);
    fmt::print("read another key of the same store:                 median {:.4f} ms\n", raw.median);

    if (std::system("command -v plistutil >/dev/null 2>&1") == 0) {
        auto output = folder / "converted.xml";
        std::vector<double> conversions;
        for (int round = 0; round < 5; ++round) {
            std::string command = fmt::format("plistutil -i '{}' -o '{}'", file.string(), output.string());
            auto start = Clock::now();
            if (std::system(command.c_str()) != 0)
                break;
            conversions.push_back(since(start));
        }
        if (!conversions.empty()) {
            auto convert = summarise(conversions);
            fmt::print("plistutil reading and rewriting the same file:     median {:.2f} ms (append / plistutil = {:.2f})\n",
                convert.median, append.median / convert.median);
        }
    }
    std::filesystem::remove_all(folder);
    return 0;
}
