#pragma once

#include "platform/notifications/NotificationCenter.hpp"

#include <memory>
#include <string>

namespace tavik::notifications {

// The notification center over the desktop's notification server
// (org.freedesktop.Notifications on the session bus).
//
// Categories stay in this process; each notification carries its category's
// actions (key = action identifier, label = title) plus the "default" action
// for a click on its body. The request identifier is mapped to the server's
// notification id while the notification is up.
//
// Authorization follows the server: no session bus or no server on it means
// denied; a server that can show actions means authorized with alerts
// enabled. A server that cannot show actions cannot take a question, so it
// counts as denied too: questions then go to the alert, errors are still
// shown by alert, and plain messages are dropped.
//
// Responses: "ActionInvoked" with "default" is reported as the default
// action, any other key as that action (after which the notification is
// forgotten). A notification closed for any reason (expired, dismissed by the
// user, closed by someone's call, undefined) is reported as the dismiss
// action for categories with the custom dismiss option; closes this center
// asks for itself concern notifications it has already forgotten. When the
// server leaves the bus, or the bus itself goes away, every notification it
// showed is reported the same way, so no question waits for good.
//
// The center owns its connection and the thread that runs its event loop: a
// lost bus ends that loop and is logged, never the process; the next use
// connects again, and reports denied while there is no bus.
class FreedesktopNotificationCenter final : public NotificationCenter {
public:
    struct Options {
        std::string applicationName = "Tavik";
        std::string desktopEntry = "app.tavik.Tavik";
    };

    FreedesktopNotificationCenter();
    explicit FreedesktopNotificationCenter(Options options);
    ~FreedesktopNotificationCenter() override;
    FreedesktopNotificationCenter(const FreedesktopNotificationCenter&) = delete;
    FreedesktopNotificationCenter& operator=(const FreedesktopNotificationCenter&) = delete;

    // The process's notification center, created on first use.
    static const std::shared_ptr<NotificationCenter>& current();

    // Stops talking to the server for good and waits for callbacks under
    // way to finish. Done when the center goes; tests that end their bus
    // while someone may still hold the center call it first.
    void disconnect();

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
    void setNotificationCategories(std::vector<NotificationCategory> categories) override;
    void getNotificationSettings(std::function<void(NotificationSettings)> completion) override;
    void requestAuthorization(unsigned options, std::function<void(bool granted, ErrorPtr error)> completion) override;
    void addNotificationRequest(NotificationRequest request, std::function<void(ErrorPtr error)> completion) override;
    void removeAllDeliveredNotifications() override;
    void removeAllPendingNotificationRequests() override;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tavik::notifications
