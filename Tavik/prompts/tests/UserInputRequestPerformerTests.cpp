// The performer's logic against a scripted notification center (the
// delivery decision, the alert fallback), and with the real center against a
// notification server on a private session bus (routing, failing servers).
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/ScriptedNotificationCenter.hpp"
#include "platform/testing/TestNotificationServer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>

using namespace tavik;
using namespace tavik::notifications;
using tavik::testing::TestNotificationServer;
using Category = UserInputRequestPerformer::Category;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

// An alert presenter that answers from a script (then cancels) and records
// what it showed and whether it ran off the main queue.
class ScriptedAlertPresenter final : public alerts::AlertPresenter {
public:
    void answer(alerts::ModalResponse response)
    {
        std::lock_guard lock(mutex_);
        answers_.push_back(response);
    }
    alerts::ModalResponse runModal(const alerts::Alert& alert) override
    {
        shown.add(alert);
        offMainQueue += !dispatch::DispatchQueue::main()->isCurrent();
        std::lock_guard lock(mutex_);
        auto response = answers_.empty() ? alerts::modalResponseCancel : answers_.front();
        if (!answers_.empty())
            answers_.pop_front();
        return response;
    }

    tavik::testing::Recorder<alerts::Alert> shown;
    std::atomic<int> offMainQueue {0};

private:
    std::mutex mutex_;
    std::deque<alerts::ModalResponse> answers_;
};

// The printed lines, and the results handed to question handlers by the question's name.
struct Recorded {
    UserInputRequestPerformer::LinePrinter printer()
    {
        return [this](std::string_view line) { lines.add(std::string(line)); };
    }
    UserInputRequestPerformer::ResponseHandler handler(const std::string& question)
    {
        return [this, question](Result<UserResponse> result) { results.add({question, std::move(result)}); };
    }
    std::vector<Result<UserResponse>> of(const std::string& question) const
    {
        std::vector<Result<UserResponse>> found;
        for (const auto& [name, result] : results.all())
            if (name == question)
                found.push_back(result);
        return found;
    }
    size_t count() const { return results.all().size(); }
    // Runs the main queue (where alerts run) until `expected` answers are in.
    bool waitFor(size_t expected) const
    {
        return dispatch::MainRunLoop::runUntil([&] { return count() >= expected; }, tavik::testing::eventuallyTimeout);
    }

    tavik::testing::Recorder<std::string> lines;
    tavik::testing::Recorder<std::pair<std::string, Result<UserResponse>>> results;
};


struct Fixture {
    explicit Fixture(NotificationSettings settings = {AuthorizationStatus::authorized, NotificationSetting::enabled}, bool granted = true)
    {
        center->settings = settings;
        center->granted = granted;
        performer->registerCategories();
    }
    std::shared_ptr<tavik::testing::ScriptedNotificationCenter> center = std::make_shared<tavik::testing::ScriptedNotificationCenter>();
    std::shared_ptr<ScriptedAlertPresenter> alerts = std::make_shared<ScriptedAlertPresenter>();
    Recorded recorded;
    std::shared_ptr<UserInputRequestPerformer> performer = std::make_shared<UserInputRequestPerformer>(center, alerts, recorded.printer());
};

NotificationSettings status(int value, NotificationSetting alert = NotificationSetting::enabled)
{
    return {static_cast<AuthorizationStatus>(value), alert};
}


struct OnABus {
    OnABus() { performer->registerCategories(); }
    // Callbacks under way may hold the performer, and so the center, past the bus.
    ~OnABus() { center->disconnect(); }

    void ask(const std::string& question, Category category, const std::string& body = "")
    {
        performer->requestUserInput(question, body, category, recorded.handler(question));
    }
    UserResponse answer(const std::string& question) const { return recorded.of(question).at(0).value(); }
    bool waitUntil(const std::function<bool()>& condition) const
    {
        return dispatch::MainRunLoop::runUntil(condition, tavik::testing::eventuallyTimeout);
    }
    bool waitForOutstanding(size_t count) const
    {
        return waitUntil([&] { return performer->outstandingRequestCount() == count; });
    }

    tavik::testing::PrivateSessionBus bus;
    std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
    std::shared_ptr<ScriptedAlertPresenter> alerts = std::make_shared<ScriptedAlertPresenter>();
    Recorded recorded;
    std::shared_ptr<UserInputRequestPerformer> performer = std::make_shared<UserInputRequestPerformer>(center, alerts, recorded.printer());
};

} // namespace

// Each way the settings decide: a question, a message and an error are all
// posted, or they fall back: a question and an error to an alert, a message
// only when it asks for one or alerts are merely turned off.
TEST(UserInputRequestPerformerTest, QuestionsMessagesAndErrorsArePostedOrFallBackAsTheSettingsDecide)
{
    const std::string denied = "Notification permissions have been denied";
    const struct {
        NotificationSettings settings;
        bool granted;
        ErrorPtr authorizationError;
        bool fallBackToAlert; // the message's own wish
        bool posted;
        bool messageAlert;
        std::string line; // printed for each of the three
    } cases[] = {
        {status(2), true, nullptr, false, true, false, ""},
        {status(2, NotificationSetting::disabled), true, nullptr, false, false, true, ""},
        {status(1), true, nullptr, false, false, false, denied},
        {status(1), true, nullptr, true, false, true, denied},
        {status(7), true, nullptr, false, false, false, "Unknown authorization status: 7"},
        {status(0), true, nullptr, false, true, false, ""},
        {status(3), false, nullptr, false, false, false, ""},
        {status(0), false, GenericError::make("Test", 1, "the service is away"), true, false, true, "Error requesting user notification permissions: the service is away"},
    };
    auto error = std::make_shared<const GenericError>("Test", 5, "Example.dmg could not be attached", "The image is damaged");
    for (const auto& c : cases) {
        int statusValue = static_cast<int>(c.settings.authorizationStatus);
        SCOPED_TRACE(::testing::Message() << statusValue << (c.granted ? " granted" : "") << (c.fallBackToAlert ? " falling back" : ""));
        Fixture f(c.settings, c.granted);
        f.center->authorizationError = c.authorizationError;
        f.alerts->answer(alerts::alertFirstButtonReturn);
        f.performer->requestUserInput("Found Example.dmg", "Choose how to handle Example.dmg", Category::foundFile, f.recorded.handler("q"));
        f.performer->showMessage("Found a DMG file", "Searching for applications in /tmp/Example.dmg", c.fallBackToAlert);
        f.performer->showError(error);
        dispatch::MainRunLoop::drain();

        EXPECT_EQ(f.center->authorizationRequests(), std::vector<unsigned>(statusValue == 0 || statusValue == 3 ? 3 : 0, AuthorizationOption::alert));
        EXPECT_EQ(f.recorded.lines.all(), c.line.empty() ? Lines {} : Lines(3, c.line));
        EXPECT_EQ(f.performer->outstandingRequestCount(), c.posted ? 1u : 0u) << "only a posted question waits";
        Lines posts, alertsShown;
        auto added = f.center->added();
        for (const auto& request : added)
            posts.push_back(request.content.categoryIdentifier + ":" + request.content.title + ":" + request.content.body);
        for (const auto& alert : f.alerts->shown.all()) {
            alertsShown.push_back(alert.messageText + ":" + alert.informativeText + ":");
            for (const auto& button : alert.buttons)
                alertsShown.back() += button + ";";
        }
        EXPECT_EQ(f.alerts->offMainQueue, 0);
        if (c.posted) {
            EXPECT_EQ(posts, (Lines {"FOUND_FILE:Found Example.dmg:Choose how to handle Example.dmg", "ACTIONLESS_MESSAGE:Found a DMG file:Searching for applications in /tmp/Example.dmg", "ERROR_OCCURRED:Error Occurred:Example.dmg could not be attached"}));
            EXPECT_TRUE(UUID::fromString(added[0].identifier)) << added[0].identifier;
            EXPECT_TRUE(alertsShown.empty());
            EXPECT_EQ(f.recorded.count(), 0u);
            continue;
        }
        EXPECT_TRUE(posts.empty());
        Lines expectedAlerts {"Found Example.dmg:Choose how to handle Example.dmg:Find Applications;Ignore;"};
        if (c.messageAlert)
            expectedAlerts.push_back("Found a DMG file:Searching for applications in /tmp/Example.dmg:");
        expectedAlerts.push_back("Example.dmg could not be attached:The image is damaged:");
        EXPECT_EQ(alertsShown, expectedAlerts);
        ASSERT_EQ(f.recorded.of("q").size(), 1u);
        EXPECT_EQ(f.recorded.of("q")[0].value(), UserResponse::action("FIND_APPLICATIONS_ACTION"));
    }
}

TEST(UserInputRequestPerformerTest, TheAlertFallbackMapsButtonsToTheCategoryActionsInOrder)
{
    Fixture f(status(2, NotificationSetting::disabled));
    const std::tuple<Category, alerts::ModalResponse, std::string> cases[] = {
        {Category::applicationExistsAtDestination, alerts::alertSecondButtonReturn, "RENAME_AND_MOVE_APPLICATION_ACTION"},
        {Category::applicationCopied, alerts::modalResponseCancel, "dismissed"},
        {Category::foundFileWithoutIgnore, 1005, "unknown response 1005"},
        {Category::foundFileWithoutIgnore, alerts::alertFirstButtonReturn, "FIND_APPLICATIONS_ACTION"},
        {Category::foundApplication, alerts::alertSecondButtonReturn, "IGNORE_FILE_ACTION"},
        {Category::foundFile, alerts::alertThirdButtonReturn, "unknown response 1002"}, // beyond the two actions
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        f.alerts->answer(std::get<1>(cases[i]));
        f.performer->requestUserInput("Question", "Body", std::get<0>(cases[i]), f.recorded.handler(std::to_string(i)));
    }
    ASSERT_TRUE(f.recorded.waitFor(std::size(cases)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto answer = f.recorded.of(std::to_string(i)).at(0);
        auto unknown = answer.ok() ? nullptr : std::dynamic_pointer_cast<const AlertError>(answer.error());
        std::string described = answer.ok()                                  ? (answer.value().isDismissed() ? "dismissed" : answer.value().identifier())
            : unknown && unknown->errorCase() == AlertError::unknownResponse ? "unknown response " + std::to_string(unknown->response())
                                                                             : answer.error()->description();
        EXPECT_EQ(described, std::get<2>(cases[i])) << i;
    }
    // The buttons are the category's action titles, in order.
    auto shown = f.alerts->shown.all();
    EXPECT_EQ(shown[0].buttons, (Lines {"Overwrite", "Rename and Copy", "Ignore"}));
    EXPECT_EQ(shown[1].buttons, (Lines {"Open", "Ignore"}));
    EXPECT_EQ(shown[2].buttons, (Lines {"Find Applications"}));
    EXPECT_EQ(shown[4].buttons, (Lines {"Copy", "Ignore"}));
    EXPECT_EQ(f.recorded.lines.all(), (Lines {"Unknown modal response: 1005", "Unknown modal response: 1002"}));
}

// Open questions are answered as dismissed when the server or the bus goes
// (the center's own tests; `tavik open` shows it end to end). Without a
// server that shows actions, questions and errors are alerts, and messages
// only where they ask.
TEST(UserInputRequestPerformerServerTest, WithoutAServerForQuestionsTheyAndErrorsAreAlertsAndMessagesOnlyWhereTheyAsk)
{
    for (bool bodyOnlyServer : {false, true}) {
        SCOPED_TRACE(bodyOnlyServer ? "a server without actions" : "no server");
        OnABus b;
        auto server = bodyOnlyServer ? std::make_unique<TestNotificationServer>(TestNotificationServer::Options {{"body"}}) : nullptr;
        b.alerts->answer(alerts::alertFirstButtonReturn);
        b.ask("Found Example.dmg", Category::foundFile);
        ASSERT_TRUE(b.recorded.waitFor(1));
        EXPECT_EQ(b.answer("Found Example.dmg"), UserResponse::action("FIND_APPLICATIONS_ACTION"));
        b.performer->showMessage("Found a DMG file", "Searching", false);
        b.performer->showError(GenericError::make("Test", 1, "The copy failed"));
        b.performer->showMessage("Copying Example", "Application from", true);
        ASSERT_TRUE(b.waitUntil([&] { return b.alerts->shown.all().size() == 3; }));
        EXPECT_EQ(b.alerts->shown.all()[1].messageText, "The copy failed");
        EXPECT_EQ(b.alerts->shown.all()[2].messageText, "Copying Example");
        EXPECT_EQ(b.recorded.lines.all(), Lines(4, "Notification permissions have been denied"));
        EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);
        EXPECT_TRUE(!server || server->posted().empty());
    }
}

// Each question gets its own answer, once: the action chosen; dismissed when
// closed by the user or expired (nobody chose), while a close after an action
// or a click (some servers send one) answers nothing; a click on the body
// asks again by alert; a post the server refuses fails that question alone.
TEST(UserInputRequestPerformerServerTest, EachQuestionIsAnsweredOnceByItsActionCloseOrAlert)
{
    OnABus b;
    TestNotificationServer server;
    server.failPostsWithSummary("refused", "org.freedesktop.DBus.Error.LimitsExceeded", "too many notifications");
    b.ask("refused", Category::foundApplication);
    const std::tuple<std::string, std::string, uint32_t> cases[] = {
        {"copied", "COPY_APPLICATION_ACTION", 2}, {"ignored", "IGNORE_FILE_ACTION", 1}, {"closed", "", 2}, {"expired", "", 1}, {"clicked", "default", 2}};
    for (const auto& [question, action, reason] : cases)
        b.ask(question, Category::foundApplication, "Choose for " + question);
    ASSERT_EQ(server.waitForPosted(std::size(cases)).size(), std::size(cases));
    ASSERT_TRUE(b.waitForOutstanding(std::size(cases)));
    auto refused = b.recorded.of("refused");
    ASSERT_FALSE(refused.at(0).ok());
    EXPECT_NE(refused[0].error()->description().find("too many notifications"), std::string::npos);
    auto clicked = server.postedWithSummary("clicked").value();
    EXPECT_EQ(clicked.body, "Choose for clicked");
    EXPECT_EQ(clicked.actions, (Lines {"COPY_APPLICATION_ACTION", "Copy", "IGNORE_FILE_ACTION", "Ignore", "default", ""}));

    b.alerts->answer(alerts::alertSecondButtonReturn);
    for (const auto& [question, action, reason] : cases) {
        auto id = server.postedWithSummary(question)->id;
        if (!action.empty())
            server.invokeAction(id, action);
        server.closeNotification(id, reason);
    }
    ASSERT_TRUE(b.recorded.waitFor(std::size(cases) + 1));
    // The clicked one is closed last: once its close finds no question, every close is in.
    ASSERT_TRUE(b.waitUntil([&] { return !b.recorded.lines.all().empty(); }));
    EXPECT_EQ(b.recorded.count(), std::size(cases) + 1);
    ASSERT_EQ(b.recorded.lines.all().size(), 1u);
    EXPECT_TRUE(b.recorded.lines.all()[0].starts_with("Not handler for identifier ")) << b.recorded.lines.all()[0];
    for (const auto& [question, action, reason] : cases)
        EXPECT_EQ(b.answer(question), action.empty() ? UserResponse::dismissed() : UserResponse::action(action == "default" ? "IGNORE_FILE_ACTION" : action)) << question;
    auto alert = b.alerts->shown.all().at(0);
    EXPECT_EQ((Lines {alert.messageText, alert.informativeText}), (Lines {"clicked", "Choose for clicked"}));
    EXPECT_EQ(alert.buttons, (Lines {"Copy", "Ignore"}));
    EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);
}
