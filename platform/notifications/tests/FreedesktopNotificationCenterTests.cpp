#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/TestNotificationServer.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <set>

using namespace tavik;
using namespace tavik::notifications;
using tavik::testing::PrivateSessionBus;
using tavik::testing::TestNotificationServer;
using namespace std::chrono_literals;

namespace {

// Records the responses the center reports and answers will-present.
class RecordingDelegate final : public NotificationCenterDelegate {
public:
    explicit RecordingDelegate(unsigned presentation = PresentationOption::banner | PresentationOption::list)
        : presentation_(presentation)
    {
    }

    void willPresentNotification(const Notification& notification, std::function<void(unsigned)> completion) override
    {
        {
            std::lock_guard lock(mutex_);
            presented_.push_back(notification.request.identifier);
        }
        completion(presentation_);
    }

    void didReceiveNotificationResponse(const NotificationResponse& response, std::function<void()> completion) override
    {
        {
            std::lock_guard lock(mutex_);
            responses_.push_back(response);
            changed_.notify_all();
        }
        completion();
    }

    std::vector<NotificationResponse> waitForResponses(size_t count)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return responses_.size() >= count; });
        return responses_;
    }

    std::vector<std::string> presented()
    {
        std::lock_guard lock(mutex_);
        return presented_;
    }

private:
    unsigned presentation_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<NotificationResponse> responses_;
    std::vector<std::string> presented_;
};

std::vector<NotificationCategory> categories()
{
    return {
        {"ACTIONLESS_MESSAGE", {}, 0},
        {"FOUND_FILE", {{"FIND_APPLICATIONS_ACTION", "Find Applications"}, {"IGNORE_FILE_ACTION", "Ignore"}},
            CategoryOption::customDismissAction},
    };
}

NotificationSettings settingsOf(NotificationCenter& center)
{
    std::promise<NotificationSettings> settings;
    center.getNotificationSettings([&](NotificationSettings s) { settings.set_value(s); });
    return settings.get_future().get();
}

ErrorPtr add(NotificationCenter& center, const std::string& identifier, const std::string& title, const std::string& category)
{
    std::promise<ErrorPtr> result;
    center.addNotificationRequest({identifier, {title, "Body of " + title, category}}, [&](ErrorPtr error) { result.set_value(error); });
    return result.get_future().get();
}

struct Posting {
    Posting()
    {
        center->setDelegate(delegate);
        center->setNotificationCategories(categories());
    }
    ~Posting() { center->disconnect(); } // callbacks under way may hold it past the bus
    PrivateSessionBus bus;
    TestNotificationServer server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
};

} // namespace

TEST(FreedesktopNotificationCenterTest, AuthorizationFollowsTheServerOnTheBus)
{
    auto expectDenied = [](FreedesktopNotificationCenter& center) {
        EXPECT_EQ(settingsOf(center).authorizationStatus, AuthorizationStatus::denied);
        auto failed = add(center, "A", "Title", "FOUND_FILE");
        ASSERT_NE(failed, nullptr);
        EXPECT_EQ(failed->code(), NotificationCenterError::notificationsNotAllowed);
    };
    {
        SCOPED_TRACE("no session bus");
        tavik::testing::ScopedEnvironment noBus;
        noBus.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavik-bus");
        FreedesktopNotificationCenter center;
        expectDenied(center);
        center.removeAllDeliveredNotifications(); // nothing to do, and no crash
    }
    PrivateSessionBus bus;
    FreedesktopNotificationCenter center;
    {
        SCOPED_TRACE("no server");
        expectDenied(center);
        std::promise<std::pair<bool, ErrorPtr>> authorization;
        center.requestAuthorization(AuthorizationOption::alert, [&](bool granted, ErrorPtr error) { authorization.set_value({granted, error}); });
        auto [granted, error] = authorization.get_future().get();
        EXPECT_FALSE(granted);
        EXPECT_EQ(error, nullptr);
    }
    {
        TestNotificationServer withoutActions({{"body"}});
        EXPECT_EQ(settingsOf(center).authorizationStatus, AuthorizationStatus::denied);
    }
    TestNotificationServer server;
    auto settings = settingsOf(center);
    EXPECT_EQ(settings.authorizationStatus, AuthorizationStatus::authorized);
    EXPECT_EQ(settings.alertSetting, NotificationSetting::enabled);
}

TEST(FreedesktopNotificationCenterTest, PostsTitleBodyAndTheCategoryActions)
{
    Posting p;
    EXPECT_EQ(add(*p.center, "Q1", "Found Example.dmg", "FOUND_FILE"), nullptr);
    EXPECT_EQ(add(*p.center, "M1", "Found a DMG file", "ACTIONLESS_MESSAGE"), nullptr);

    auto posted = p.server.posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].summary, "Found Example.dmg");
    EXPECT_EQ(posted[0].body, "Body of Found Example.dmg");
    EXPECT_EQ(posted[0].applicationName, "Tavik");
    EXPECT_EQ(posted[0].stringHints["desktop-entry"], "app.tavik.Tavik");
    EXPECT_EQ(posted[0].actions, (std::vector<std::string> {"FIND_APPLICATIONS_ACTION", "Find Applications", "IGNORE_FILE_ACTION", "Ignore", "default", ""}));
    EXPECT_EQ(posted[0].expireTimeout, 0) << "a question stays until answered";
    EXPECT_TRUE(posted[1].actions.empty());
    EXPECT_EQ(posted[1].expireTimeout, -1);
    EXPECT_EQ(p.delegate->presented(), (std::vector<std::string> {"Q1", "M1"}));
}

TEST(FreedesktopNotificationCenterTest, ANotificationTheDelegateDoesNotPresentIsNotShown)
{
    PrivateSessionBus bus;
    TestNotificationServer server;
    auto silent = std::make_shared<RecordingDelegate>(PresentationOption::sound);
    FreedesktopNotificationCenter center;
    center.setDelegate(silent);
    EXPECT_EQ(add(center, "Q1", "Quiet", "FOUND_FILE"), nullptr);
    EXPECT_TRUE(server.posted().empty());
}

TEST(FreedesktopNotificationCenterTest, ReportsEachResponseForItsOwnRequest)
{
    Posting p;
    ASSERT_EQ(add(*p.center, "Q1", "First", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "Q2", "Second", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "M1", "Message", "ACTIONLESS_MESSAGE"), nullptr);
    auto first = p.server.postedWithSummary("First")->id;
    auto second = p.server.postedWithSummary("Second")->id;
    auto message = p.server.postedWithSummary("Message")->id;

    p.server.invokeAction(second, "IGNORE_FILE_ACTION");
    p.server.invokeAction(second, "FIND_APPLICATIONS_ACTION"); // answered already: forgotten
    p.server.closeNotification(second, 2); // the close after an action is no dismissal
    p.server.invokeAction(first, "default");
    p.server.invokeAction(4242, "IGNORE_FILE_ACTION"); // someone else's notification
    p.server.closeNotification(message, 2); // messages report no dismissal
    p.server.closeNotification(first, 2); // still up after the click: dismissed now
    p.server.closeNotification(first, 2);

    auto responses = p.delegate->waitForResponses(3);
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(responses[0].notification.request.identifier, "Q2");
    EXPECT_EQ(responses[0].actionIdentifier, "IGNORE_FILE_ACTION");
    EXPECT_EQ(responses[0].notification.request.content.title, "Second");
    EXPECT_EQ(responses[1].notification.request.identifier, "Q1");
    EXPECT_EQ(responses[1].actionIdentifier, defaultActionIdentifier);
    EXPECT_EQ(responses[1].notification.request.content.categoryIdentifier, "FOUND_FILE");
    EXPECT_EQ(responses[1].notification.request.content.body, "Body of First");
    EXPECT_EQ(responses[2].notification.request.identifier, "Q1");
    EXPECT_EQ(responses[2].actionIdentifier, dismissActionIdentifier);

    // Signals arrive in order, so once this one is reported nothing else is pending.
    ASSERT_EQ(add(*p.center, "Q3", "Third", "FOUND_FILE"), nullptr);
    p.server.invokeAction(p.server.postedWithSummary("Third")->id, "FIND_APPLICATIONS_ACTION");
    EXPECT_EQ(p.delegate->waitForResponses(4).size(), 4u);
}

TEST(FreedesktopNotificationCenterTest, EveryCloseTavikDidNotAskForAnswersTheQuestionAsDismissed)
{
    // Expired, dismissed by the user, closed by someone's call, undefined,
    // and a reason newer than the protocol.
    const std::vector<uint32_t> reasons {1, 2, 3, 4, 7};
    Posting p;
    for (auto reason : reasons) {
        auto name = "Q" + std::to_string(reason);
        ASSERT_EQ(add(*p.center, name, name, "FOUND_FILE"), nullptr);
        ASSERT_EQ(add(*p.center, "M" + std::to_string(reason), "M" + std::to_string(reason), "ACTIONLESS_MESSAGE"), nullptr);
    }
    for (auto reason : reasons) {
        p.server.closeNotification(p.server.postedWithSummary("M" + std::to_string(reason))->id, reason);
        p.server.closeNotification(p.server.postedWithSummary("Q" + std::to_string(reason))->id, reason);
        p.server.closeNotification(p.server.postedWithSummary("Q" + std::to_string(reason))->id, 2); // gone already
    }
    ASSERT_EQ(add(*p.center, "Marker", "Marker", "FOUND_FILE"), nullptr);
    p.server.invokeAction(p.server.postedWithSummary("Marker")->id, "IGNORE_FILE_ACTION");

    auto responses = p.delegate->waitForResponses(reasons.size() + 1);
    ASSERT_EQ(responses.size(), reasons.size() + 1);
    for (size_t i = 0; i < reasons.size(); ++i) {
        EXPECT_EQ(responses[i].notification.request.identifier, "Q" + std::to_string(reasons[i]));
        EXPECT_EQ(responses[i].actionIdentifier, dismissActionIdentifier) << reasons[i];
    }
    EXPECT_EQ(responses.back().notification.request.identifier, "Marker");
}

TEST(FreedesktopNotificationCenterTest, AServerLeavingTheBusAnswersEveryOpenQuestion)
{
    struct {
        PrivateSessionBus bus;
        std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
        std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
    } p;
    p.center->setDelegate(p.delegate);
    p.center->setNotificationCategories(categories());
    std::optional<TestNotificationServer> server(std::in_place);
    ASSERT_EQ(add(*p.center, "Q1", "Open", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "Q2", "Answered", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "Q3", "Clicked", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "M1", "Message", "ACTIONLESS_MESSAGE"), nullptr);
    server->invokeAction(server->postedWithSummary("Answered")->id, "FIND_APPLICATIONS_ACTION");
    server->invokeAction(server->postedWithSummary("Clicked")->id, "default");
    ASSERT_EQ(p.delegate->waitForResponses(2).size(), 2u);
    server.reset(); // the server quits

    auto responses = p.delegate->waitForResponses(4);
    ASSERT_EQ(responses.size(), 4u);
    std::set<std::string> dismissed;
    for (size_t i = 2; i < responses.size(); ++i) {
        EXPECT_EQ(responses[i].actionIdentifier, dismissActionIdentifier);
        dismissed.insert(responses[i].notification.request.identifier);
    }
    // The clicked one is still up until the server goes; the performer
    // decides what a second answer means.
    EXPECT_EQ(dismissed, (std::set<std::string> {"Q1", "Q3"}));

    // A new server numbers its notifications afresh: its ids are not taken
    // for the old server's.
    server.emplace();
    ASSERT_EQ(add(*p.center, "Q4", "New", "FOUND_FILE"), nullptr);
    auto id = server->postedWithSummary("New")->id;
    ASSERT_EQ(id, 1u);
    server->invokeAction(id, "IGNORE_FILE_ACTION");
    responses = p.delegate->waitForResponses(5);
    ASSERT_EQ(responses.size(), 5u);
    EXPECT_EQ(responses[4].notification.request.identifier, "Q4");
    EXPECT_EQ(responses[4].actionIdentifier, "IGNORE_FILE_ACTION");
    p.center->disconnect();
}

TEST(FreedesktopNotificationCenterTest, TheBusGoingAwayAnswersOpenQuestionsAndTheCenterGoesOnWithoutIt)
{
    Posting p;
    ASSERT_EQ(add(*p.center, "Q1", "Open", "FOUND_FILE"), nullptr);
    p.server.holdPosts();
    std::promise<ErrorPtr> inFlight;
    p.center->addNotificationRequest({"Q2", {"Held", "", "FOUND_FILE"}}, [&](ErrorPtr e) { inFlight.set_value(e); });
    ASSERT_TRUE(p.server.waitForHeldPosts(1));

    p.bus.kill();
    auto responses = p.delegate->waitForResponses(1);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].notification.request.identifier, "Q1");
    EXPECT_EQ(responses[0].actionIdentifier, dismissActionIdentifier);
    auto future = inFlight.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready) << "a question on its way is not left hanging";
    EXPECT_NE(future.get(), nullptr);

    // Without a bus: denied, and posting fails at once.
    EXPECT_EQ(settingsOf(*p.center).authorizationStatus, AuthorizationStatus::denied);
    auto failed = add(*p.center, "Q3", "Nowhere", "FOUND_FILE");
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->code(), NotificationCenterError::notificationsNotAllowed);

    // A new session bus: the center connects to it on its next use.
    PrivateSessionBus next;
    TestNotificationServer server;
    EXPECT_EQ(settingsOf(*p.center).authorizationStatus, AuthorizationStatus::authorized);
    ASSERT_EQ(add(*p.center, "Q4", "Again", "FOUND_FILE"), nullptr);
    server.closeNotification(server.postedWithSummary("Again")->id, 2);
    responses = p.delegate->waitForResponses(2);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[1].notification.request.identifier, "Q4");
}

TEST(FreedesktopNotificationCenterTest, AServerErrorFailsOnlyThatRequest)
{
    Posting p;
    p.server.failPostsWithSummary("Refused", "org.freedesktop.Notifications.Error.Full", "too many notifications");
    auto error = add(*p.center, "Q1", "Refused", "FOUND_FILE");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), NotificationCenterError::serverFailed);
    EXPECT_NE(error->description().find("too many notifications"), std::string::npos) << error->description();
    EXPECT_EQ(add(*p.center, "Q2", "Accepted", "FOUND_FILE"), nullptr);
    EXPECT_EQ(p.server.posted().size(), 1u);
}

TEST(FreedesktopNotificationCenterTest, RemovesDeliveredAndPendingNotifications)
{
    Posting p;
    ASSERT_EQ(add(*p.center, "Q1", "One", "FOUND_FILE"), nullptr);
    ASSERT_EQ(add(*p.center, "Q2", "Two", "FOUND_FILE"), nullptr);
    p.center->removeAllDeliveredNotifications();
    ASSERT_TRUE(p.server.waitForClosedByCall(2));
    auto closed = p.server.closedByCall();
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, (std::vector<uint32_t> {p.server.postedWithSummary("One")->id, p.server.postedWithSummary("Two")->id}));
    p.server.closeNotification(p.server.postedWithSummary("One")->id, 2); // removed: no longer ours to report

    // A request still on its way to the server is closed as soon as it arrives.
    p.server.holdPosts();
    std::promise<ErrorPtr> pending;
    p.center->addNotificationRequest({"Q3", {"Three", "", "FOUND_FILE"}}, [&](ErrorPtr e) { pending.set_value(e); });
    ASSERT_TRUE(p.server.waitForHeldPosts(1));
    p.center->removeAllPendingNotificationRequests();
    p.server.releasePosts();
    EXPECT_EQ(pending.get_future().get(), nullptr);
    ASSERT_TRUE(p.server.waitForClosedByCall(3));
    EXPECT_EQ(p.server.closedByCall().back(), p.server.postedWithSummary("Three")->id);
    p.server.closeNotification(p.server.postedWithSummary("Three")->id, 2);

    ASSERT_EQ(add(*p.center, "Q4", "Marker", "FOUND_FILE"), nullptr);
    p.server.closeNotification(p.server.postedWithSummary("Marker")->id, 2);
    auto responses = p.delegate->waitForResponses(1);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].notification.request.identifier, "Q4");
}
