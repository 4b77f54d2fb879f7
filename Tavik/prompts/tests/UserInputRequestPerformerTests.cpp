// The performer's logic against a scripted notification center: the category
// table, the delivery decision, the alert fallback and response routing.
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "Tavik/prompts/tests/PromptsTestSupport.hpp"
#include "platform/foundation/UUID.hpp"

#include <gtest/gtest.h>

#include <cstdio>

using namespace tavik;
using namespace tavik::notifications;
using namespace tavik::prompts::testing;
using Category = UserInputRequestPerformer::Category;

namespace {

// A notification center that answers at once with the settings, the
// authorization and the add result it was given, and records the rest.
class ScriptedNotificationCenter final : public NotificationCenter {
public:
    NotificationSettings settings {AuthorizationStatus::authorized, NotificationSetting::enabled};
    bool granted = true;
    ErrorPtr authorizationError;
    ErrorPtr addError;

    std::weak_ptr<NotificationCenterDelegate> delegate;
    std::vector<NotificationCategory> categories;
    std::vector<NotificationRequest> added;
    int authorizationRequests = 0;

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> d) override { delegate = std::move(d); }
    void setNotificationCategories(std::vector<NotificationCategory> c) override { categories = std::move(c); }
    void getNotificationSettings(std::function<void(NotificationSettings)> completion) override { completion(settings); }
    void requestAuthorization(unsigned options, std::function<void(bool, ErrorPtr)> completion) override
    {
        EXPECT_EQ(options, AuthorizationOption::alert);
        ++authorizationRequests;
        completion(granted, authorizationError);
    }
    void addNotificationRequest(NotificationRequest request, std::function<void(ErrorPtr)> completion) override
    {
        added.push_back(request);
        completion(addError);
    }
    void removeAllDeliveredNotifications() override {}
    void removeAllPendingNotificationRequests() override {}

    // Reports a response as the platform would; returns whether the
    // performer signalled completion.
    bool respond(const NotificationRequest& request, const std::string& actionIdentifier)
    {
        bool completed = false;
        delegate.lock()->didReceiveNotificationResponse({{request}, actionIdentifier}, [&] { completed = true; });
        return completed;
    }
};

struct Fixture {
    std::shared_ptr<ScriptedNotificationCenter> center = std::make_shared<ScriptedNotificationCenter>();
    std::shared_ptr<ScriptedAlertPresenter> alerts = std::make_shared<ScriptedAlertPresenter>();
    PrintedLines printed;
    std::shared_ptr<UserInputRequestPerformer> performer
        = std::make_shared<UserInputRequestPerformer>(center, alerts, printed.printer());
    Answers answers;

    Fixture() { performer->registerCategories(); }
};

NotificationSettings status(int value, NotificationSetting alert = NotificationSetting::enabled)
{
    return {static_cast<AuthorizationStatus>(value), alert};
}

} // namespace

TEST(UserInputRequestPerformerTest, RegistersTheSevenCategoriesAndBecomesTheDelegate)
{
    Fixture f;
    EXPECT_EQ(f.center->delegate.lock(), f.performer);
    ASSERT_EQ(f.center->categories.size(), 7u);
    auto describe = [](const NotificationCategory& category) {
        std::string text = category.identifier + (category.options & CategoryOption::customDismissAction ? " +dismiss:" : ":");
        for (const auto& action : category.actions)
            text += " " + action.identifier + "=" + action.title + (action.options ? "!" : "");
        return text;
    };
    std::vector<std::string> described;
    for (const auto& category : f.center->categories)
        described.push_back(describe(category));
    EXPECT_EQ(described, (std::vector<std::string> {
                             "ACTIONLESS_MESSAGE:",
                             "ERROR_OCCURRED:",
                             "FOUND_FILE +dismiss: FIND_APPLICATIONS_ACTION=Find Applications IGNORE_FILE_ACTION=Ignore",
                             "FOUND_FILE_WITHOUT_IGNORE +dismiss: FIND_APPLICATIONS_ACTION=Find Applications",
                             "FOUND_APPLICATION +dismiss: COPY_APPLICATION_ACTION=Copy IGNORE_FILE_ACTION=Ignore",
                             "APPLICATION_EXISTS_AT_DESTINATION +dismiss: OVERWRITE_APPLICATION_ACTION=Overwrite "
                             "RENAME_AND_MOVE_APPLICATION_ACTION=Rename and Copy IGNORE_FILE_ACTION=Ignore",
                             "APPLICATION_COPIED +dismiss: OPEN_APPLICATION_ACTION=Open IGNORE_FILE_ACTION=Ignore",
                         }));
}

TEST(UserInputRequestPerformerTest, AQuestionIsPostedOrAskedByAlertAsTheSettingsDecide)
{
    struct Case {
        NotificationSettings settings;
        bool granted;
        ErrorPtr authorizationError;
        bool posted;
        std::vector<std::string> lines;
    };
    auto failure = GenericError::make("Test", 1, "the service is away");
    std::vector<Case> cases {
        {status(2), true, nullptr, true, {}},
        {status(2, NotificationSetting::disabled), true, nullptr, false, {}},
        {status(1), true, nullptr, false, {"Notification permissions have been denied"}},
        {status(7), true, nullptr, false, {"Unknown authorization status: 7"}},
        {status(0), true, nullptr, true, {}},
        {status(3), false, nullptr, false, {}},
        {status(0), false, failure, false, {"Error requesting user notification permissions: the service is away"}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        Fixture f;
        f.center->settings = c.settings;
        f.center->granted = c.granted;
        f.center->authorizationError = c.authorizationError;
        f.alerts->answer(alerts::alertFirstButtonReturn);
        f.performer->requestUserInput("Found Example.dmg", "Choose how to handle Example.dmg", Category::foundFile, f.answers.handler("q"));
        dispatch::MainRunLoop::drain();

        int statusValue = static_cast<int>(c.settings.authorizationStatus);
        EXPECT_EQ(f.center->authorizationRequests, statusValue == 0 || statusValue == 3 ? 1 : 0);
        EXPECT_EQ(f.printed.lines(), c.lines);
        if (c.posted) {
            ASSERT_EQ(f.center->added.size(), 1u);
            const auto& request = f.center->added[0];
            EXPECT_EQ(request.content.title, "Found Example.dmg");
            EXPECT_EQ(request.content.body, "Choose how to handle Example.dmg");
            EXPECT_EQ(request.content.categoryIdentifier, "FOUND_FILE");
            EXPECT_TRUE(UUID::fromString(request.identifier)) << request.identifier;
            EXPECT_EQ(f.performer->outstandingRequestCount(), 1u);
            EXPECT_TRUE(f.alerts->shown().empty());
            EXPECT_EQ(f.answers.count(), 0u);
        } else {
            EXPECT_TRUE(f.center->added.empty());
            EXPECT_EQ(f.performer->outstandingRequestCount(), 0u);
            ASSERT_EQ(f.alerts->shown().size(), 1u);
            EXPECT_EQ(f.alerts->shown()[0].messageText, "Found Example.dmg");
            EXPECT_EQ(f.alerts->shown()[0].informativeText, "Choose how to handle Example.dmg");
            EXPECT_EQ(f.alerts->shown()[0].buttons, (std::vector<std::string> {"Find Applications", "Ignore"}));
            EXPECT_EQ(f.alerts->offMainQueue(), 0);
            auto answer = f.answers.of("q");
            ASSERT_EQ(answer.size(), 1u);
            ASSERT_TRUE(answer[0].ok());
            EXPECT_EQ(*answer[0], UserResponse::action("FIND_APPLICATIONS_ACTION"));
        }
    }
}

TEST(UserInputRequestPerformerTest, MessagesAndErrorsFallBackOnlyWhereTheyShould)
{
    struct Case {
        NotificationSettings settings;
        bool granted;
        bool fallBackToAlert;
        bool messagePosted;
        bool messageAlert;
        std::vector<std::string> lines; // for the message and then the error
    };
    const std::string denied = "Notification permissions have been denied";
    std::vector<Case> cases {
        {status(2), true, false, true, false, {}},
        {status(2, NotificationSetting::disabled), true, false, false, true, {}},
        {status(1), true, false, false, false, {denied, denied}},
        {status(1), true, true, false, true, {denied, denied}},
        {status(9), true, false, false, false, {"Unknown authorization status: 9", "Unknown authorization status: 9"}},
        {status(0), false, false, false, false, {}},
        {status(0), false, true, false, true, {}},
        {status(3), true, false, true, false, {}},
    };
    auto error = std::make_shared<const GenericError>("Test", 5, "Example.dmg could not be attached", "The image is damaged");
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& c = cases[i];
        Fixture f;
        f.center->settings = c.settings;
        f.center->granted = c.granted;
        f.performer->showMessage("Found a DMG file", "Searching for applications in /tmp/Example.dmg", c.fallBackToAlert);
        f.performer->showError(error);
        dispatch::MainRunLoop::drain();

        EXPECT_EQ(f.printed.lines(), c.lines);
        EXPECT_EQ(f.performer->outstandingRequestCount(), 0u);
        std::vector<alerts::Alert> expectedAlerts;
        std::vector<std::string> expectedPosts;
        if (c.messagePosted)
            expectedPosts = {"ACTIONLESS_MESSAGE:Found a DMG file:Searching for applications in /tmp/Example.dmg",
                "ERROR_OCCURRED:Error Occurred:Example.dmg could not be attached"};
        std::vector<std::string> posts;
        for (const auto& request : f.center->added)
            posts.push_back(request.content.categoryIdentifier + ":" + request.content.title + ":" + request.content.body);
        EXPECT_EQ(posts, expectedPosts);

        auto shown = f.alerts->shown();
        size_t expectedCount = (c.messageAlert ? 1u : 0u) + (c.messagePosted ? 0u : 1u);
        ASSERT_EQ(shown.size(), expectedCount);
        if (c.messageAlert) {
            EXPECT_EQ(shown[0].messageText, "Found a DMG file");
            EXPECT_EQ(shown[0].informativeText, "Searching for applications in /tmp/Example.dmg");
            EXPECT_TRUE(shown[0].buttons.empty());
        }
        if (!c.messagePosted) {
            EXPECT_EQ(shown.back().messageText, "Example.dmg could not be attached");
            EXPECT_EQ(shown.back().informativeText, "The image is damaged");
        }
        EXPECT_EQ(f.alerts->offMainQueue(), 0);
    }
}

TEST(UserInputRequestPerformerTest, TheAlertFallbackMapsButtonsToTheCategoryActionsInOrder)
{
    Fixture f;
    f.center->settings = status(2, NotificationSetting::disabled);
    f.alerts->answer(alerts::alertSecondButtonReturn);
    f.alerts->answer(alerts::modalResponseCancel);
    f.alerts->answer(1005);
    f.alerts->answer(alerts::alertFirstButtonReturn);
    f.alerts->answer(alerts::alertSecondButtonReturn);
    f.alerts->answer(alerts::alertThirdButtonReturn); // beyond the two actions
    f.performer->requestUserInput("Exists", "Choose", Category::applicationExistsAtDestination, f.answers.handler("rename"));
    f.performer->requestUserInput("Copied", "Open it?", Category::applicationCopied, f.answers.handler("dismissed"));
    f.performer->requestUserInput("Found", "Search it?", Category::foundFileWithoutIgnore, f.answers.handler("unknown"));
    f.performer->requestUserInput("Found", "Search it?", Category::foundFileWithoutIgnore, f.answers.handler("find"));
    f.performer->requestUserInput("App", "Copy it?", Category::foundApplication, f.answers.handler("ignore"));
    f.performer->requestUserInput("Found", "Search it?", Category::foundFile, f.answers.handler("beyond"));
    ASSERT_TRUE(f.answers.waitFor(6));

    auto shown = f.alerts->shown();
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[0].buttons, (std::vector<std::string> {"Overwrite", "Rename and Copy", "Ignore"}));
    EXPECT_EQ(shown[2].buttons, (std::vector<std::string> {"Find Applications"}));
    EXPECT_EQ(*f.answers.of("rename")[0], UserResponse::action("RENAME_AND_MOVE_APPLICATION_ACTION"));
    EXPECT_EQ(*f.answers.of("dismissed")[0], UserResponse::dismissed());
    EXPECT_EQ(*f.answers.of("find")[0], UserResponse::action("FIND_APPLICATIONS_ACTION"));
    EXPECT_EQ(*f.answers.of("ignore")[0], UserResponse::action("IGNORE_FILE_ACTION"));
    auto unknown = f.answers.of("unknown");
    ASSERT_EQ(unknown.size(), 1u);
    ASSERT_FALSE(unknown[0].ok());
    auto alertError = std::dynamic_pointer_cast<const AlertError>(unknown[0].error());
    ASSERT_NE(alertError, nullptr);
    EXPECT_EQ(alertError->errorCase(), AlertError::unknownResponse);
    EXPECT_EQ(alertError->response(), 1005);
    ASSERT_FALSE(f.answers.of("beyond").at(0).ok());
    EXPECT_EQ(f.printed.lines(), (std::vector<std::string> {"Unknown modal response: 1005", "Unknown modal response: 1002"}));
}

TEST(UserInputRequestPerformerTest, ResponsesReachTheirHandlerOnceAndLateOnesArePrinted)
{
    Fixture f;
    f.alerts->answer(alerts::alertSecondButtonReturn);
    f.performer->requestUserInput("One", "1", Category::foundFile, f.answers.handler("one"));
    f.performer->requestUserInput("Two", "2", Category::applicationExistsAtDestination, f.answers.handler("two"));
    f.performer->requestUserInput("Three", "3", Category::foundApplication, f.answers.handler("three"));
    f.performer->showMessage("Message", "m", false);
    ASSERT_EQ(f.center->added.size(), 4u);
    auto one = f.center->added[0], two = f.center->added[1], three = f.center->added[2], message = f.center->added[3];
    EXPECT_EQ(f.performer->outstandingRequestCount(), 3u);

    EXPECT_TRUE(f.center->respond(two, "OVERWRITE_APPLICATION_ACTION"));
    EXPECT_TRUE(f.center->respond(one, dismissActionIdentifier));
    EXPECT_TRUE(f.center->respond(three, defaultActionIdentifier));
    EXPECT_TRUE(f.center->respond(message, defaultActionIdentifier)); // nothing to ask again
    ASSERT_TRUE(f.answers.waitFor(3));
    dispatch::MainRunLoop::drain();

    EXPECT_EQ(f.answers.count(), 3u);
    EXPECT_EQ(*f.answers.of("two")[0], UserResponse::action("OVERWRITE_APPLICATION_ACTION"));
    EXPECT_EQ(*f.answers.of("one")[0], UserResponse::dismissed());
    EXPECT_EQ(*f.answers.of("three")[0], UserResponse::action("IGNORE_FILE_ACTION"));
    auto shown = f.alerts->shown();
    ASSERT_EQ(shown.size(), 1u) << "only the question's body click asks again";
    EXPECT_EQ(shown[0].messageText, "Three");
    EXPECT_EQ(shown[0].informativeText, "3");
    EXPECT_EQ(shown[0].buttons, (std::vector<std::string> {"Copy", "Ignore"}));
    EXPECT_EQ(f.performer->outstandingRequestCount(), 0u);
    EXPECT_TRUE(f.printed.lines().empty());

    // Every later response for the same notifications finds no handler.
    EXPECT_TRUE(f.center->respond(one, dismissActionIdentifier));
    EXPECT_TRUE(f.center->respond(three, "COPY_APPLICATION_ACTION"));
    EXPECT_TRUE(f.center->respond(three, defaultActionIdentifier));
    dispatch::MainRunLoop::drain();
    EXPECT_EQ(f.answers.count(), 3u);
    EXPECT_EQ(f.alerts->shown().size(), 1u);
    EXPECT_EQ(f.printed.lines(), (std::vector<std::string> {"Not handler for identifier " + one.identifier, "Not handler for identifier " + three.identifier}));
}

TEST(UserInputRequestPerformerTest, AFailedPostFailsTheQuestionWithThatError)
{
    Fixture f;
    f.center->addError = GenericError::make("Test", 2, "refused");
    f.performer->requestUserInput("One", "1", Category::foundFile, f.answers.handler("one"));
    auto answer = f.answers.of("one");
    ASSERT_EQ(answer.size(), 1u);
    ASSERT_FALSE(answer[0].ok());
    EXPECT_EQ(answer[0].error(), f.center->addError);
    EXPECT_EQ(f.performer->outstandingRequestCount(), 0u);
}

TEST(UserInputRequestPerformerTest, PrintsToStandardOutputByDefault)
{
    auto center = std::make_shared<ScriptedNotificationCenter>();
    center->settings = status(1);
    auto performer = std::make_shared<UserInputRequestPerformer>(center, std::make_shared<ScriptedAlertPresenter>());
    ::testing::internal::CaptureStdout();
    performer->showMessage("Hidden", "", false);
    auto output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output, "Notification permissions have been denied\n");
}
