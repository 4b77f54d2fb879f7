// The copy and open actions on real files, trash and workspace; a private bus's notification server asks.
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/file-handling/CopyApplicationActions.hpp"
#include "Tavik/file-handling/OpenApplicationActions.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "actions/ActionsLog.hpp"
#include "actions/tests/TestActions.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/Bundles.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "platform/testing/TestNotificationServer.hpp"
#include "platform/workspace/WorkspaceError.hpp"

#include <future>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace tavik;
using namespace tavik::testing;
using namespace std::chrono_literals;
using options::ApplicationCopiedActionOption;
using options::ApplicationFoundActionOption;
using Existing = CopyApplicationAction::ExistingApplicationAction;
using CopyResult = actions::FileActionResult<InstallableApplication, URL>;
namespace fs = std::filesystem;

namespace {

// What the process's shared objects read once: the home (the trash's), the defaults and the bus.
struct SharedEnvironment : ::testing::Environment {
    void SetUp() override
    {
        home.emplace("tavik-copy-open-home");
        for (auto [name, folder] : {std::pair {"HOME", ""}, {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "config"}}) setenv(name, (home->path() / folder).c_str(), 1);
        bus = std::make_unique<PrivateSessionBus>();
        server = std::make_unique<TestNotificationServer>();
        // As at start-up: the shared performer becomes the center's delegate.
        UserInputRequestPerformer::shared()->registerCategories();
    }
    void TearDown() override
    {
        static_cast<notifications::FreedesktopNotificationCenter&>(*notifications::FreedesktopNotificationCenter::current()).disconnect();
        server.reset();
        bus.reset();
        home.reset();
    }
    std::optional<ScratchFolder> home;
    std::unique_ptr<PrivateSessionBus> bus;
    std::unique_ptr<TestNotificationServer> server;
};
auto* const shared = static_cast<SharedEnvironment*>(::testing::AddGlobalTestEnvironment(new SharedEnvironment));

// Performs on a thread of its own, as the file handler does: questions block it.
template <class Action>
auto inBackground(std::shared_ptr<Action> action, typename Action::Input input)
{
    return std::async(std::launch::async, [action, input] { return performed(*action, input); });
}

const log::Logger handlerLog("app.tavik.Tavik", "Installable Application Handler");

class CopyOpenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(downloads);
        fs::create_directories(destination);
        ASSERT_TRUE(configuration->applicationFoundAction().store(ApplicationFoundActionOption::copyToDestination));
        firstPosted_ = shared->server->posted().size();
    }

    // A bundle with a read-only file, a link and a dated file, which writes "ran" to the marker.
    fs::path makeBundle(const fs::path& parent, const std::string& name, const std::string& version, const std::optional<fs::path>& marker = std::nullopt)
    {
        auto script = marker ? "#!/bin/sh\necho ran > '" + marker->string() + ".part' && mv '" + marker->string() + ".part' '" + marker->string() + "'\n" : std::string("#!/bin/sh\n");
        auto bundle = tavik::testing::makeBundle(parent / (name + ".app"), {.version = version, .script = script});
        writeFile(bundle / "Contents/Resources/version", version);
        chmod((bundle / "Contents/Resources/version").c_str(), 0444);
        fs::create_symlink("../Info.plist", bundle / "Contents/Resources/Info link");
        writeFile(bundle / "Contents/Resources/dated", "old");
        fs::last_write_time(bundle / "Contents/Resources/dated", fs::file_time_type::clock::now() - 240h);
        return bundle;
    }
    InstallableApplication item(const fs::path& path, InstallableApplication::Kind kind = InstallableApplication::Kind::application) const
    {
        return {URL::fileURL(path, kind == InstallableApplication::Kind::application), InstallableApplication::Source::directory(URL::fileURL(downloads, true), FileSource::directory), kind};
    }
    std::shared_ptr<CopyApplicationsAction> copyAction() const
    {
        return std::make_shared<CopyApplicationsAction>(CopyApplicationAction::Destination::directory(URL::fileURL(destination, true)), configuration, handlerLog);
    }
    std::shared_ptr<OpenApplicationsAction> openAction(ApplicationCopiedActionOption option, std::vector<InstallableApplication> found) const
    {
        EXPECT_TRUE(configuration->applicationCopiedAction().store(option));
        return std::make_shared<OpenApplicationsAction>(configuration, std::move(found), handlerLog);
    }
    static std::optional<CopyResult> resultFor(const CopyApplicationsAction::Output& results, const fs::path& path)
    {
        for (const auto& result : results)
            if (result.input.url.path() == path) return result;
        ADD_FAILURE() << "no result for " << path;
        return std::nullopt;
    }
    // One copy whose clashes `decide` settles, unasked.
    using Decide = std::function<Existing(const InstallableApplication& clashing, const URL& clash)>;
    static CopyApplicationAction copyDeciding(const fs::path& destination, bool isPath, Decide decide)
    {
        auto url = URL::fileURL(destination, true);
        return {isPath ? CopyApplicationAction::Destination::path(url) : CopyApplicationAction::Destination::directory(url),
            [decide](const InstallableApplication& clashing, const URL& clash, auto answer) { answer(decide(clashing, clash)); }, FileManager::defaultManager(), actions::actionsLog("Copy Applications")};
    }

    ScratchFolder folder {"test", shared->home->path()};
    fs::path downloads = folder / "Downloads";
    fs::path destination = folder / "Applications";
    fs::path marker = folder / "ran";
    std::shared_ptr<FileSourceConfigurationsManager> configurations = FileSourceConfigurationsManager::make(defaults::UserDefaults::suite("app.tavik.Tavik.test-" + UUID().uuidString()));
    FileSourceConfigurationPtr configuration = configurations->fileSourceConfigurations().at(0);
    log::LogCapture logs;

    // The next post with this title this test has not taken yet; nothing when none came in time.
    std::optional<TestNotificationServer::Posted> take(const std::string& summary)
    {
        std::optional<TestNotificationServer::Posted> found;
        eventually([&] {
            auto posted = shared->server->posted();
            for (size_t index = firstPosted_; index < posted.size(); ++index)
                if (posted[index].summary == summary && taken_.insert(posted[index].id).second) return found.emplace(posted[index]), true;
            return false;
        });
        return found;
    }
    bool nothingPosted() const { return shared->server->posted().size() == firstPosted_; }
    void answer(const std::optional<TestNotificationServer::Posted>& question, const std::string& action)
    {
        ASSERT_TRUE(question) << "no question to answer with " << action;
        if (action == "dismiss")
            shared->server->closeNotification(question->id, 2);
        else
            shared->server->invokeAction(question->id, action);
    }

private:
    size_t firstPosted_ = 0;
    std::set<uint32_t> taken_;
};

TEST_F(CopyOpenTest, CopiesIntoAFreeDestinationUnaskedUnlessSeveralWereFoundAndReportsPackagesInPlace)
{
    auto bundle = makeBundle(downloads, "Example", "1");
    writeFile(downloads / "Example.pkg", "xar!");
    auto results = outputOf(performed(*copyAction(), {item(bundle), item(downloads / "Example.pkg", InstallableApplication::Kind::package)})).value();

    auto target = destination / "Example.app";
    EXPECT_EQ(outputOf(resultFor(results, bundle)), URL::fileURL(target, true));
    EXPECT_EQ(describeTree(target), describeTree(bundle));
    EXPECT_EQ(fs::last_write_time(target / "Contents/Resources/dated"), fs::last_write_time(bundle / "Contents/Resources/dated"));
    EXPECT_TRUE(fs::exists(bundle)) << "copied, not moved";
    EXPECT_EQ(outputOf(resultFor(results, downloads / "Example.pkg")), URL::fileURL(downloads / "Example.pkg", false));
    EXPECT_EQ(namesIn(destination), std::vector<std::string> {"Example.app"});
    EXPECT_TRUE(nothingPosted()) << "a plain copy is neither asked about nor announced";

    // Asked when several were found: one item is copied at once, each of two is asked about.
    ASSERT_TRUE(configuration->applicationFoundAction().store(ApplicationFoundActionOption::askWhenMultipleFound));
    EXPECT_TRUE(outputOf(performed(*copyAction(), {item(makeBundle(downloads, "Single", "1"))})).value().at(0).isMapped());
    EXPECT_TRUE(nothingPosted());
    auto first = makeBundle(downloads, "First", "1"), second = makeBundle(downloads, "Second", "1");
    auto running = inBackground(copyAction(), {item(first), item(second)});
    auto one = take("Found Application"), other = take("Found Application");
    ASSERT_TRUE(one && other);
    EXPECT_EQ((std::set<std::string> {one->body, other->body}), (std::set<std::string> {"Choose how to handle First", "Choose how to handle Second"}));
    EXPECT_EQ(one->actions.at(0), "COPY_APPLICATION_ACTION");
    if (one->body.ends_with("Second")) std::swap(one, other);
    answer(one, "COPY_APPLICATION_ACTION");
    answer(other, "dismiss");
    auto answered = outputOf(running.get()).value();
    EXPECT_TRUE(resultFor(answered, first)->isMapped());
    EXPECT_TRUE(resultFor(answered, second)->isIgnored());
    EXPECT_TRUE(fs::exists(destination / "First.app"));
    EXPECT_FALSE(fs::exists(destination / "Second.app"));
}

// Overwrite trashes and copies; rename takes the first free number; other answers leave it alone.
TEST_F(CopyOpenTest, EachAnswerToAClashDecidesWhatHappensToTheExistingApplication)
{
    const std::map<std::string, std::string> answers {{"Overwritten", "OVERWRITE_APPLICATION_ACTION"}, {"Renamed", "RENAME_AND_MOVE_APPLICATION_ACTION"}, {"Ignored", "IGNORE_FILE_ACTION"}, {"Dismissed", "dismiss"}, {"Unknown", "NO_SUCH_ACTION"}};
    std::vector<InstallableApplication> items;
    for (const auto& [name, action] : answers) {
        makeBundle(destination, name, "old");
        items.push_back(item(makeBundle(downloads, name, "new")));
    }
    fs::create_directory(destination / "Renamed 2.app");
    writeFile(destination / "Renamed 3.app", "a file takes the name as well");
    auto running = inBackground(copyAction(), items);
    for (size_t index = 0; index < answers.size(); ++index) {
        auto question = take("Application exists");
        ASSERT_TRUE(question);
        auto name = question->body.substr(question->body.find("copying ") + 8);
        name = name.substr(0, name.find(' '));
        EXPECT_EQ(question->body, "Choose how to handle copying " + name + " to " + (destination / (name + ".app")).string());
        EXPECT_EQ(question->actions.at(0), "OVERWRITE_APPLICATION_ACTION");
        EXPECT_EQ(readFile(destination / (name + ".app/Contents/Resources/version")), "old") << "nothing happens before the answer";
        answer(question, answers.at(name));
    }
    auto results = outputOf(running.get()).value();

    auto overwritten = destination / "Overwritten.app", renamed = destination / "Renamed 4.app";
    EXPECT_EQ(outputOf(resultFor(results, downloads / "Overwritten.app")), URL::fileURL(overwritten, true));
    EXPECT_EQ(outputOf(resultFor(results, downloads / "Renamed.app")), URL::fileURL(renamed, true));
    for (const auto& [copy, version] : {std::pair {overwritten, "new"}, {renamed, "new"}, {destination / "Renamed.app", "old"}, {destination / "Ignored.app", "old"}, {destination / "Dismissed.app", "old"}, {destination / "Unknown.app", "old"}})
        EXPECT_EQ(readFile(copy / "Contents/Resources/version"), version) << copy;
    for (const char* name : {"Ignored", "Dismissed", "Unknown"}) EXPECT_TRUE(resultFor(results, downloads / (std::string(name) + ".app"))->isIgnored()) << name;
    EXPECT_TRUE(fs::is_empty(destination / "Renamed 2.app"));
    EXPECT_EQ(namesIn(destination).size(), 8u);
    for (const auto& [name, copy] : {std::pair {"Overwritten", overwritten}, {"Renamed", renamed}}) {
        auto message = take(std::string("Copying ") + name);
        ASSERT_TRUE(message) << name;
        EXPECT_EQ(message->body, "Application from " + downloads.string() + " is being copied to " + copy.string());
    }

    // The old copy went to the trash, not away.
    EXPECT_EQ(readFile(shared->home->path() / "data/Trash/files/Overwritten.app/Contents/Resources/version"), "old");
}

// What was extracted into the working folder is moved; an image's bundle, even under it, is copied.
TEST_F(CopyOpenTest, ExtractedBundlesAreMovedWithACopysResultAndImageBundlesCopied)
{
    auto working = folder / "working";
    auto root = InstallableApplication::Source::directory(URL::fileURL(downloads, true), FileSource::directory);
    auto extracted = makeBundle(working, "Example", "new");
    auto onImage = makeBundle(working / "mounts/Image", "Imaged", "1");
    fs::permissions(extracted / "Contents/MacOS/Example", fs::perms(0777));
    makeBundle(destination, "Example", "old");
    ASSERT_TRUE(FileManager().copyItem(URL::fileURL(extracted, true), URL::fileURL(folder / "expected.app", true)).ok());
    const std::vector<std::string> names {"Contents/Resources/version", "Contents/Resources/dated", "Contents/MacOS/Example", "Contents"};
    std::map<std::string, fs::file_time_type> times;
    for (const auto& name : names) times[name] = fs::last_write_time(extracted / name);

    auto action = copyAction();
    action->workingFolder = URL::fileURL(working, true);
    auto running = inBackground(action, {InstallableApplication {URL::fileURL(extracted, true), InstallableApplication::Source::zip(URL::fileURL(downloads / "Example.zip"), root), InstallableApplication::Kind::application}, InstallableApplication {URL::fileURL(onImage, true), InstallableApplication::Source::dmg(URL::fileURL(downloads / "Image.dmg"), URL::fileURL(working / "mounts/Image", true), root), InstallableApplication::Kind::application}});
    answer(take("Application exists"), "RENAME_AND_MOVE_APPLICATION_ACTION");
    auto results = outputOf(running.get()).value();

    auto renamed = destination / "Example 2.app";
    EXPECT_EQ(outputOf(resultFor(results, extracted)), URL::fileURL(renamed, true));
    EXPECT_FALSE(fs::exists(extracted)) << "moved, not copied";
    EXPECT_EQ(fs::status(renamed / "Contents/MacOS/Example").permissions(), fs::perms(0755));
    EXPECT_EQ(describeTree(renamed), describeTree(folder / "expected.app"));
    for (const auto& name : names) EXPECT_EQ(fs::last_write_time(renamed / name), times[name]) << name;
    EXPECT_EQ(readFile(destination / "Example.app/Contents/Resources/version"), "old");
    EXPECT_TRUE(resultFor(results, onImage)->isMapped());
    EXPECT_EQ(readFile(destination / "Imaged.app/Contents/Resources/version"), "1");
    EXPECT_TRUE(fs::exists(onImage / "Contents/Resources/version")) << "an image's volume is never changed";
}

TEST_F(CopyOpenTest, ACopyGoesExactlyToAPathDestinationAndRenamedCopiesTakeTheFirstFreeNumberEvenWhenRacingOrFailing)
{
    auto bundle = makeBundle(downloads, "Example", "new");
    auto target = destination / "Renamed.app";
    int asked = 0;
    auto copy = copyDeciding(target, true, [&](const InstallableApplication& clashing, const URL& clash) {
        ++asked;
        EXPECT_EQ(clashing.url.path(), bundle);
        EXPECT_EQ(clash.path(), target);
        return Existing::renameNewApplication;
    });
    EXPECT_EQ(outputOf(performed(copy, item(bundle))), URL::fileURL(target, true));
    EXPECT_EQ(outputOf(performed(copy, item(bundle))), URL::fileURL(destination / "Renamed 2.app", true));
    EXPECT_EQ(asked, 1);

    // Copies racing for the same numbered name each end with a name of their own.
    makeBundle(destination, "Example", "old");
    auto racing = copyDeciding(destination, false, [](auto&, auto&) { return Existing::renameNewApplication; });
    std::vector<std::future<std::optional<CopyResult>>> copies;
    for (int index = 0; index < 4; ++index) copies.push_back(std::async(std::launch::async, [&] { return performed(racing, item(bundle)); }));
    std::set<fs::path> copied;
    for (auto& future : copies) {
        auto result = future.get();
        auto copy = outputOf(result).value_or(URL::fileURL("/", true)).path();
        copied.insert(copy);
        EXPECT_EQ(readFile(copy / "Contents/Resources/version"), "new");
    }
    EXPECT_EQ(copied, (std::set<fs::path> {destination / "Example 2.app", destination / "Example 3.app", destination / "Example 4.app", destination / "Example 5.app"}));

    // A copy whose source went after it was found fails and ends the numbering.
    makeBundle(destination, "Gone", "old");
    auto error = performed(racing, item(downloads / "Gone.app"))->error();
    EXPECT_TRUE(isFileError(error, FileError::Code::fileReadNoSuchFile) || isFileError(error, FileError::Code::fileNoSuchFile)) << (error ? error->description() : "no error");
    EXPECT_FALSE(fs::exists(destination / "Gone 2.app"));
}

TEST_F(CopyOpenTest, OpeningIsAskedAboutWhenSeveralWereFoundOrAlwaysAndOnlyAnOpenAnswerOpens)
{
    auto bundle = makeBundle(destination, "Example", "1", marker);
    // Two were found, one was copied: still asked.
    auto running = inBackground(openAction(ApplicationCopiedActionOption::askWhenMultipleCopied, {item(bundle), item(downloads / "Other.app")}), {URL::fileURL(bundle, true)});
    auto question = take("Copied Application");
    ASSERT_TRUE(question);
    EXPECT_EQ(question->body, "Choose how to handle Example");
    EXPECT_EQ(question->actions.at(0), "OPEN_APPLICATION_ACTION");
    EXPECT_FALSE(fs::exists(marker));
    answer(question, "OPEN_APPLICATION_ACTION");
    EXPECT_TRUE(outputOf(running.get()).value().at(0).isMapped());
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));

    // One found: opened at once (perform would still wait had it asked).
    fs::remove(marker);
    EXPECT_TRUE(outputOf(performed(*openAction(ApplicationCopiedActionOption::askWhenMultipleCopied, {item(bundle)}), {URL::fileURL(bundle, true)})).value().at(0).isMapped());
    EXPECT_TRUE(eventually([&] { return fs::exists(marker); }));

    // Always asked: nothing is opened unless told.
    fs::remove(marker);
    auto url = URL::fileURL(bundle, true);
    auto opens = logs.entries("Open Application").size();
    running = inBackground(openAction(ApplicationCopiedActionOption::alwaysAsk, {}), {url, url, url});
    for (const char* action : {"IGNORE_FILE_ACTION", "dismiss", "MYSTERY_ACTION"}) answer(take("Copied Application"), action);
    auto results = outputOf(running.get()).value();
    ASSERT_EQ(results.size(), 3u);
    for (const auto& result : results) EXPECT_TRUE(result.isIgnored());
    EXPECT_EQ(logs.entries("Open Application").size(), opens);
    EXPECT_TRUE(logs.contains(log::Level::error, "Unknown identifier: MYSTERY_ACTION"));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fs::exists(marker));
}

// Answers every open with what the test put in.
struct ScriptedWorkspace final : Workspace {
    void openApplication(const URL&, const OpenConfiguration& configuration, OpenCompletion completion) override
    {
        EXPECT_TRUE(configuration.arguments.empty());
        completion(application, error);
    }
    RunningApplicationPtr application;
    ErrorPtr error;
};

// A bundle that cannot run fails with the workspace's error; one that ended
// already was opened; no answer at all is an error of its own. Copies, opens
// and their failures are logged under the actions subsystem.
TEST_F(CopyOpenTest, CopyAndOpenOutcomesBecomeResultsAndAreLoggedUnderTheActionsSubsystem)
{
    auto bundle = makeBundle(downloads, "Example", "new");
    auto old = makeBundle(destination, "Example", "old");
    auto copy = copyDeciding(destination, false, [](auto&, auto&) { return Existing::trashExistingApplication; });
    performed(copy, item(bundle));
    auto failed = performed(copy, item(downloads / "Gone.app"));

    auto opened = makeBundle(destination, "Opened", "1");
    performed(*openAction(ApplicationCopiedActionOption::openApp, {}), {URL::fileURL(opened, true)});
    fs::create_directories(destination / "Broken.app/Contents/MacOS");
    auto result = performed(*openAction(ApplicationCopiedActionOption::openApp, {}), {URL::fileURL(destination / "Broken.app", true)});
    auto* error = dynamic_cast<const OpenApplicationAction::Error*>(result->output()->at(0).error().get());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCode(), OpenApplicationAction::Error::Code::openError);
    EXPECT_TRUE(isWorkspaceError(error->underlyingError(), WorkspaceError::Code::infoPlistMissing));
    EXPECT_EQ(error->description(), error->underlyingError()->description());

    auto workspace = std::make_shared<ScriptedWorkspace>();
    OpenApplicationAction open(workspace, actions::actionsLog("Open Application"));
    auto url = URL::fileURL("/Applications/Example.app", true);
    workspace->application = std::make_shared<RunningApplication>(url, 4242, RunningApplication::Clock::now());
    workspace->application->markTerminated(0);
    EXPECT_EQ(outputOf(performed(open, url)), workspace->application);
    workspace->application = nullptr;
    EXPECT_EQ(performed(open, url)->error()->description(), "The system returned an invalid result");

    const std::tuple<std::string, log::Level, std::string> expected[] = {
        {"Copy Applications", log::Level::info, "Trashed application from " + old.string()},
        {"Copy Applications", log::Level::info, "Copied application from " + bundle.string() + " to " + old.string()},
        {"Copy Applications", log::Level::error, "Failed to copy application from " + (downloads / "Gone.app").string() + " to " + (destination / "Gone.app").string() + ": " + failed->error()->description()},
        {"Open Application", log::Level::info, "Attempting to open application at " + opened.string()},
        {"Open Application", log::Level::error, "Failed to open application at " + (destination / "Broken.app").string() + ": " + error->description()},
        {"Open Application", log::Level::error, "Failed to open application at /Applications/Example.app: No error"},
    };
    auto entries = logs.entries();
    for (const auto& [category, level, prefix] : expected) {
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const log::Entry& entry) {
            return entry.subsystem == actions::actionsSubsystem && entry.category == category && entry.level == level && entry.message.starts_with(prefix);
        })) << prefix;
    }
}

} // namespace
