#pragma once

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/publisher/Cancellable.hpp"
#include "platform/publisher/Gate.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

// A small kit of published values: subjects that hold or pass on values,
// publishers that can be mapped, combined and moved onto a queue, and
// subscriptions that end when their AnyCancellable is cancelled or dropped.
//
// Delivery rules, for every publisher here:
// - A receiver is never called by two threads at once, and once cancel()
//   (or the token's destruction) has returned it is never called again. A
//   receiver may cancel its own subscription; it should not block on a thread
//   that may be cancelling it.
// - A subscriber of a CurrentValueSubject receives the current value at once
//   and never a value older than one it has already received.
// - Values are delivered on the thread that sent them, unless receiveOn
//   moves them onto a queue, or another thread is calling the receiver at
//   that moment: then that thread delivers them next, and the sender does
//   not wait (Gate).
namespace tavik::publisher {

template <class T>
using Receiver = std::function<void(const T&)>;

namespace detail {

// One subscriber's receiver, called one value at a time (see Gate).
template <class T>
using Gate = publisher::Gate<T>;

template <class T>
using GatePtr = std::shared_ptr<Gate<T>>;

// The subscribers of a subject, and (for a current-value subject) the value.
template <class T>
struct SubjectState : std::enable_shared_from_this<SubjectState<T>> {
    std::mutex mutex;
    std::optional<T> value;
    uint64_t version = 0;
    uint64_t nextIdentifier = 0;
    std::map<uint64_t, GatePtr<T>> gates;

    void send(const T& newValue, bool keepsValue)
    {
        modify([&](const std::optional<T>&) { return std::optional<T>(newValue); }, keepsValue);
    }

    // Sends what `next` makes of the current value (nothing: nothing is
    // sent); `next` runs under the subject's lock, so two changes never
    // start from one value, and the receivers after it is released.
    template <class Next>
    void modify(Next&& next, bool keepsValue)
    {
        std::map<uint64_t, GatePtr<T>> snapshot;
        uint64_t sentVersion;
        std::optional<T> newValue;
        {
            std::lock_guard lock(mutex);
            newValue = next(value);
            if (!newValue)
                return;
            if (keepsValue)
                value = *newValue;
            sentVersion = ++version;
            snapshot = gates;
        }
        for (auto& [identifier, gate] : snapshot)
            gate->deliver(*newValue, sentVersion);
    }

    AnyCancellable subscribe(Receiver<T> receiver)
    {
        auto gate = std::make_shared<Gate<T>>(std::move(receiver));
        uint64_t identifier;
        std::optional<T> current;
        uint64_t currentVersion;
        {
            std::lock_guard lock(mutex);
            identifier = nextIdentifier++;
            gates.emplace(identifier, gate);
            current = value;
            currentVersion = version;
        }
        if (current)
            gate->deliver(*current, currentVersion);
        std::weak_ptr<SubjectState> weakState = this->shared_from_this();
        return AnyCancellable([weakState, identifier, gate] {
            if (auto state = weakState.lock()) {
                std::lock_guard lock(state->mutex);
                state->gates.erase(identifier);
            }
            gate->close();
        });
    }
};

} // namespace detail

// A stream of values that never fails. Copies are cheap and subscribe to the
// same source.
template <class T>
class Publisher {
public:
    using Output = T;
    using SubscribeFunction = std::function<AnyCancellable(Receiver<T>)>;

    explicit Publisher(SubscribeFunction subscribe)
        : subscribe_(std::move(subscribe))
    {
    }

    // Subscribes; the subscription lasts while the returned token does.
    [[nodiscard]] AnyCancellable sink(Receiver<T> receiver) const { return subscribe_(std::move(receiver)); }

    template <class F, class U = std::decay_t<std::invoke_result_t<F&, const T&>>>
    Publisher<U> map(F transform) const
    {
        auto upstream = subscribe_;
        return Publisher<U>([upstream, transform](Receiver<U> receiver) {
            return upstream([transform, receiver](const T& value) { receiver(transform(value)); });
        });
    }

    // Drops values equal to the one delivered just before.
    Publisher<T> removeDuplicates() const
    {
        auto upstream = subscribe_;
        return Publisher<T>([upstream](Receiver<T> receiver) {
            auto last = std::make_shared<std::optional<T>>();
            return upstream([last, receiver](const T& value) {
                // Calls through one subscription never overlap (see above).
                if (*last && **last == value)
                    return;
                *last = value;
                receiver(value);
            });
        });
    }

    // Delivers each value asynchronously on the queue, in the queue's order.
    Publisher<T> receiveOn(dispatch::QueuePtr queue) const
    {
        auto upstream = subscribe_;
        return Publisher<T>([upstream, queue](Receiver<T> receiver) {
            auto gate = std::make_shared<detail::Gate<T>>(std::move(receiver));
            auto token = std::make_shared<AnyCancellable>(upstream([gate, queue](const T& value) {
                queue->async([gate, value] { gate->deliver(value); });
            }));
            return AnyCancellable([gate, token] {
                token->cancel();
                gate->close();
            });
        });
    }

private:
    SubscribeFunction subscribe_;
};

namespace detail {

// How both subjects take subscribers; copies of a subject share its state.
template <class T>
class Subject {
public:
    [[nodiscard]] AnyCancellable sink(Receiver<T> receiver) const { return state_->subscribe(std::move(receiver)); }

    Publisher<T> publisher() const
    {
        auto state = state_;
        return Publisher<T>([state](Receiver<T> receiver) { return state->subscribe(std::move(receiver)); });
    }

protected:
    std::shared_ptr<SubjectState<T>> state_ = std::make_shared<SubjectState<T>>();
};

} // namespace detail

// Holds a value and sends it, and every later value, to each subscriber.
// Copies share one subject.
template <class T>
class CurrentValueSubject : public detail::Subject<T> {
public:
    explicit CurrentValueSubject(T initialValue) { this->state_->value = std::move(initialValue); }

    T value() const
    {
        std::lock_guard lock(this->state_->mutex);
        return *this->state_->value;
    }
    void send(const T& value) const { this->state_->send(value, true); }
    // Sends what `next` makes of the current value, unless it makes
    // nothing. `next` runs under the subject's lock: it only computes.
    void modify(const std::function<std::optional<T>(const T&)>& next) const
    {
        this->state_->modify([&](const std::optional<T>& current) { return next(*current); }, true);
    }
};

// Sends each value to the subscribers there are at that moment; keeps none.
template <class T>
class PassthroughSubject : public detail::Subject<T> {
public:
    void send(const T& value) const { this->state_->send(value, false); }
};

// Once both publishers have delivered a value, delivers the latest pair
// whenever either delivers.
template <class A, class B>
Publisher<std::pair<A, B>> combineLatest(Publisher<A> first, Publisher<B> second)
{
    return Publisher<std::pair<A, B>>([first, second](Receiver<std::pair<A, B>> receiver) {
        struct Latest {
            std::mutex mutex;
            std::optional<A> first;
            std::optional<B> second;
        };
        auto latest = std::make_shared<Latest>();
        auto gate = std::make_shared<detail::Gate<std::pair<A, B>>>(std::move(receiver));
        auto firstToken = std::make_shared<AnyCancellable>(first.sink([latest, gate](const A& value) {
            std::unique_lock lock(latest->mutex);
            latest->first = value;
            if (!latest->second)
                return;
            std::pair<A, B> pair(*latest->first, *latest->second);
            lock.unlock();
            gate->deliver(pair);
        }));
        auto secondToken = std::make_shared<AnyCancellable>(second.sink([latest, gate](const B& value) {
            std::unique_lock lock(latest->mutex);
            latest->second = value;
            if (!latest->first)
                return;
            std::pair<A, B> pair(*latest->first, *latest->second);
            lock.unlock();
            gate->deliver(pair);
        }));
        return AnyCancellable([gate, firstToken, secondToken] {
            firstToken->cancel();
            secondToken->cancel();
            gate->close();
        });
    });
}

} // namespace tavik::publisher
