#pragma once

#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tavik::prompts::testing {

// An alert presenter that answers from a script (then cancels) and records
// what it showed and whether it ran on the main queue.
class ScriptedAlertPresenter final : public alerts::AlertPresenter {
public:
    void answer(alerts::ModalResponse response)
    {
        std::lock_guard lock(mutex_);
        answers_.push_back(response);
    }
    alerts::ModalResponse runModal(const alerts::Alert& alert) override
    {
        std::lock_guard lock(mutex_);
        shown_.push_back(alert);
        offMainQueue_ += !dispatch::DispatchQueue::main()->isCurrent();
        auto response = answers_.empty() ? alerts::modalResponseCancel : answers_.front();
        if (!answers_.empty())
            answers_.pop_front();
        return response;
    }
    std::vector<alerts::Alert> shown() const
    {
        std::lock_guard lock(mutex_);
        return shown_;
    }
    int offMainQueue() const
    {
        std::lock_guard lock(mutex_);
        return offMainQueue_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<alerts::ModalResponse> answers_;
    std::vector<alerts::Alert> shown_;
    int offMainQueue_ = 0;
};

// Collects printed lines, and the results handed to question handlers by
// the question's name.
class Recorded {
public:
    UserInputRequestPerformer::LinePrinter printer()
    {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    UserInputRequestPerformer::ResponseHandler handler(const std::string& question)
    {
        return [this, question](Result<UserResponse> result) {
            std::lock_guard lock(mutex_);
            results_.emplace_back(question, std::move(result));
        };
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t count() const
    {
        std::lock_guard lock(mutex_);
        return results_.size();
    }
    std::vector<Result<UserResponse>> of(const std::string& question) const
    {
        std::lock_guard lock(mutex_);
        std::vector<Result<UserResponse>> found;
        for (const auto& [name, result] : results_)
            if (name == question)
                found.push_back(result);
        return found;
    }
    // Runs the main queue (where alerts run) until `count` answers are in.
    bool waitFor(size_t expected) const
    {
        return dispatch::MainRunLoop::runUntil([&] { return count() >= expected; }, std::chrono::seconds(10));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::pair<std::string, Result<UserResponse>>> results_;
};

} // namespace tavik::prompts::testing
