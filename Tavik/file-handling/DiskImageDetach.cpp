#include "Tavik/file-handling/DiskImageDetach.hpp"

#include "Tavik/file-handling/DiskImageActions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <atomic>
#include <mutex>

namespace tavik {

namespace {

const log::Logger& mountLog()
{
    static const log::Logger handle("app.tavik.TavikActions", "Mount DMG");
    return handle;
}

// Counts the answers; `done` goes once, when the last one arrives or when the
// wait runs out, whichever comes first.
class Detaches {
public:
    Detaches(size_t count, std::function<void(bool allOver)> done)
        : outstanding_(count)
        , done_(std::move(done))
    {
    }

    void answered(bool mayStillRun)
    {
        if (mayStillRun)
            mayStillRun_ = true;
        size_t left = outstanding_.load();
        while (left > 0 && !outstanding_.compare_exchange_weak(left, left - 1)) {}
        if (left == 1)
            finish();
    }

    void finish()
    {
        std::call_once(once_, [&] {
            bool allOver = outstanding_ == 0 && !mayStillRun_;
            dispatch::DispatchQueue::global()->async([done = std::exchange(done_, nullptr), allOver] { done(allOver); });
        });
    }

private:
    std::atomic<size_t> outstanding_;
    std::atomic<bool> mayStillRun_ = false;
    std::once_flag once_;
    std::function<void(bool)> done_;
};

} // namespace

void detachDiskImages(const std::shared_ptr<DiskImageServiceSession>& service, const std::vector<URL>& mountPoints,
    DiskImageDetach detach)
{
    if (mountPoints.empty()) {
        detach.done(true);
        return;
    }
    auto detaches = std::make_shared<Detaches>(mountPoints.size(), std::move(detach.done));
    auto unmount = std::make_shared<UnmountDMGAction>(service, mountLog());
    for (const auto& mountPoint : mountPoints) {
        unmount->perform(mountPoint, [answered = detach.answered, detaches](actions::FileActionResult<URL, std::monostate> result) {
            if (answered)
                answered(result.input, result.error());
            detaches->answered(mayStillBeRunning(result.error()));
        });
    }
    if (!detach.timeout)
        return;
    // Only a wait that is still on holds the answers' counter.
    std::weak_ptr<Detaches> waiting = detaches;
    dispatch::DispatchQueue::global()->asyncAfter(*detach.timeout, [waiting] {
        if (auto detaches = waiting.lock())
            detaches->finish();
    });
}

} // namespace tavik
