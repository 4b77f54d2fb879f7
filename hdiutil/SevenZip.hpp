#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/process/ChildProcess.hpp"
#include "platform/process/WriteGate.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavik::hdiutil {

// 7-Zip as one attach uses it. An image is untrusted, so every run is pinned
// to a disk image holding an HFS+ or HFSX volume (nothing else is opened,
// whatever the file looks like), shares the attach's one deadline, and runs
// under a memory limit with bounded output. Failures throw CommandFailure
// with a message for the user.
class SevenZip {
public:
    // Address space of each 7-Zip run. Real images list and extract in a few
    // dozen MiB; a volume header may claim a catalog of gigabytes, which
    // 7-Zip would allocate.
    static constexpr std::uint64_t memoryLimit = std::uint64_t {512} << 20;
    // The technical listing is read whole; a volume whose listing is longer
    // (some hundred thousand entries, or absurdly deep paths) is refused.
    static constexpr std::size_t listingLimit = std::size_t {64} << 20;
    // What is kept of a run's standard error, for messages.
    static constexpr std::size_t messageLimit = 4096;
    // 7-Zip checks link targets against the extraction folder from 25.01 on;
    // older versions create links as they go.
    static constexpr std::pair<int, int> minimumVersion {25, 1};

    explicit SevenZip(std::chrono::steady_clock::time_point deadline);

    // The technical listing (`l -slt`) of the image's volume. Throws when the
    // 7-Zip that wrote it is older than minimumVersion or its banner (the
    // listing's first line) names no version, so no older 7-Zip extracts.
    std::string list(const std::string& image) const;
    // Extracts the volume into the folder, checking every entry's data as it
    // goes. Nothing it creates is group- or world-writable.
    void extract(const std::string& image, const std::filesystem::path& folder) const;

    // An extraction that starts at once and reads the image beside the
    // caller's listing, but changes nothing before `finish`: 7-Zip is held
    // at its first write. Where it cannot be held, it starts at `finish`.
    // Gone unfinished, it is stopped, having written nothing.
    class Extraction {
    public:
        Extraction(const SevenZip& sevenZip, std::string image, std::filesystem::path folder);
        ~Extraction();
        Extraction(const Extraction&) = delete;
        Extraction& operator=(const Extraction&) = delete;
        // Lets it write and waits for it; throws as `extract` does.
        void finish();

    private:
        const SevenZip& sevenZip_;
        std::string image_;
        std::filesystem::path folder_;
        process::WriteGate gate_;
        std::future<Result<process::ChildOutcome>> running_;
    };

    // The version in 7-Zip's banner ("7-Zip (z) 26.02 (x64) : ...").
    static std::optional<std::pair<int, int>> versionIn(std::string_view banner);

private:
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace tavik::hdiutil
