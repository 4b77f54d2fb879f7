// The open actions: the real workspace running real bundles, the questions
// answered through a notification server on a private bus, and a scripted
// workspace for the answers the real one cannot be made to give.
#include "Tavik/file-handling/OpenApplicationActions.hpp"
#include "Tavik/file-handling/tests/CopyOpenTestSupport.hpp"
#include "actions/ActionsLog.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/workspace/WorkspaceError.hpp"

#include <thread>

using namespace tavik;
using namespace tavik::testing;
using namespace std::chrono_literals;
using options::ApplicationCopiedActionOption;
using OpenResult = actions::FileActionResult<URL, RunningApplicationPtr>;

namespace {

const log::Logger handlerLog("app.tavik.Tavik", "Installable Application Handler");

bool waitForFile(const fs::path& path)
{
    for (int i = 0; i < 1000 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(10ms);
    return fs::exists(path);
}

class OpenApplicationsTest : public CopyOpenTest {
protected:
    std::shared_ptr<OpenApplicationsAction> openAction(std::vector<InstallableApplication> found)
    {
        return std::make_shared<OpenApplicationsAction>(configuration, std::move(found), handlerLog);
    }
    void setApplicationCopiedAction(ApplicationCopiedActionOption option)
    {
        ASSERT_TRUE(configuration->applicationCopiedAction().store(option));
    }
};

// Answers every open with what the test put in.
class ScriptedWorkspace final : public Workspace {
public:
    void openApplication(const URL& url, const OpenConfiguration& configuration, OpenCompletion completion) override
    {
        opened.push_back(url);
        EXPECT_TRUE(configuration.arguments.empty());
        completion(application, error);
    }
    RunningApplicationPtr application;
    ErrorPtr error;
    std::vector<URL> opened;
};

} // namespace

TEST_F(OpenApplicationsTest, OpenAppRunsTheCopiedApplicationWithoutAsking)
{
    setApplicationCopiedAction(ApplicationCopiedActionOption::openApp);
    auto marker = folder / "ran";
    auto bundle = makeBundle(destination, "Example", "1", marker);
    auto url = URL::fileURL(bundle, true);
    log::LogCapture capture;

    auto result = performInBackground(openAction({application(bundle), application(bundle)}), {url}).get();

    ASSERT_TRUE(result.isMapped());
    ASSERT_EQ(result.output()->size(), 1u);
    const auto& opened = result.output()->at(0);
    ASSERT_TRUE(opened.isMapped()) << opened.error()->description();
    EXPECT_EQ((*opened.output())->url(), url);
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(readFile(marker), "ran\n");
    EXPECT_TRUE(postedInThisTest().empty());
    auto entries = capture.entries("Open Application");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].subsystem, actions::actionsSubsystem);
    EXPECT_EQ(entries[0].level, log::Level::info);
    EXPECT_EQ(entries[0].message, "Attempting to open application at " + bundle.string());
    EXPECT_EQ(entries[1].level, log::Level::debug);
    EXPECT_EQ(entries[1].message, "Opened application at " + bundle.string());
}

TEST_F(OpenApplicationsTest, AskWhenMultipleCopiedCountsTheFoundApplications)
{
    setApplicationCopiedAction(ApplicationCopiedActionOption::askWhenMultipleCopied);
    auto marker = folder / "ran";
    auto bundle = makeBundle(destination, "Example", "1", marker);
    auto url = URL::fileURL(bundle, true);

    // Two were found, one was copied: still asked.
    auto running = performInBackground(openAction({application(bundle), application(downloads / "Other.app")}), {url});
    auto question = take("Copied Application");
    ASSERT_TRUE(question);
    EXPECT_EQ(question->body, "Choose how to handle Example");
    EXPECT_EQ(question->actions.at(0), "OPEN_APPLICATION_ACTION");
    EXPECT_FALSE(fs::exists(marker));
    answer(*question, "OPEN_APPLICATION_ACTION");
    auto result = running.get();
    ASSERT_TRUE(result.output()->at(0).isMapped());
    ASSERT_TRUE(waitForFile(marker));

    // One found: opened at once.
    fs::remove(marker);
    result = performInBackground(openAction({application(bundle)}), {url}).get();
    ASSERT_TRUE(result.output()->at(0).isMapped());
    ASSERT_TRUE(waitForFile(marker)); // perform would still wait for an answer had it asked
}

TEST_F(OpenApplicationsTest, AlwaysAskOpensNothingUnlessTold)
{
    setApplicationCopiedAction(ApplicationCopiedActionOption::alwaysAsk);
    auto marker = folder / "ran";
    auto bundle = makeBundle(destination, "Example", "1", marker);
    auto url = URL::fileURL(bundle, true);
    auto action = openAction({application(bundle)});
    log::LogCapture capture;

    auto running = performInBackground(action, {url, url, url});
    std::vector<Posted> questions;
    for (int index = 0; index < 3; ++index) {
        auto question = take("Copied Application");
        ASSERT_TRUE(question);
        questions.push_back(*question);
    }
    answer(questions[0], "IGNORE_FILE_ACTION");
    dismiss(questions[1]);
    answer(questions[2], "MYSTERY_ACTION");
    auto result = running.get();

    ASSERT_EQ(result.output()->size(), 3u);
    for (const auto& item : *result.output())
        EXPECT_TRUE(item.isIgnored());
    EXPECT_TRUE(capture.contains(log::Level::error, "Unknown identifier: MYSTERY_ACTION"));
    EXPECT_TRUE(capture.entries("Open Application").empty());
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(marker));
}

TEST_F(OpenApplicationsTest, ABundleThatCannotRunFailsWithTheWorkspaceError)
{
    setApplicationCopiedAction(ApplicationCopiedActionOption::openApp);
    auto broken = destination / "Broken.app";
    fs::create_directories(broken / "Contents/MacOS");
    log::LogCapture capture;

    auto result = performInBackground(openAction({}), {URL::fileURL(broken, true)}).get();

    const auto& item = result.output()->at(0);
    ASSERT_TRUE(item.isFailure());
    auto* error = dynamic_cast<const OpenApplicationAction::Error*>(item.error().get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCode(), OpenApplicationAction::Error::Code::openError);
    EXPECT_TRUE(isWorkspaceError(error->underlyingError(), WorkspaceError::Code::infoPlistMissing));
    EXPECT_EQ(error->description(), error->underlyingError()->description());
    EXPECT_TRUE(capture.contains(log::Level::error,
        "Failed to open application at " + broken.string() + ": " + error->underlyingError()->description()));
}

TEST(OpenApplicationActionTest, WorkspaceAnswersBecomeResults)
{
    auto workspace = std::make_shared<ScriptedWorkspace>();
    OpenApplicationAction open(workspace, actions::actionsLog("Open Application"));
    auto url = URL::fileURL("/Applications/Example.app", true);
    auto perform = [&] {
        std::optional<OpenResult> result;
        open.perform(url, [&](OpenResult r) { result = std::move(r); });
        return std::move(result).value();
    };
    log::LogCapture capture;

    // Ended already, but it was launched: opened.
    workspace->application = std::make_shared<RunningApplication>(url, 4242, RunningApplication::Clock::now());
    workspace->application->markTerminated(0);
    auto ended = perform();
    ASSERT_TRUE(ended.isMapped());
    EXPECT_EQ(*ended.output(), workspace->application);
    EXPECT_EQ(workspace->opened, std::vector<URL> {url});

    workspace->application = nullptr;
    workspace->error = GenericError::make("app.tavik.Workspace", 7, "The program could not be started");
    auto failed = perform();
    ASSERT_TRUE(failed.isFailure());
    auto* error = dynamic_cast<const OpenApplicationAction::Error*>(failed.error().get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCode(), OpenApplicationAction::Error::Code::openError);
    EXPECT_EQ(error->underlyingError(), workspace->error);
    EXPECT_EQ(error->description(), "The program could not be started");
    EXPECT_TRUE(capture.contains(log::Level::error,
        "Failed to open application at /Applications/Example.app: The program could not be started"));

    workspace->error = nullptr;
    auto invalid = perform();
    ASSERT_TRUE(invalid.isFailure());
    EXPECT_EQ(invalid.error()->description(), "The system returned an invalid result");
    EXPECT_TRUE(capture.contains(log::Level::error, "Failed to open application at /Applications/Example.app: No error"));
}
