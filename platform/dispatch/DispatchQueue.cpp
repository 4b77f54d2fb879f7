#include "platform/dispatch/DispatchQueue.hpp"

#include "platform/dispatch/DelayedWork.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/dispatch/QueueAssertion.hpp"
#include "platform/dispatch/ThreadPool.hpp"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <mutex>

namespace tavik::dispatch {

namespace {

// The queues whose work items the calling thread is running, innermost
// first: a work item that calls sync runs the synced work on its own thread,
// inside its own item.
struct QueueScope {
    const DispatchQueue* queue;
    const QueueScope* outer;
};

thread_local const QueueScope* currentScope = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const DispatchQueue* queue)
        : scope_ {queue, currentScope}
    {
        currentScope = &scope_;
    }
    ~CurrentQueueScope() { currentScope = scope_.outer; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    QueueScope scope_;
};

const DispatchQueue* currentQueue()
{
    return currentScope ? currentScope->queue : nullptr;
}

bool runsOnThisThread(const DispatchQueue* queue)
{
    for (auto* scope = currentScope; scope; scope = scope->outer)
        if (scope->queue == queue)
            return true;
    return false;
}

[[noreturn]] void stopProgram(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

// A thread blocked in sync() until its item may run; it then runs the item
// itself, as libdispatch does.
struct SyncWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool mayRun = false;

    void allow()
    {
        std::lock_guard lock(mutex);
        mayRun = true;
        cv.notify_one();
    }
    void awaitPermission()
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return mayRun; });
    }
};

enum class Executor {
    threadPool,
    mainThread
};

// Serial, concurrent and global queues differ only in how many items may run
// at once and where their items run.
class QueueImpl final : public DispatchQueue {
public:
    QueueImpl(std::string label, size_t width, Executor executor, bool honoursBarriers)
        : label_(std::move(label))
        , width_(width)
        , executor_(executor)
        , honoursBarriers_(honoursBarriers)
    {
    }

    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return currentQueue() == this; }

    void async(Work work) override { enqueue(Item {std::move(work), false, nullptr}); }
    void asyncBarrier(Work work) override { enqueue(Item {std::move(work), honoursBarriers_, nullptr}); }
    void sync(const Work& work) override { runSync(work, false); }
    void syncBarrier(const Work& work) override { runSync(work, honoursBarriers_); }

private:
    struct Item {
        Work work;
        bool barrier;
        SyncWaiter* waiter;
    };

    void runSync(const Work& work, bool barrier)
    {
        // This thread is inside an item of this queue. A serial queue's next
        // item, like a barrier, waits until that item ends, and it cannot end
        // before this sync returns.
        if ((width_ == 1 || barrier) && runsOnThisThread(this))
            stopProgram("sync onto queue '" + label_ + "' from inside its own work would wait forever");
        if (executor_ == Executor::mainThread) {
            // Main queue items must run on the main thread: hand it over and wait.
            SyncWaiter done;
            enqueue(Item {[&] {
                              work();
                              done.allow();
                          },
                barrier, nullptr});
            done.awaitPermission();
            return;
        }
        SyncWaiter waiter;
        enqueue(Item {nullptr, barrier, &waiter});
        waiter.awaitPermission();
        struct FinishOnExit {
            QueueImpl* queue;
            bool barrier;
            ~FinishOnExit() { queue->finished(barrier); }
        } finishOnExit {this, barrier};
        CurrentQueueScope scope(this);
        work();
    }

    void enqueue(Item item)
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(item));
        startReadyItems();
    }

    // Called with mutex_ held.
    void startReadyItems()
    {
        while (!pending_.empty() && !barrierRunning_) {
            Item& next = pending_.front();
            if (next.barrier) {
                if (running_ > 0)
                    return;
                barrierRunning_ = true;
            } else if (running_ >= width_) {
                return;
            }
            ++running_;
            Item item = std::move(next);
            pending_.pop_front();
            start(std::move(item));
        }
    }

    void start(Item item)
    {
        if (item.waiter) {
            item.waiter->allow();
            return;
        }
        auto self = std::static_pointer_cast<QueueImpl>(shared_from_this());
        Work run = [self, work = std::move(item.work), barrier = item.barrier]() mutable {
            {
                CurrentQueueScope scope(self.get());
                work();
                work = nullptr;
            }
            self->finished(barrier);
        };
        if (executor_ == Executor::mainThread)
            detail::MainQueue::shared().post(std::move(run));
        else
            detail::ThreadPool::shared().submit(std::move(run));
    }

    void finished(bool barrier)
    {
        std::lock_guard lock(mutex_);
        --running_;
        if (barrier)
            barrierRunning_ = false;
        startReadyItems();
    }

    const std::string label_;
    const size_t width_;
    const Executor executor_;
    const bool honoursBarriers_;
    std::mutex mutex_;
    std::deque<Item> pending_;
    size_t running_ = 0;
    bool barrierRunning_ = false;
};

constexpr size_t unlimited = std::numeric_limits<size_t>::max();

} // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label)
{
    return std::make_shared<QueueImpl>(std::move(label), 1, Executor::threadPool, true);
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeConcurrent(std::string label)
{
    return std::make_shared<QueueImpl>(std::move(label), unlimited, Executor::threadPool, true);
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global()
{
    // Global queues ignore barriers, as in libdispatch. Never destroyed.
    static auto* queue = new std::shared_ptr<DispatchQueue>(
        std::make_shared<QueueImpl>("global.default", unlimited, Executor::threadPool, false));
    return *queue;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::main()
{
    static auto* queue = new std::shared_ptr<DispatchQueue>(
        std::make_shared<QueueImpl>("main", 1, Executor::mainThread, true));
    return *queue;
}

// Here rather than beside its declaration: it reads the calling thread's
// current queue, which only this file keeps.
void assertCurrent(const DispatchQueue& queue)
{
    if (queue.isCurrent())
        return;
    auto* current = currentQueue();
    stopProgram("Expected to run on queue '" + queue.label() + "', but running "
        + (current ? "on queue '" + current->label() + "'" : std::string("outside any queue")));
}

void DispatchQueue::asyncAfter(std::chrono::nanoseconds delay, Work work)
{
    detail::scheduleAfter(delay, shared_from_this(), std::move(work));
}

} // namespace tavik::dispatch
