#pragma once

#include "platform/notifications/NotificationCenter.hpp"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tavik::testing {

// A notification center without a server, for the logic around one: it
// answers the settings and the authorization as the test sets them, takes
// every post at once and records it, and answers a question as a user
// would when the test says so.
class ScriptedNotificationCenter final : public notifications::NotificationCenter {
public:
    notifications::NotificationSettings settings {notifications::AuthorizationStatus::authorized, notifications::NotificationSetting::enabled};
    bool granted = true;
    ErrorPtr authorizationError;

    // The requests posted so far, in order.
    std::vector<notifications::NotificationRequest> added() const;
    // "title | body" of what was posted in the category (in any, when none is given).
    std::vector<std::string> posted(const std::string& category = {}) const;
    // The options of each authorization asked for.
    std::vector<unsigned> authorizationRequests() const;
    // Answers the next unanswered question of the category with the action,
    // once it was posted; false when none came in time.
    bool answer(const std::string& category, const std::string& actionIdentifier);

    void setDelegate(std::weak_ptr<notifications::NotificationCenterDelegate> delegate) override;
    void setNotificationCategories(std::vector<notifications::NotificationCategory>) override {}
    void getNotificationSettings(std::function<void(notifications::NotificationSettings)> completion) override;
    void requestAuthorization(unsigned options, std::function<void(bool, ErrorPtr)> completion) override;
    void addNotificationRequest(notifications::NotificationRequest request, std::function<void(ErrorPtr)> completion) override;
    void removeAllDeliveredNotifications() override {}
    void removeAllPendingNotificationRequests() override {}

private:
    mutable std::mutex mutex_;
    std::weak_ptr<notifications::NotificationCenterDelegate> delegate_;
    std::vector<notifications::NotificationRequest> added_;
    std::vector<unsigned> authorizationRequests_;
    std::map<std::string, size_t> answered_;
};

} // namespace tavik::testing
