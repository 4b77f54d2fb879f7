#include "platform/testing/ScriptedNotificationCenter.hpp"

#include "platform/testing/Eventually.hpp"

#include <optional>

namespace tavik::testing {

using namespace notifications;

std::vector<NotificationRequest> ScriptedNotificationCenter::added() const
{
    std::lock_guard lock(mutex_);
    return added_;
}

std::vector<std::string> ScriptedNotificationCenter::posted(const std::string& category) const
{
    std::vector<std::string> texts;
    for (const auto& request : added())
        if (category.empty() || request.content.categoryIdentifier == category)
            texts.push_back(request.content.title + " | " + request.content.body);
    return texts;
}

std::vector<unsigned> ScriptedNotificationCenter::authorizationRequests() const
{
    std::lock_guard lock(mutex_);
    return authorizationRequests_;
}

bool ScriptedNotificationCenter::answer(const std::string& category, const std::string& actionIdentifier)
{
    std::optional<NotificationRequest> request;
    std::shared_ptr<NotificationCenterDelegate> delegate;
    eventually([&] {
        std::lock_guard lock(mutex_);
        size_t seen = 0;
        for (const auto& candidate : added_)
            if (candidate.content.categoryIdentifier == category && seen++ == answered_[category])
                request = candidate;
        delegate = delegate_.lock();
        return request && delegate && ++answered_[category];
    });
    if (request && delegate)
        delegate->didReceiveNotificationResponse({{*request}, actionIdentifier}, [] {});
    return request && delegate;
}

void ScriptedNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate)
{
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

void ScriptedNotificationCenter::getNotificationSettings(std::function<void(NotificationSettings)> completion)
{
    completion(settings);
}

void ScriptedNotificationCenter::requestAuthorization(unsigned options, std::function<void(bool, ErrorPtr)> completion)
{
    {
        std::lock_guard lock(mutex_);
        authorizationRequests_.push_back(options);
    }
    completion(granted, authorizationError);
}

void ScriptedNotificationCenter::addNotificationRequest(NotificationRequest request, std::function<void(ErrorPtr)> completion)
{
    {
        std::lock_guard lock(mutex_);
        added_.push_back(std::move(request));
    }
    completion(nullptr);
}

} // namespace tavik::testing
