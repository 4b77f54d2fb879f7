// The performer with the real notification center, talking to a notification
// server on a private session bus.
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "Tavik/prompts/tests/PromptsTestSupport.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/TestNotificationServer.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace tavik;
using namespace tavik::prompts::testing;
using tavik::notifications::FreedesktopNotificationCenter;
using tavik::testing::TestNotificationServer;
using Category = UserInputRequestPerformer::Category;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

struct OnABus {
    explicit OnABus(std::shared_ptr<alerts::AlertPresenter> presenter = std::make_shared<ScriptedAlertPresenter>())
        : alertPresenter(std::move(presenter))
    {
        performer->registerCategories();
    }
    // Callbacks under way may hold the performer, and so the center, past the bus.
    ~OnABus() { center->disconnect(); }

    ScriptedAlertPresenter& scripted() { return static_cast<ScriptedAlertPresenter&>(*alertPresenter); }
    void ask(const std::string& question, Category category, const std::string& body = "")
    {
        performer->requestUserInput(question, body, category, recorded.handler(question));
    }
    UserResponse answer(const std::string& question) const { return recorded.of(question).at(0).value(); }
    bool waitForOutstanding(size_t count) const
    {
        return dispatch::MainRunLoop::runUntil([&] { return performer->outstandingRequestCount() == count; }, 10s);
    }

    tavik::testing::PrivateSessionBus bus;
    std::shared_ptr<FreedesktopNotificationCenter> center = std::make_shared<FreedesktopNotificationCenter>();
    std::shared_ptr<alerts::AlertPresenter> alertPresenter;
    Recorded recorded;
    std::shared_ptr<UserInputRequestPerformer> performer = std::make_shared<UserInputRequestPerformer>(center, alertPresenter, recorded.printer());
};

} // namespace

// However the server goes (it quits, or the bus itself goes away), every
// open question is answered as dismissed, once. Without a server, questions
// and errors are alerts, and messages only where they ask for it.
TEST(UserInputRequestPerformerServerTest, QuestionsOpenWhenTheServerGoesAreAnsweredAsDismissedAndLaterOnesAreAlerts)
{
    for (bool busGoes : {false, true}) {
        SCOPED_TRACE(busGoes ? "the bus goes away" : "the server quits");
        OnABus b;
        auto server = std::make_unique<TestNotificationServer>();
        b.ask("found", Category::foundFile);
        b.ask("exists", Category::applicationExistsAtDestination);
        b.ask("answered", Category::foundApplication);
        ASSERT_EQ(server->waitForPosted(3).size(), 3u);
        ASSERT_TRUE(b.waitForOutstanding(3));
        server->invokeAction(server->postedWithSummary("answered")->id, "COPY_APPLICATION_ACTION");
        ASSERT_TRUE(b.recorded.waitFor(1));

        if (busGoes)
            b.bus.kill();
        else
            server.reset();
        ASSERT_TRUE(b.recorded.waitFor(3));
        EXPECT_EQ(b.answer("found"), UserResponse::dismissed());
        EXPECT_EQ(b.answer("exists"), UserResponse::dismissed());
        EXPECT_EQ(b.answer("answered"), UserResponse::action("COPY_APPLICATION_ACTION"));
        EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);

        b.scripted().answer(alerts::alertFirstButtonReturn);
        b.ask("later", Category::foundFile);
        ASSERT_TRUE(b.recorded.waitFor(4));
        EXPECT_EQ(b.answer("later"), UserResponse::action("FIND_APPLICATIONS_ACTION"));
        b.performer->showMessage("Found a DMG file", "Searching", false);
        b.performer->showError(GenericError::make("Test", 1, "The copy failed"));
        b.performer->showMessage("Copying Example", "Application from", true);
        ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return b.scripted().shown().size() == 3; }, 10s));
        EXPECT_EQ(b.scripted().shown()[1].messageText, "The copy failed");
        EXPECT_EQ(b.scripted().shown()[2].messageText, "Copying Example");
        EXPECT_EQ(b.recorded.count(), 4u);
        EXPECT_EQ(b.recorded.lines(), Lines(4, "Notification permissions have been denied"));
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
    b.ask("Found Example.zip", Category::foundFile, "Choose how to handle Example.zip");
    auto posted = server.waitForPosted(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].body, "Choose how to handle Example.zip");
    EXPECT_EQ(posted[0].actions, (Lines {"FIND_APPLICATIONS_ACTION", "Find Applications", "IGNORE_FILE_ACTION", "Ignore", "default", ""}));
    ASSERT_TRUE(b.waitForOutstanding(1));
    ASSERT_EQ(::write(controller, "2\n", 2), 2);
    server.invokeAction(posted[0].id, "default");
    ASSERT_TRUE(b.recorded.waitFor(1));
    EXPECT_EQ(b.answer("Found Example.zip"), UserResponse::action("IGNORE_FILE_ACTION"));

    // The clicked notification is still up; dismissing it now answers nothing.
    server.closeNotification(posted[0].id, 2);
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return !b.recorded.lines().empty(); }, 10s));
    EXPECT_TRUE(b.recorded.lines()[0].starts_with("Not handler for identifier ")) << b.recorded.lines()[0];
    EXPECT_EQ(b.recorded.count(), 1u);

    fcntl(controller, F_SETFL, O_NONBLOCK);
    std::string shown(4096, '\0');
    shown.resize(std::max<ssize_t>(::read(controller, shown.data(), shown.size()), 0));
    EXPECT_NE(shown.find("Found Example.zip\nChoose how to handle Example.zip\n  1) Find Applications\n  2) Ignore\n"), std::string::npos) << shown;
    close(controller);
    close(terminal);
}

TEST(UserInputRequestPerformerServerTest, AServerThatCannotShowActionsGetsNoQuestionsAndAServerErrorFailsOnlyThatQuestion)
{
    {
        OnABus b;
        TestNotificationServer server({{"body"}});
        b.ask("Found Example.dmg", Category::foundFile); // the alert is cancelled
        ASSERT_TRUE(b.recorded.waitFor(1));
        EXPECT_EQ(b.answer("Found Example.dmg"), UserResponse::dismissed());
        EXPECT_TRUE(server.posted().empty());
    }
    OnABus b;
    TestNotificationServer server;
    server.failPostsWithSummary("Broken", "org.freedesktop.DBus.Error.LimitsExceeded", "too many notifications");
    b.ask("Broken", Category::foundFile);
    b.ask("Fine", Category::foundFile);
    ASSERT_TRUE(b.recorded.waitFor(1));
    ASSERT_EQ(server.waitForPosted(1).size(), 1u);
    ASSERT_TRUE(b.waitForOutstanding(1));
    auto broken = b.recorded.of("Broken").at(0);
    ASSERT_FALSE(broken.ok());
    EXPECT_NE(broken.error()->description().find("too many notifications"), std::string::npos);
    server.invokeAction(server.postedWithSummary("Fine")->id, "FIND_APPLICATIONS_ACTION");
    ASSERT_TRUE(b.recorded.waitFor(2));
    EXPECT_EQ(b.answer("Fine"), UserResponse::action("FIND_APPLICATIONS_ACTION"));
    EXPECT_TRUE(b.scripted().shown().empty());
}

TEST(UserInputRequestPerformerServerTest, ManyQuestionsAnsweredFromSeveralThreadsEachGetTheirOwnAnswerOnce)
{
    OnABus b;
    TestNotificationServer server;
    constexpr int count = 40;
    auto onFourThreads = [](const std::function<void(int)>& work) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int i = t; i < count; i += 4)
                    work(i);
            });
        for (auto& thread : threads)
            thread.join();
    };
    auto expected = [](int i) { return i % 3 == 0 ? UserResponse::dismissed() : UserResponse::action(i % 3 == 1 ? "COPY_APPLICATION_ACTION" : "IGNORE_FILE_ACTION"); };
    onFourThreads([&](int i) { b.ask("q" + std::to_string(i), Category::foundApplication); });
    ASSERT_EQ(server.waitForPosted(count).size(), size_t(count));
    ASSERT_TRUE(b.waitForOutstanding(count));
    onFourThreads([&](int i) {
        auto id = server.postedWithSummary("q" + std::to_string(i))->id;
        if (i % 3 != 0)
            server.invokeAction(id, expected(i).identifier());
        // Closed by the user, or expired (nobody chose): dismissed; some
        // servers send it after an action too, and it then answers nothing.
        server.closeNotification(id, i % 2 ? 2 : 1);
    });
    ASSERT_TRUE(b.recorded.waitFor(count));
    dispatch::MainRunLoop::runUntil([] { return false; }, 100ms);
    EXPECT_EQ(b.recorded.count(), size_t(count));
    for (int i = 0; i < count; ++i) {
        auto answers = b.recorded.of("q" + std::to_string(i));
        ASSERT_EQ(answers.size(), 1u) << i;
        EXPECT_EQ(answers[0].value(), expected(i)) << i;
    }
    EXPECT_EQ(b.performer->outstandingRequestCount(), 0u);
}
