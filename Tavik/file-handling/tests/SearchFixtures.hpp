#pragma once

#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/FileActionResult.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/testing/Archives.hpp"
#include "platform/testing/Bundles.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Images.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavik::testing {

// Points TMPDIR, XDG_RUNTIME_DIR at a scratch folder and puts the built
// hdiutil stand-in first on PATH, for the lifetime of the object.
class SearchEnvironment {
public:
    SearchEnvironment();
    ~SearchEnvironment();
    const std::filesystem::path& temporary() const { return temporary_.path(); }
    // The process's temporary folder's "mounts".
    std::filesystem::path mountsFolder() const;

private:
    ScratchFolder temporary_ {"tavik-search"};
    ScopedEnvironment environment_;
};

// Waits for one action result delivered on any thread.
template <class I, class O>
class ResultWaiter {
public:
    actions::Completion<I, O> completion()
    {
        return [this](actions::FileActionResult<I, O> result) {
            std::lock_guard lock(mutex_);
            results_.push_back(std::move(result));
            changed_.notify_all();
        };
    }
    // The first result; fails the calling test when none comes in time.
    std::optional<actions::FileActionResult<I, O>> wait(std::chrono::seconds timeout = std::chrono::seconds(180))
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return !results_.empty(); }))
            return std::nullopt;
        return results_.front();
    }
    size_t count() const
    {
        std::lock_guard lock(mutex_);
        return results_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<actions::FileActionResult<I, O>> results_;
};

// The chain of a source from the item outwards, e.g. "dmg(Outer.dmg) < directory".
std::string describeSource(const InstallableApplication::Source& source);

} // namespace tavik::testing
