#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik::testing {

// A notification server for tests: owns org.freedesktop.Notifications on the
// current session bus (a private one in tests), records what is posted and
// closed, answers with an error where told to, and emits ActionInvoked and
// NotificationClosed on command, as a desktop's server does when the user acts.
class TestNotificationServer {
public:
    struct Options {
        std::vector<std::string> capabilities {"actions", "body"};
    };

    struct Posted {
        uint32_t id = 0;
        std::string applicationName;
        uint32_t replacesId = 0;
        std::string summary;
        std::string body;
        std::vector<std::string> actions; // key, label, key, label, ...
        std::map<std::string, std::string> stringHints;
        int32_t expireTimeout = -1;
    };

    TestNotificationServer();
    explicit TestNotificationServer(Options options);
    ~TestNotificationServer();
    TestNotificationServer(const TestNotificationServer&) = delete;
    TestNotificationServer& operator=(const TestNotificationServer&) = delete;

    std::vector<Posted> posted() const;
    // Waits until at least `count` notifications were posted; returns them.
    std::vector<Posted> waitForPosted(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::optional<Posted> postedWithSummary(const std::string& summary) const;
    std::vector<uint32_t> closedByCall() const;
    bool waitForClosedByCall(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Notify calls whose summary is this fail with the given D-Bus error.
    void failPostsWithSummary(const std::string& summary, std::string errorName, std::string message);

    // The next Notify call gives up the server's name on the bus before it
    // answers, as a server that quits while a post is on its way.
    void leaveBeforeAnswering();

    // While held, Notify calls wait (unanswered) until released.
    void holdPosts();
    bool waitForHeldPosts(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    void releasePosts();

    void invokeAction(uint32_t id, const std::string& key);
    void closeNotification(uint32_t id, uint32_t reason);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavik::testing
