#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tavik::publisher {

// Something that can be told to stop: a subscription, an observation.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
};

// Holds an optional cancel closure and runs it on the first cancel only;
// releasing a Subscription cancels it.
class Subscription final : public Cancellable {
public:
    explicit Subscription(std::function<void()> cancelClosure)
        : cancelClosure_(std::move(cancelClosure))
    {
    }
    ~Subscription() override { cancel(); }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    void cancel() override
    {
        std::function<void()> closure;
        {
            std::lock_guard lock(mutex_);
            closure = std::move(cancelClosure_);
            cancelClosure_ = nullptr;
        }
        if (closure)
            closure();
    }

private:
    std::mutex mutex_;
    std::function<void()> cancelClosure_;
};

// The token a subscription returns: it owns the wrapped cancellable and
// cancels it when it is cancelled or destroyed. Move-only. Two tokens are
// equal when they wrap the same cancellable; an empty token cancels nothing.
class AnyCancellable {
public:
    AnyCancellable() = default;
    explicit AnyCancellable(std::shared_ptr<Cancellable> cancellable)
        : cancellable_(std::move(cancellable))
    {
    }
    explicit AnyCancellable(std::function<void()> cancelClosure)
        : cancellable_(std::make_shared<Subscription>(std::move(cancelClosure)))
    {
    }
    ~AnyCancellable() { cancel(); }
    AnyCancellable(AnyCancellable&& other) noexcept = default;
    AnyCancellable& operator=(AnyCancellable&& other) noexcept
    {
        if (this != &other) {
            cancel();
            cancellable_ = std::move(other.cancellable_);
        }
        return *this;
    }
    AnyCancellable(const AnyCancellable&) = delete;
    AnyCancellable& operator=(const AnyCancellable&) = delete;

    void cancel()
    {
        if (auto cancellable = std::move(cancellable_))
            cancellable->cancel();
    }

    // Keeps the token alive in a collection of tokens.
    void store(std::vector<AnyCancellable>& tokens) && { tokens.push_back(std::move(*this)); }

    bool operator==(const AnyCancellable& other) const { return cancellable_ == other.cancellable_; }
    const Cancellable* identity() const { return cancellable_.get(); }

private:
    std::shared_ptr<Cancellable> cancellable_;
};

} // namespace tavik::publisher

template <>
struct std::hash<tavik::publisher::AnyCancellable> {
    size_t operator()(const tavik::publisher::AnyCancellable& token) const noexcept
    {
        return std::hash<const void*>()(token.identity());
    }
};
