#pragma once

#include "platform/foundation/Error.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavik::notifications {

// Option bits of a category.
namespace CategoryOption {
// Report a dismissal of the notification by the user to the delegate.
inline constexpr unsigned customDismissAction = 1u << 0;
} // namespace CategoryOption

// Option bits asked for when requesting authorization.
namespace AuthorizationOption {
inline constexpr unsigned badge = 1u << 0;
inline constexpr unsigned sound = 1u << 1;
inline constexpr unsigned alert = 1u << 2;
} // namespace AuthorizationOption

// How a notification is presented; the delegate's will-present answer.
namespace PresentationOption {
inline constexpr unsigned badge = 1u << 0;
inline constexpr unsigned sound = 1u << 1;
inline constexpr unsigned alert = 1u << 2;
inline constexpr unsigned list = 1u << 3;
inline constexpr unsigned banner = 1u << 4;
} // namespace PresentationOption

// The action identifiers reported for a click on the notification's body and
// for a dismissal by the user.
inline constexpr const char* defaultActionIdentifier = "default";
inline constexpr const char* dismissActionIdentifier = "dismiss";

// What a notification offers the user to do. No action of ours is marked
// (as run in the foreground, destructive or needing authentication), so its
// options are always empty.
struct NotificationAction {
    std::string identifier;
    std::string title;
    unsigned options = 0;
};

struct NotificationCategory {
    std::string identifier;
    std::vector<NotificationAction> actions;
    unsigned options = 0;
};

struct NotificationContent {
    std::string title;
    std::string body;
    std::string categoryIdentifier;
};

// A notification to deliver now.
struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
};

struct Notification {
    NotificationRequest request;
};

struct NotificationResponse {
    Notification notification;
    std::string actionIdentifier;
};

// Values as the platform numbers them; a center may report other values.
enum class AuthorizationStatus : int {
    notDetermined = 0,
    denied = 1,
    authorized = 2,
    provisional = 3
};
enum class NotificationSetting : int {
    notSupported = 0,
    disabled = 1,
    enabled = 2
};

struct NotificationSettings {
    AuthorizationStatus authorizationStatus = AuthorizationStatus::notDetermined;
    NotificationSetting alertSetting = NotificationSetting::notSupported;
};

// Receives what the user does with the notifications. The center calls it on
// a thread of its own; each call gets a completion to call when handled.
class NotificationCenterDelegate {
public:
    virtual ~NotificationCenterDelegate() = default;
    virtual void willPresentNotification(const Notification& notification, std::function<void(unsigned presentationOptions)> completion) = 0;
    virtual void didReceiveNotificationResponse(const NotificationResponse& response, std::function<void()> completion) = 0;
};

// The notification center the application posts to. Every operation may be
// called from any thread; completions run on a thread of the center.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;

    // The center holds the delegate weakly.
    virtual void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) = 0;
    // Replaces the registered set of categories.
    virtual void setNotificationCategories(std::vector<NotificationCategory> categories) = 0;
    virtual void getNotificationSettings(std::function<void(NotificationSettings)> completion) = 0;
    virtual void requestAuthorization(unsigned options, std::function<void(bool granted, ErrorPtr error)> completion) = 0;
    // Delivers the request now; the completion gets the error if that failed.
    virtual void addNotificationRequest(NotificationRequest request, std::function<void(ErrorPtr error)> completion) = 0;
    virtual void removeAllDeliveredNotifications() = 0;
    virtual void removeAllPendingNotificationRequests() = 0;
};

// Failures of the notification center.
class NotificationCenterError final : public Error {
public:
    enum Code {
        notificationsNotAllowed = 1,
        serverFailed = 2
    };

    NotificationCenterError(Code code, std::string message, std::string serverErrorName = {})
        : code_(code)
        , message_(std::move(message))
        , serverErrorName_(std::move(serverErrorName))
    {
    }

    std::string description() const override { return message_; }
    std::string domain() const override { return "app.tavik.notifications"; }
    int code() const override { return code_; }
    // The D-Bus error name the notification server answered with, if any.
    const std::string& serverErrorName() const { return serverErrorName_; }

private:
    Code code_;
    std::string message_;
    std::string serverErrorName_;
};

} // namespace tavik::notifications
