// The performer with the real notification center, talking to a notification
// server on a private session bus.
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "Tavik/prompts/tests/PromptsTestSupport.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/TestNotificationServer.hpp"
#include "platform/testing/PrivateSessionBus.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace tavik;
using namespace tavik::prompts::testing;
using tavik::notifications::FreedesktopNotificationCenter;
using tavik::testing::PrivateSessionBus;
using tavik::testing::TestNotificationServer;
using Category = UserInputRequestPerformer::Category;
using namespace std::chrono_literals;

namespace {

struct OnABus {
    explicit OnABus(std::shared_ptr<alerts::AlertPresenter> presenter = std::make_shared<ScriptedAlertPresenter>())
        : alertPresenter(std::move(presenter))
        , performer(std::make_shared<UserInputRequestPerformer>(center, alertPresenter, printed.printer()))
    {
        performer->registerCategories();
    }
    // Callbacks under way may hold the performer, and so the center, past the bus.
    ~OnABus() { center->disconnect(); }

    ScriptedAlertPresenter& scripted() { return static_cast<ScriptedAlertPresenter&>(*alertPresenter); }

    PrivateSessionBus bus;
    std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
    std::shared_ptr<alerts::AlertPresenter> alertPresenter;
    PrintedLines printed;
    std::shared_ptr<UserInputRequestPerformer> performer;
    Answers answers;
};

bool waitForOutstanding(const UserInputRequestPerformer& performer, size_t count)
{
    return dispatch::MainRunLoop::runUntil([&] { return performer.outstandingRequestCount() == count; }, 10s);
}

} // namespace

TEST(UserInputRequestPerformerServerTest, AQuestionIsPostedWithItsTitleBodyAndActionLabels)
{
    OnABus b;
    TestNotificationServer server;
    b.performer->requestUserInput("Example.app already exists", "Choose how to handle Example.app at /Applications",
        Category::applicationExistsAtDestination, b.answers.handler("q"));
    auto posted = server.waitForPosted(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].summary, "Example.app already exists");
    EXPECT_EQ(posted[0].body, "Choose how to handle Example.app at /Applications");
    EXPECT_EQ(posted[0].actions, (std::vector<std::string> {"OVERWRITE_APPLICATION_ACTION", "Overwrite", "RENAME_AND_MOVE_APPLICATION_ACTION", "Rename and Copy", "IGNORE_FILE_ACTION", "Ignore", "default", ""}));
    EXPECT_TRUE(b.printed.lines().empty());
    EXPECT_EQ(b.answers.count(), 0u);
}

TEST(UserInputRequestPerformerServerTest, EveryAnswerReachesItsOwnQuestionOnceWithSeveralOutstanding)
{
    OnABus b;
    TestNotificationServer server;
    b.scripted().answer(alerts::alertSecondButtonReturn); // the alert after the body click
    struct Question {
        std::string name;
        Category category;
    };
    std::vector<Question> questions {{"found", Category::foundFile}, {"dropped", Category::foundFileWithoutIgnore},
        {"application", Category::foundApplication}, {"exists", Category::applicationExistsAtDestination},
        {"copied", Category::applicationCopied}};
    std::vector<std::thread> askers;
    for (const auto& q : questions)
        askers.emplace_back([&, q] { b.performer->requestUserInput(q.name, "Body of " + q.name, q.category, b.answers.handler(q.name)); });
    for (auto& asker : askers)
        asker.join();
    b.performer->showMessage("message", "Searching", false);
    ASSERT_EQ(server.waitForPosted(6).size(), 6u);
    ASSERT_TRUE(waitForOutstanding(*b.performer, 5));
    auto id = [&](const std::string& summary) { return server.postedWithSummary(summary)->id; };

    server.invokeAction(id("copied"), "OPEN_APPLICATION_ACTION");
    server.closeNotification(id("dropped"), 2);
    server.invokeAction(id("exists"), "default");
    server.invokeAction(id("message"), "default");
    server.invokeAction(id("found"), "IGNORE_FILE_ACTION");
    server.closeNotification(id("application"), 1); // expired: nobody chose, so dismissed
    ASSERT_TRUE(b.answers.waitFor(5));
    dispatch::MainRunLoop::runUntil([] { return false; }, 100ms);

    EXPECT_EQ(b.answers.count(), 5u);
    EXPECT_EQ(b.answers.of("copied").at(0).value(), UserResponse::action("OPEN_APPLICATION_ACTION"));
    EXPECT_EQ(b.answers.of("dropped").at(0).value(), UserResponse::dismissed());
    EXPECT_EQ(b.answers.of("exists").at(0).value(), UserResponse::action("RENAME_AND_MOVE_APPLICATION_ACTION"));
    EXPECT_EQ(b.answers.of("found").at(0).value(), UserResponse::action("IGNORE_FILE_ACTION"));
    EXPECT_EQ(b.answers.of("application").at(0).value(), UserResponse::dismissed());
    auto shown = b.scripted().shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "exists");
    EXPECT_EQ(shown[0].informativeText, "Body of exists");
    EXPECT_EQ(shown[0].buttons, (std::vector<std::string> {"Overwrite", "Rename and Copy", "Ignore"}));
    EXPECT_EQ(b.scripted().offMainQueue(), 0);
    EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);

    // The clicked notification is still up; dismissing it now answers nothing.
    server.closeNotification(id("exists"), 2);
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return !b.printed.lines().empty(); }, 10s));
    auto lines = b.printed.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "Not handler for identifier ";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    EXPECT_TRUE(UUID::fromString(lines[0].substr(prefix.size()))) << lines[0];
    EXPECT_EQ(b.answers.count(), 5u);
}

// However the server goes (it quits, or the bus itself goes away), every
// open question is answered as dismissed, once; later questions are asked by
// alert while there is no server.
TEST(UserInputRequestPerformerServerTest, QuestionsOpenWhenTheServerGoesAreAnsweredAsDismissed)
{
    for (bool busGoes : {false, true}) {
        SCOPED_TRACE(busGoes ? "the bus goes away" : "the server quits");
        OnABus b;
        auto server = std::make_unique<TestNotificationServer>();
        b.performer->requestUserInput("found", "", Category::foundFile, b.answers.handler("found"));
        b.performer->requestUserInput("exists", "", Category::applicationExistsAtDestination, b.answers.handler("exists"));
        b.performer->requestUserInput("answered", "", Category::foundApplication, b.answers.handler("answered"));
        ASSERT_EQ(server->waitForPosted(3).size(), 3u);
        ASSERT_TRUE(waitForOutstanding(*b.performer, 3));
        server->invokeAction(server->postedWithSummary("answered")->id, "COPY_APPLICATION_ACTION");
        ASSERT_TRUE(b.answers.waitFor(1));

        if (busGoes)
            b.bus.kill();
        else
            server.reset();
        ASSERT_TRUE(b.answers.waitFor(3));
        EXPECT_EQ(b.answers.of("found").at(0).value(), UserResponse::dismissed());
        EXPECT_EQ(b.answers.of("exists").at(0).value(), UserResponse::dismissed());
        EXPECT_EQ(b.answers.of("answered").at(0).value(), UserResponse::action("COPY_APPLICATION_ACTION"));
        EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);

        b.scripted().answer(alerts::alertFirstButtonReturn);
        b.performer->requestUserInput("later", "", Category::foundFile, b.answers.handler("later"));
        ASSERT_TRUE(b.answers.waitFor(4));
        EXPECT_EQ(b.answers.of("later").at(0).value(), UserResponse::action("FIND_APPLICATIONS_ACTION"));
        EXPECT_EQ(b.answers.count(), 4u);
        EXPECT_EQ(b.printed.lines(), std::vector<std::string> {"Notification permissions have been denied"});
        server.reset(); // before the bus in the fixture goes
    }
}

TEST(UserInputRequestPerformerServerTest, ABodyClickAsksOnTheTerminalAndRoutesTheAnswer)
{
    int controller = -1, terminal = -1;
    termios settings {};
    cfmakeraw(&settings);
    settings.c_lflag |= ICANON;
    ASSERT_EQ(openpty(&controller, &terminal, nullptr, &settings, nullptr), 0);
    OnABus b(std::make_shared<alerts::TerminalAlertPresenter>(terminal, terminal));
    TestNotificationServer server;
    b.performer->requestUserInput("Found Example.zip", "Choose how to handle Example.zip", Category::foundFile, b.answers.handler("q"));
    ASSERT_EQ(server.waitForPosted(1).size(), 1u);
    ASSERT_TRUE(waitForOutstanding(*b.performer, 1));
    ASSERT_EQ(::write(controller, "2\n", 2), 2);
    server.invokeAction(server.posted()[0].id, "default");
    ASSERT_TRUE(b.answers.waitFor(1));
    EXPECT_EQ(b.answers.of("q").at(0).value(), UserResponse::action("IGNORE_FILE_ACTION"));

    fcntl(controller, F_SETFL, O_NONBLOCK);
    std::string shown(4096, '\0');
    auto got = ::read(controller, shown.data(), shown.size());
    shown.resize(got > 0 ? static_cast<size_t>(got) : 0);
    EXPECT_NE(shown.find("Found Example.zip\nChoose how to handle Example.zip\n  1) Find Applications\n  2) Ignore\n"),
        std::string::npos)
        << shown;
    close(controller);
    close(terminal);
}

TEST(UserInputRequestPerformerServerTest, WithoutAServerQuestionsAndErrorsAreAlertsAndMessagesAreDropped)
{
    OnABus b;
    b.scripted().answer(alerts::alertFirstButtonReturn);
    b.performer->requestUserInput("Found Example.dmg", "Search it?", Category::foundFile, b.answers.handler("q"));
    ASSERT_TRUE(b.answers.waitFor(1));
    EXPECT_EQ(b.answers.of("q").at(0).value(), UserResponse::action("FIND_APPLICATIONS_ACTION"));

    b.performer->showMessage("Found a DMG file", "Searching", false);
    b.performer->showError(GenericError::make("Test", 1, "The copy failed"));
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return b.scripted().shown().size() == 2; }, 10s));
    b.performer->showMessage("Copying Example", "Application from", true);
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return b.scripted().shown().size() == 3; }, 10s));

    auto shown = b.scripted().shown();
    EXPECT_EQ(shown[0].messageText, "Found Example.dmg");
    EXPECT_EQ(shown[1].messageText, "The copy failed");
    EXPECT_EQ(shown[2].messageText, "Copying Example");
    EXPECT_EQ(b.printed.lines(), std::vector<std::string>(4, "Notification permissions have been denied"));
    EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);
}

TEST(UserInputRequestPerformerServerTest, AServerThatCannotShowActionsGetsNoQuestions)
{
    OnABus b;
    TestNotificationServer server({{"body"}});
    b.scripted().answer(alerts::modalResponseCancel);
    b.performer->requestUserInput("Found Example.dmg", "Search it?", Category::foundFile, b.answers.handler("q"));
    ASSERT_TRUE(b.answers.waitFor(1));
    EXPECT_EQ(b.answers.of("q").at(0).value(), UserResponse::dismissed());
    EXPECT_TRUE(server.posted().empty());
}

TEST(UserInputRequestPerformerServerTest, AServerErrorFailsOnlyThatQuestion)
{
    OnABus b;
    TestNotificationServer server;
    server.failPostsWithSummary("Broken", "org.freedesktop.DBus.Error.LimitsExceeded", "too many notifications");
    b.performer->requestUserInput("Broken", "b", Category::foundFile, b.answers.handler("broken"));
    b.performer->requestUserInput("Fine", "f", Category::foundFile, b.answers.handler("fine"));
    ASSERT_TRUE(b.answers.waitFor(1));
    ASSERT_EQ(server.waitForPosted(1).size(), 1u);
    ASSERT_TRUE(waitForOutstanding(*b.performer, 1));
    auto broken = b.answers.of("broken");
    ASSERT_EQ(broken.size(), 1u);
    ASSERT_FALSE(broken[0].ok());
    EXPECT_NE(broken[0].error()->description().find("too many notifications"), std::string::npos);

    server.invokeAction(server.postedWithSummary("Fine")->id, "FIND_APPLICATIONS_ACTION");
    ASSERT_TRUE(b.answers.waitFor(2));
    EXPECT_EQ(b.answers.of("fine").at(0).value(), UserResponse::action("FIND_APPLICATIONS_ACTION"));
    EXPECT_TRUE(b.scripted().shown().empty());
}

TEST(UserInputRequestPerformerServerTest, ManyQuestionsAnsweredFromSeveralThreadsEachGetTheirOwnAnswerOnce)
{
    OnABus b;
    TestNotificationServer server;
    constexpr int count = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < count; i += 4)
                b.performer->requestUserInput("q" + std::to_string(i), "", Category::foundApplication, b.answers.handler("q" + std::to_string(i)));
        });
    for (auto& thread : threads)
        thread.join();
    threads.clear();
    ASSERT_EQ(server.waitForPosted(count).size(), static_cast<size_t>(count));
    ASSERT_TRUE(waitForOutstanding(*b.performer, count));
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < count; i += 4) {
                auto id = server.postedWithSummary("q" + std::to_string(i))->id;
                if (i % 3 == 0)
                    server.closeNotification(id, 2);
                else
                    server.invokeAction(id, i % 3 == 1 ? "COPY_APPLICATION_ACTION" : "IGNORE_FILE_ACTION");
                server.closeNotification(id, 2); // what some servers send after an action
            }
        });
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(b.answers.waitFor(count));
    dispatch::MainRunLoop::runUntil([] { return false; }, 100ms);
    EXPECT_EQ(b.answers.count(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto answers = b.answers.of("q" + std::to_string(i));
        ASSERT_EQ(answers.size(), 1u) << i;
        auto expected = i % 3 == 0 ? UserResponse::dismissed()
                                   : UserResponse::action(i % 3 == 1 ? "COPY_APPLICATION_ACTION" : "IGNORE_FILE_ACTION");
        EXPECT_EQ(answers[0].value(), expected) << i;
    }
    EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);
}
