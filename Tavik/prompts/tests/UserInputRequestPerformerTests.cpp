// The performer's logic against a scripted notification center: the category
// table, the delivery decision and the alert fallback. Routing of responses
// is tested against a real notification server.
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "Tavik/prompts/tests/PromptsTestSupport.hpp"
#include "platform/foundation/UUID.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::notifications;
using namespace tavik::prompts::testing;
using Category = UserInputRequestPerformer::Category;
using Lines = std::vector<std::string>;

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
};

struct Fixture {
    explicit Fixture(NotificationSettings settings = {AuthorizationStatus::authorized, NotificationSetting::enabled}, bool granted = true)
    {
        center->settings = settings;
        center->granted = granted;
        performer->registerCategories();
    }
    std::shared_ptr<ScriptedNotificationCenter> center = std::make_shared<ScriptedNotificationCenter>();
    std::shared_ptr<ScriptedAlertPresenter> alerts = std::make_shared<ScriptedAlertPresenter>();
    Recorded recorded;
    std::shared_ptr<UserInputRequestPerformer> performer = std::make_shared<UserInputRequestPerformer>(center, alerts, recorded.printer());
};

NotificationSettings status(int value, NotificationSetting alert = NotificationSetting::enabled)
{
    return {static_cast<AuthorizationStatus>(value), alert};
}

} // namespace

// The identifiers are what the notification server hands back; the titles are the buttons shown.
TEST(UserInputRequestPerformerTest, RegistersTheSevenCategoriesAndBecomesTheDelegate)
{
    Fixture f;
    EXPECT_EQ(f.center->delegate.lock(), f.performer);
    Lines described;
    for (const auto& category : f.center->categories) {
        described.push_back(category.identifier + (category.options & CategoryOption::customDismissAction ? " +dismiss:" : ":"));
        for (const auto& action : category.actions)
            described.back() += " " + action.identifier + "=" + action.title + (action.options ? "!" : "");
    }
    EXPECT_EQ(described, (Lines {"ACTIONLESS_MESSAGE:", "ERROR_OCCURRED:", "FOUND_FILE +dismiss: FIND_APPLICATIONS_ACTION=Find Applications IGNORE_FILE_ACTION=Ignore", "FOUND_FILE_WITHOUT_IGNORE +dismiss: FIND_APPLICATIONS_ACTION=Find Applications", "FOUND_APPLICATION +dismiss: COPY_APPLICATION_ACTION=Copy IGNORE_FILE_ACTION=Ignore", "APPLICATION_EXISTS_AT_DESTINATION +dismiss: OVERWRITE_APPLICATION_ACTION=Overwrite RENAME_AND_MOVE_APPLICATION_ACTION=Rename and Copy IGNORE_FILE_ACTION=Ignore", "APPLICATION_COPIED +dismiss: OPEN_APPLICATION_ACTION=Open IGNORE_FILE_ACTION=Ignore"}));
}

TEST(UserInputRequestPerformerTest, AQuestionIsPostedOrAskedByAlertAsTheSettingsDecide)
{
    const struct {
        NotificationSettings settings;
        bool granted;
        ErrorPtr authorizationError;
        bool posted;
        Lines lines;
    } cases[] = {
        {status(2), true, nullptr, true, {}},
        {status(2, NotificationSetting::disabled), true, nullptr, false, {}},
        {status(1), true, nullptr, false, {"Notification permissions have been denied"}},
        {status(7), true, nullptr, false, {"Unknown authorization status: 7"}},
        {status(0), true, nullptr, true, {}},
        {status(3), false, nullptr, false, {}},
        {status(0), false, GenericError::make("Test", 1, "the service is away"), false, {"Error requesting user notification permissions: the service is away"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.settings.authorizationStatus) << (c.granted ? " granted" : ""));
        Fixture f(c.settings, c.granted);
        f.center->authorizationError = c.authorizationError;
        f.alerts->answer(alerts::alertFirstButtonReturn);
        f.performer->requestUserInput("Found Example.dmg", "Choose how to handle Example.dmg", Category::foundFile, f.recorded.handler("q"));
        dispatch::MainRunLoop::drain();

        int statusValue = static_cast<int>(c.settings.authorizationStatus);
        EXPECT_EQ(f.center->authorizationRequests, statusValue == 0 || statusValue == 3 ? 1 : 0);
        EXPECT_EQ(f.recorded.lines(), c.lines);
        EXPECT_EQ(f.center->added.size(), c.posted ? 1u : 0u);
        EXPECT_EQ(f.performer->outstandingRequestCount(), c.posted ? 1u : 0u);
        if (c.posted) {
            EXPECT_EQ(f.center->added[0].content.categoryIdentifier, "FOUND_FILE");
            EXPECT_TRUE(UUID::fromString(f.center->added[0].identifier)) << f.center->added[0].identifier;
            EXPECT_TRUE(f.alerts->shown().empty());
            EXPECT_EQ(f.recorded.count(), 0u);
        } else {
            ASSERT_EQ(f.alerts->shown().size(), 1u);
            EXPECT_EQ(f.alerts->shown()[0].messageText, "Found Example.dmg");
            EXPECT_EQ(f.alerts->shown()[0].informativeText, "Choose how to handle Example.dmg");
            EXPECT_EQ(f.alerts->shown()[0].buttons, (Lines {"Find Applications", "Ignore"}));
            EXPECT_EQ(f.alerts->offMainQueue(), 0);
            ASSERT_EQ(f.recorded.of("q").size(), 1u);
            EXPECT_EQ(f.recorded.of("q")[0].value(), UserResponse::action("FIND_APPLICATIONS_ACTION"));
        }
    }
}

TEST(UserInputRequestPerformerTest, MessagesAndErrorsFallBackToAlertsOnlyWhereTheyShould)
{
    const std::string denied = "Notification permissions have been denied";
    const struct {
        NotificationSettings settings;
        bool granted;
        bool fallBackToAlert;
        bool posted; // else the error is an alert
        bool messageAlert;
        Lines lines; // for the message and then the error
    } cases[] = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.settings.authorizationStatus) << (c.fallBackToAlert ? " falling back" : ""));
        Fixture f(c.settings, c.granted);
        f.performer->showMessage("Found a DMG file", "Searching for applications in /tmp/Example.dmg", c.fallBackToAlert);
        f.performer->showError(error);
        dispatch::MainRunLoop::drain();

        EXPECT_EQ(f.recorded.lines(), c.lines);
        EXPECT_EQ(f.performer->outstandingRequestCount(), 0u);
        Lines posts, alertsShown;
        for (const auto& request : f.center->added)
            posts.push_back(request.content.categoryIdentifier + ":" + request.content.title + ":" + request.content.body);
        for (const auto& alert : f.alerts->shown())
            alertsShown.push_back(alert.messageText + ":" + alert.informativeText + ":" + std::to_string(alert.buttons.size()));
        EXPECT_EQ(posts, c.posted ? (Lines {"ACTIONLESS_MESSAGE:Found a DMG file:Searching for applications in /tmp/Example.dmg", "ERROR_OCCURRED:Error Occurred:Example.dmg could not be attached"}) : Lines {});
        Lines expectedAlerts;
        if (c.messageAlert)
            expectedAlerts.push_back("Found a DMG file:Searching for applications in /tmp/Example.dmg:0");
        if (!c.posted)
            expectedAlerts.push_back("Example.dmg could not be attached:The image is damaged:0");
        EXPECT_EQ(alertsShown, expectedAlerts);
        EXPECT_EQ(f.alerts->offMainQueue(), 0);
    }
}

TEST(UserInputRequestPerformerTest, TheAlertFallbackMapsButtonsToTheCategoryActionsInOrder)
{
    Fixture f(status(2, NotificationSetting::disabled));
    const struct {
        Category category;
        alerts::ModalResponse answer;
        std::optional<UserResponse> expected; // none: an unknown response
    } cases[] = {
        {Category::applicationExistsAtDestination, alerts::alertSecondButtonReturn, UserResponse::action("RENAME_AND_MOVE_APPLICATION_ACTION")},
        {Category::applicationCopied, alerts::modalResponseCancel, UserResponse::dismissed()},
        {Category::foundFileWithoutIgnore, 1005, std::nullopt},
        {Category::foundFileWithoutIgnore, alerts::alertFirstButtonReturn, UserResponse::action("FIND_APPLICATIONS_ACTION")},
        {Category::foundApplication, alerts::alertSecondButtonReturn, UserResponse::action("IGNORE_FILE_ACTION")},
        {Category::foundFile, alerts::alertThirdButtonReturn, std::nullopt}, // beyond the two actions
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        f.alerts->answer(cases[i].answer);
        f.performer->requestUserInput("Question", "Body", cases[i].category, f.recorded.handler(std::to_string(i)));
    }
    ASSERT_TRUE(f.recorded.waitFor(std::size(cases)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        auto answer = f.recorded.of(std::to_string(i)).at(0);
        if (cases[i].expected) {
            EXPECT_EQ(answer.value(), *cases[i].expected);
            continue;
        }
        auto alertError = answer.ok() ? nullptr : std::dynamic_pointer_cast<const AlertError>(answer.error());
        ASSERT_NE(alertError, nullptr);
        EXPECT_EQ(alertError->errorCase(), AlertError::unknownResponse);
        EXPECT_EQ(alertError->response(), cases[i].answer);
    }
    EXPECT_EQ(f.alerts->shown()[0].buttons, (Lines {"Overwrite", "Rename and Copy", "Ignore"}));
    EXPECT_EQ(f.alerts->shown()[2].buttons, (Lines {"Find Applications"}));
    EXPECT_EQ(f.recorded.lines(), (Lines {"Unknown modal response: 1005", "Unknown modal response: 1002"}));
}

TEST(UserInputRequestPerformerTest, PrintsToStandardOutputByDefault)
{
    auto center = std::make_shared<ScriptedNotificationCenter>();
    center->settings = status(1);
    auto performer = std::make_shared<UserInputRequestPerformer>(center, std::make_shared<ScriptedAlertPresenter>());
    ::testing::internal::CaptureStdout();
    performer->showMessage("Hidden", "", false);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Notification permissions have been denied\n");
}
