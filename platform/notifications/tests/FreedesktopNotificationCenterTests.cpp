// The notification center against a real notification server on a private
// session bus.

#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/TestNotificationServer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>

using namespace tavik;
using namespace tavik::notifications;
using tavik::testing::PrivateSessionBus;
using tavik::testing::TestNotificationServer;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// Answers will-present with the given options and records each response as
// "identifier action". Every test titles a request by its identifier: each
// response must carry its own request.
class RecordingDelegate final : public NotificationCenterDelegate, public tavik::testing::Recorder<std::string> {
public:
    unsigned presentation = PresentationOption::banner;
    void willPresentNotification(const Notification&, std::function<void(unsigned)> completion) override { completion(presentation); }
    void didReceiveNotificationResponse(const NotificationResponse& response, std::function<void()> completion) override
    {
        const auto& request = response.notification.request;
        EXPECT_EQ(request.content.title, request.identifier);
        EXPECT_EQ(request.content.body, "Body of " + request.identifier);
        EXPECT_EQ(request.content.categoryIdentifier, "FOUND_FILE");
        add(request.identifier + " " + response.actionIdentifier);
        completion();
    }
    // The responses so far, once there are at least `count` of them.
    Strings responses(size_t count) { return waitFor(count); }
};

NotificationSettings settingsOf(NotificationCenter& center)
{
    std::promise<NotificationSettings> settings;
    center.getNotificationSettings([&](NotificationSettings s) { settings.set_value(s); });
    return settings.get_future().get();
}

// Posts a request titled by its identifier; the future gets the completion's error.
std::future<ErrorPtr> postInBackground(NotificationCenter& center, const std::string& identifier, const std::string& category = "FOUND_FILE")
{
    auto result = std::make_shared<std::promise<ErrorPtr>>();
    center.addNotificationRequest({identifier, {identifier, "Body of " + identifier, category}}, [result](ErrorPtr error) { result->set_value(error); });
    return result->get_future();
}

ErrorPtr post(NotificationCenter& center, const std::string& identifier, const std::string& category = "FOUND_FILE") { return postInBackground(center, identifier, category).get(); }

void expectNotAllowed(NotificationCenter& center)
{
    EXPECT_EQ(settingsOf(center).authorizationStatus, AuthorizationStatus::denied);
    auto failed = post(center, "Refused");
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->code(), NotificationCenterError::notificationsNotAllowed);
}

// A question category with two actions and a dismissal, and a message one.
struct Posting {
    Posting()
    {
        center->setDelegate(delegate);
        center->setNotificationCategories({{"ACTIONLESS_MESSAGE", {}, 0},
            {"FOUND_FILE", {{"FIND_APPLICATIONS_ACTION", "Find Applications"}, {"IGNORE_FILE_ACTION", "Ignore"}}, CategoryOption::customDismissAction}});
    }
    ~Posting() { center->disconnect(); } // callbacks under way may hold it past the bus
    uint32_t idOf(const std::string& title) { return server->postedWithSummary(title)->id; }

    PrivateSessionBus bus;
    std::optional<TestNotificationServer> server {std::in_place};
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
};

} // namespace

TEST(FreedesktopNotificationCenterTest, PostsWhatTheDelegatePresentsFailsOnlyWhatTheServerRefusesRemovesDeliveredAndPendingAndReportsAnswers)
{
    Posting p;
    p.server->failPostsWithSummary("Refused", "org.freedesktop.Notifications.Error.Full", "too many notifications");
    EXPECT_EQ(post(*p.center, "Question"), nullptr);
    EXPECT_EQ(post(*p.center, "Message", "ACTIONLESS_MESSAGE"), nullptr);
    auto error = post(*p.center, "Refused");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), NotificationCenterError::serverFailed);
    EXPECT_NE(error->description().find("too many notifications"), std::string::npos) << error->description();
    p.delegate->presentation = PresentationOption::sound;
    EXPECT_EQ(post(*p.center, "Unpresented"), nullptr);

    auto posted = p.server->posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].summary, "Question");
    EXPECT_EQ(posted[0].body, "Body of Question");
    EXPECT_EQ(posted[0].applicationName, "Tavik");
    EXPECT_EQ(posted[0].stringHints["desktop-entry"], "app.tavik.Tavik");
    EXPECT_EQ(posted[0].actions, (Strings {"FIND_APPLICATIONS_ACTION", "Find Applications", "IGNORE_FILE_ACTION", "Ignore", "default", ""}));
    EXPECT_EQ(posted[0].expireTimeout, 0) << "a question stays until answered";
    EXPECT_TRUE(posted[1].actions.empty());
    EXPECT_EQ(posted[1].expireTimeout, -1);

    // Removing closes what was delivered, and a request still on its way to
    // the server as soon as it arrives; neither is reported any more.
    p.center->removeAllDeliveredNotifications();
    ASSERT_TRUE(p.server->waitForClosedByCall(2));
    auto closed = p.server->closedByCall();
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, (std::vector<uint32_t> {p.idOf("Question"), p.idOf("Message")}));
    p.server->closeNotification(p.idOf("Question"), 2);
    p.delegate->presentation = PresentationOption::banner;
    p.server->holdPosts();
    auto pending = postInBackground(*p.center, "Three");
    ASSERT_TRUE(p.server->waitForHeldPosts(1));
    p.center->removeAllPendingNotificationRequests();
    p.server->releasePosts();
    EXPECT_EQ(pending.get(), nullptr);
    ASSERT_TRUE(p.server->waitForClosedByCall(3));
    EXPECT_EQ(p.server->closedByCall().back(), p.idOf("Three"));
    p.server->closeNotification(p.idOf("Three"), 2);

    ASSERT_EQ(post(*p.center, "Marker"), nullptr);
    p.server->closeNotification(p.idOf("Marker"), 2);
    EXPECT_EQ(p.delegate->responses(1), (Strings {"Marker dismiss"}));

    // Each answer is reported for its own question, and every close Tavik did
    // not ask for as a dismissal.
    for (const auto& name : {"First", "Second"})
        ASSERT_EQ(post(*p.center, name), nullptr);
    ASSERT_EQ(post(*p.center, "Note", "ACTIONLESS_MESSAGE"), nullptr);
    p.server->invokeAction(p.idOf("Second"), "IGNORE_FILE_ACTION");
    p.server->invokeAction(p.idOf("Second"), "FIND_APPLICATIONS_ACTION"); // answered already: forgotten
    p.server->closeNotification(p.idOf("Second"), 2); // the close after an action is no dismissal
    p.server->invokeAction(p.idOf("First"), "default");
    p.server->invokeAction(4242, "IGNORE_FILE_ACTION"); // someone else's notification
    p.server->closeNotification(p.idOf("Note"), 2); // messages report no dismissal
    p.server->closeNotification(p.idOf("First"), 2); // still up after the click: dismissed now
    p.server->closeNotification(p.idOf("First"), 2);
    Strings expected {"Marker dismiss", "Second IGNORE_FILE_ACTION", "First default", "First dismiss"};
    EXPECT_EQ(p.delegate->responses(4), expected);

    // Expired, dismissed by the user, closed by someone's call, undefined,
    // and a reason newer than the protocol.
    for (uint32_t reason : {1, 2, 3, 4, 7}) {
        auto name = std::to_string(reason);
        ASSERT_EQ(post(*p.center, "Q" + name), nullptr);
        ASSERT_EQ(post(*p.center, "M" + name, "ACTIONLESS_MESSAGE"), nullptr);
        p.server->closeNotification(p.idOf("M" + name), reason);
        p.server->closeNotification(p.idOf("Q" + name), reason);
        p.server->closeNotification(p.idOf("Q" + name), 2); // gone already
        expected.push_back("Q" + name + " dismiss");
    }
    // Signals arrive in order, so once this one is reported nothing else is pending.
    ASSERT_EQ(post(*p.center, "Last"), nullptr);
    p.server->invokeAction(p.idOf("Last"), "IGNORE_FILE_ACTION");
    expected.push_back("Last IGNORE_FILE_ACTION");
    EXPECT_EQ(p.delegate->responses(expected.size()), expected);
}

TEST(FreedesktopNotificationCenterTest, AServerOrTheBusLeavingAnswersEveryOpenQuestionAndAuthorizationFollowsTheServerOnTheBus)
{
    Posting p;
    for (const auto& name : {"Open", "Answered", "Clicked"})
        ASSERT_EQ(post(*p.center, name), nullptr);
    ASSERT_EQ(post(*p.center, "Message", "ACTIONLESS_MESSAGE"), nullptr);
    p.server->invokeAction(p.idOf("Answered"), "FIND_APPLICATIONS_ACTION");
    p.server->invokeAction(p.idOf("Clicked"), "default");
    ASSERT_EQ(p.delegate->responses(2).size(), 2u);
    p.server.reset(); // the server quits

    // The clicked one is still up until the server goes; the performer
    // decides what a second answer means.
    auto responses = p.delegate->responses(4);
    ASSERT_EQ(responses.size(), 4u);
    std::sort(responses.begin() + 2, responses.end());
    EXPECT_EQ(Strings(responses.begin() + 2, responses.end()), (Strings {"Clicked dismiss", "Open dismiss"}));

    // A new server numbers its notifications afresh: its ids are not taken
    // for the old server's.
    p.server.emplace();
    ASSERT_EQ(post(*p.center, "New"), nullptr);
    ASSERT_EQ(p.idOf("New"), 1u);
    p.server->invokeAction(1, "IGNORE_FILE_ACTION");
    EXPECT_EQ(p.delegate->responses(5).back(), "New IGNORE_FILE_ACTION");

    // A server that quits while a question is on its way, its answer to the
    // post arriving after it left: the question is not left open.
    p.server->leaveBeforeAnswering();
    ASSERT_EQ(post(*p.center, "Late"), nullptr);
    EXPECT_EQ(p.delegate->responses(6).back(), "Late dismiss");

    // The bus going away answers open questions too, a question on its way is
    // not left hanging, and the center goes on without the bus.
    p.server.emplace();
    ASSERT_EQ(post(*p.center, "Stranded"), nullptr);
    p.server->holdPosts();
    auto inFlight = postInBackground(*p.center, "Held");
    ASSERT_TRUE(p.server->waitForHeldPosts(1));
    p.bus.kill();
    responses = p.delegate->responses(7);
    EXPECT_EQ(Strings(responses.begin() + 6, responses.end()), (Strings {"Stranded dismiss"}));
    ASSERT_EQ(inFlight.wait_for(10s), std::future_status::ready);
    EXPECT_NE(inFlight.get(), nullptr);
    expectNotAllowed(*p.center);
    p.center->removeAllDeliveredNotifications(); // nothing to do, and no crash

    // A new session bus: the center connects to it on its next use, and may
    // post once a server that shows actions is on it.
    PrivateSessionBus next;
    std::promise<std::pair<bool, ErrorPtr>> authorization;
    p.center->requestAuthorization(AuthorizationOption::alert, [&](bool granted, ErrorPtr error) { authorization.set_value({granted, error}); });
    EXPECT_EQ(authorization.get_future().get(), (std::pair<bool, ErrorPtr> {false, nullptr}));
    {
        TestNotificationServer withoutActions({{"body"}});
        EXPECT_EQ(settingsOf(*p.center).authorizationStatus, AuthorizationStatus::denied);
    }
    TestNotificationServer server;
    auto settings = settingsOf(*p.center);
    EXPECT_EQ(settings.authorizationStatus, AuthorizationStatus::authorized);
    EXPECT_EQ(settings.alertSetting, NotificationSetting::enabled);
    ASSERT_EQ(post(*p.center, "Again"), nullptr);
    server.closeNotification(server.postedWithSummary("Again")->id, 2);
    responses = p.delegate->responses(8);
    EXPECT_EQ(Strings(responses.begin() + 6, responses.end()), (Strings {"Stranded dismiss", "Again dismiss"}));
}

// The bus library can keep a reply handler after its reply has come; what a
// completion holds must go once it has run, or work waiting for it (a file
// whose question was answered) never counts as finished.
TEST(FreedesktopNotificationCenterTest, WhatACompletionHoldsGoesOnceItHasRun)
{
    Posting p;
    // Enough calls that some replies come before their calls are registered.
    constexpr int calls = 300;
    std::vector<std::weak_ptr<int>> held;
    tavik::testing::Recorder<int> ran;
    for (int call = 0; call < calls; ++call) {
        auto token = std::make_shared<int>(call);
        held.push_back(token);
        if (call % 2 == 0) {
            p.center->getNotificationSettings([token, &ran](NotificationSettings) { ran.add(*token); });
        } else {
            auto id = "Message " + std::to_string(call);
            p.center->addNotificationRequest({id, {id, "Body of " + id, "ACTIONLESS_MESSAGE"}}, [token, &ran](ErrorPtr) { ran.add(*token); });
        }
    }
    ASSERT_EQ(ran.waitFor(calls).size(), static_cast<size_t>(calls));
    EXPECT_TRUE(tavik::testing::eventually([&] {
        return std::all_of(held.begin(), held.end(), [](const auto& token) { return token.expired(); });
    }));
}
