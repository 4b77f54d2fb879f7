// The copy actions against the real file system and trash, with their
// questions answered through a notification server on a private bus.
#include "Tavik/file-handling/CopyApplicationActions.hpp"
#include "Tavik/file-handling/tests/CopyOpenTestSupport.hpp"
#include "actions/ActionsLog.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"

#include <algorithm>
#include <map>
#include <sys/stat.h>

using namespace tavik;
using namespace tavik::testing;
using namespace std::chrono_literals;
using options::ApplicationFoundActionOption;
using Existing = CopyApplicationAction::ExistingApplicationAction;
using Results = CopyApplicationsAction::Output;

namespace {

const log::Logger handlerLog("app.tavik.Tavik", "Installable Application Handler");

class CopyApplicationsTest : public CopyOpenTest {
protected:
    std::shared_ptr<CopyApplicationsAction> copyAction()
    {
        return std::make_shared<CopyApplicationsAction>(
            CopyApplicationAction::Destination::directory(URL::fileURL(destination, true)), configuration, handlerLog);
    }
    void setApplicationFoundAction(ApplicationFoundActionOption option)
    {
        ASSERT_TRUE(configuration->applicationFoundAction().store(option));
    }
    Results run(std::vector<InstallableApplication> items)
    {
        auto result = performInBackground(copyAction(), std::move(items)).get();
        EXPECT_TRUE(result.isMapped());
        return result.isMapped() ? *result.output() : Results {};
    }
    // The result for the item at this path.
    static const actions::FileActionResult<InstallableApplication, URL>* resultFor(const Results& results, const fs::path& item)
    {
        for (const auto& result : results)
            if (result.input.url.path() == item)
                return &result;
        return nullptr;
    }
    std::string existsBody(const std::string& name, const fs::path& target)
    {
        return "Choose how to handle copying " + name + " to " + target.string();
    }
};

std::vector<std::string> messages(const log::LogCapture& capture, std::string_view category)
{
    std::vector<std::string> found;
    for (const auto& entry : capture.entries(category))
        found.push_back(entry.message);
    return found;
}

} // namespace

TEST_F(CopyApplicationsTest, CopiesIntoAnEmptyDestinationKeepingModesLinksAndTimesWithoutAsking)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    auto bundle = makeBundle(downloads, "Example", "1");
    log::LogCapture capture;

    auto results = run({application(bundle)});

    ASSERT_EQ(results.size(), 1u);
    auto target = destination / "Example.app";
    ASSERT_TRUE(results[0].isMapped());
    EXPECT_EQ(*results[0].output(), URL::fileURL(target, true));
    EXPECT_EQ(readFile(target / "Contents/Resources/version"), "1");
    EXPECT_EQ(fs::status(target / "Contents/MacOS/Example").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(target / "Contents/Resources/version").permissions(), fs::perms(0444));
    EXPECT_EQ(fs::read_symlink(target / "Contents/Resources/Info link"), "../Info.plist");
    EXPECT_EQ(fs::last_write_time(target / "Contents/Resources/dated"), fs::last_write_time(bundle / "Contents/Resources/dated"));
    EXPECT_TRUE(fs::exists(bundle)); // copied, not moved
    EXPECT_EQ(messages(capture, "Copy Applications"),
        (std::vector<std::string> {"Copied application from " + bundle.string() + " to " + target.string()}));
    for (const auto& entry : capture.entries("Copy Applications"))
        EXPECT_EQ(entry.subsystem, actions::actionsSubsystem);
    // A plain copy is neither asked about nor announced.
    EXPECT_TRUE(postedInThisTest().empty());
}

TEST_F(CopyApplicationsTest, AskWhenMultipleFoundCopiesOneItemAtOnceAndAsksAboutEachOfTwo)
{
    setApplicationFoundAction(ApplicationFoundActionOption::askWhenMultipleFound);
    auto single = makeBundle(downloads, "Single", "1");
    auto results = run({application(single)});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(results[0].isMapped());
    EXPECT_TRUE(postedInThisTest().empty());

    auto first = makeBundle(downloads, "First", "1");
    auto second = makeBundle(downloads, "Second", "1");
    auto running = performInBackground(copyAction(), {application(first), application(second)});
    auto question1 = take("Found Application");
    auto question2 = take("Found Application");
    ASSERT_TRUE(question1 && question2);
    std::set<std::string> bodies {question1->body, question2->body};
    EXPECT_EQ(bodies, (std::set<std::string> {"Choose how to handle First", "Choose how to handle Second"}));
    EXPECT_EQ(question1->actions.at(0), "COPY_APPLICATION_ACTION");
    auto firstQuestion = question1->body.ends_with("First") ? *question1 : *question2;
    auto secondQuestion = question1->body.ends_with("First") ? *question2 : *question1;
    answer(firstQuestion, "COPY_APPLICATION_ACTION");
    dismiss(secondQuestion);
    auto result = running.get();
    ASSERT_TRUE(result.isMapped());
    ASSERT_EQ(result.output()->size(), 2u);
    EXPECT_TRUE(resultFor(*result.output(), first)->isMapped());
    EXPECT_TRUE(resultFor(*result.output(), second)->isIgnored());
    EXPECT_TRUE(fs::exists(destination / "First.app"));
    EXPECT_FALSE(fs::exists(destination / "Second.app"));
}

TEST_F(CopyApplicationsTest, OverwriteTrashesTheExistingApplicationRestorablyAndCopies)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    auto old = makeBundle(destination, "Example", "old");
    auto bundle = makeBundle(downloads, "Example", "new");
    log::LogCapture capture;

    auto running = performInBackground(copyAction(), {application(bundle)});
    auto question = take("Application exists");
    ASSERT_TRUE(question);
    EXPECT_EQ(question->body, existsBody("Example", old));
    EXPECT_EQ(question->actions.at(0), "OVERWRITE_APPLICATION_ACTION");
    EXPECT_EQ(readFile(old / "Contents/Resources/version"), "old"); // nothing happens before the answer
    answer(*question, "OVERWRITE_APPLICATION_ACTION");
    auto result = running.get();

    ASSERT_TRUE(result.isMapped());
    ASSERT_TRUE(result.output()->at(0).isMapped());
    EXPECT_EQ(*result.output()->at(0).output(), URL::fileURL(old, true));
    EXPECT_EQ(readFile(old / "Contents/Resources/version"), "new");
    bool found = false;
    for (const auto& trashed : trashedItems()) {
        if (trashed.originalPath == old.string()) {
            found = true;
            EXPECT_EQ(readFile(trashed.trashedPath / "Contents/Resources/version"), "old");
        }
    }
    EXPECT_TRUE(found) << "no trash record names " << old;
    auto message = take("Copying Example");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->body, "Application from " + downloads.string() + " is being copied to " + old.string());
    EXPECT_EQ(messages(capture, "Copy Applications"),
        (std::vector<std::string> {"Trashed application from " + old.string(),
            "Copied application from " + bundle.string() + " to " + old.string()}));
}

TEST_F(CopyApplicationsTest, RenameTakesTheFirstFreeNumber)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    makeBundle(destination, "Example", "old");
    fs::create_directory(destination / "Example 2.app");
    writeFile(destination / "Example 3.app", "a file takes the name as well");
    auto bundle = makeBundle(downloads, "Example", "new");
    log::LogCapture capture;

    auto running = performInBackground(copyAction(), {application(bundle)});
    auto question = take("Application exists");
    ASSERT_TRUE(question);
    answer(*question, "RENAME_AND_MOVE_APPLICATION_ACTION");
    auto result = running.get();

    auto renamed = destination / "Example 4.app";
    ASSERT_TRUE(result.output()->at(0).isMapped());
    EXPECT_EQ(*result.output()->at(0).output(), URL::fileURL(renamed, true));
    EXPECT_EQ(readFile(renamed / "Contents/Resources/version"), "new");
    EXPECT_EQ(readFile(destination / "Example.app/Contents/Resources/version"), "old");
    EXPECT_TRUE(fs::is_empty(destination / "Example 2.app"));
    EXPECT_EQ(messages(capture, "Copy Applications"),
        (std::vector<std::string> {"Renaming application before moving", "File exists at " + (destination / "Example 2.app").string(),
            "File exists at " + (destination / "Example 3.app").string(),
            "Copied application from " + bundle.string() + " to " + renamed.string()}));
    EXPECT_EQ(capture.entries("Copy Applications").at(1).level, log::Level::defaultLevel);
    auto message = take("Copying Example");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->body, "Application from " + downloads.string() + " is being copied to " + renamed.string());
}

// What Tavik extracted into its working folder is moved into place; an
// image's bundle, even one lying under the working folder, is copied.
TEST_F(CopyApplicationsTest, ExtractedBundlesAreMovedWithACopysResultAndImageBundlesCopied)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    auto working = folder / "working";
    auto root = InstallableApplication::Source::directory(URL::fileURL(downloads, true), FileSource::directory);
    auto zipSource = InstallableApplication::Source::zip(URL::fileURL(downloads / "Example.zip"), root);
    auto dmgSource = InstallableApplication::Source::dmg(URL::fileURL(downloads / "Image.dmg"), URL::fileURL(working / "mounts/Image", true), root);
    auto extracted = makeBundle(working, "Example", "new");
    auto onImage = makeBundle(working / "mounts/Image", "Imaged", "1");
    fs::permissions(extracted / "Contents/MacOS/Example", fs::perms(0777));
    makeBundle(destination, "Example", "old");
    auto copiedTwin = makeBundle(folder / "twin", "Example", "new");
    fs::permissions(copiedTwin / "Contents/MacOS/Example", fs::perms(0777));
    auto expected = folder / "expected.app";
    ASSERT_TRUE(FileManager().copyItem(URL::fileURL(copiedTwin, true), URL::fileURL(expected, true)).ok());
    const std::vector<std::string> names {"Contents/Resources/version", "Contents/Resources/dated", "Contents/MacOS/Example", "Contents"};
    std::map<std::string, fs::file_time_type> times;
    for (const auto& name : names)
        times[name] = fs::last_write_time(extracted / name);
    log::LogCapture capture;

    auto action = copyAction();
    action->workingFolder = URL::fileURL(working, true);
    auto running = performInBackground(action,
        {InstallableApplication {URL::fileURL(extracted, true), zipSource, InstallableApplication::Kind::application},
            InstallableApplication {URL::fileURL(onImage, true), dmgSource, InstallableApplication::Kind::application}});
    auto question = take("Application exists");
    ASSERT_TRUE(question);
    EXPECT_EQ(question->body, existsBody("Example", destination / "Example.app"));
    answer(*question, "RENAME_AND_MOVE_APPLICATION_ACTION");
    auto result = running.get();

    ASSERT_TRUE(result.isMapped());
    auto renamed = destination / "Example 2.app";
    ASSERT_TRUE(resultFor(*result.output(), extracted)->isMapped());
    EXPECT_EQ(*resultFor(*result.output(), extracted)->output(), URL::fileURL(renamed, true));
    EXPECT_FALSE(fs::exists(extracted)) << "moved, not copied";
    EXPECT_EQ(fs::status(renamed / "Contents/MacOS/Example").permissions(), fs::perms(0755));
    for (const auto& name : names) {
        EXPECT_EQ(fs::status(renamed / name).permissions(), fs::status(expected / name).permissions()) << name;
        EXPECT_EQ(fs::last_write_time(renamed / name), times[name]) << name;
    }
    EXPECT_EQ(fs::read_symlink(renamed / "Contents/Resources/Info link"), "../Info.plist");
    EXPECT_EQ(readFile(destination / "Example.app/Contents/Resources/version"), "old");

    ASSERT_TRUE(resultFor(*result.output(), onImage)->isMapped());
    EXPECT_EQ(readFile(destination / "Imaged.app/Contents/Resources/version"), "1");
    EXPECT_TRUE(fs::exists(onImage / "Contents/Resources/version")) << "an image's volume is never changed";
    auto logged = messages(capture, "Copy Applications");
    EXPECT_NE(std::find(logged.begin(), logged.end(), "Copied application from " + extracted.string() + " to " + renamed.string()), logged.end());
}

TEST_F(CopyApplicationsTest, IgnoredDismissedOrUnknownClashLeavesTheExistingApplicationAlone)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    std::vector<InstallableApplication> items;
    for (std::string name : {"Ignored", "Dismissed", "Unknown"}) {
        makeBundle(destination, name, "old");
        items.push_back(application(makeBundle(downloads, name, "new")));
    }
    log::LogCapture capture;

    auto running = performInBackground(copyAction(), items);
    for (int index = 0; index < 3; ++index) {
        auto question = take("Application exists");
        ASSERT_TRUE(question);
        if (question->body.find("Ignored") != std::string::npos)
            answer(*question, "IGNORE_FILE_ACTION");
        else if (question->body.find("Dismissed") != std::string::npos)
            dismiss(*question);
        else
            answer(*question, "NO_SUCH_ACTION");
    }
    auto result = running.get();

    ASSERT_EQ(result.output()->size(), 3u);
    for (const auto& item : *result.output())
        EXPECT_TRUE(item.isIgnored()) << item.input.url.path();
    for (std::string name : {"Ignored", "Dismissed", "Unknown"})
        EXPECT_EQ(readFile(destination / (name + ".app") / "Contents/Resources/version"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(destination), fs::directory_iterator()), 3);
    EXPECT_TRUE(capture.contains(log::Level::error, "Unknown identifier: NO_SUCH_ACTION"));
}

TEST_F(CopyApplicationsTest, AFailedCopyFailsOnlyItsItemAndEndsTheNumbering)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    auto good = makeBundle(downloads, "Good", "1");
    auto gone = downloads / "Gone.app"; // found, then removed before the copy
    makeBundle(destination, "Clashing", "old");
    auto clashingGone = downloads / "Clashing.app";
    log::LogCapture capture;

    auto running = performInBackground(copyAction(), {application(good), application(gone), application(clashingGone)});
    auto question = take("Application exists");
    ASSERT_TRUE(question);
    answer(*question, "RENAME_AND_MOVE_APPLICATION_ACTION");
    auto result = running.get();

    ASSERT_EQ(result.output()->size(), 3u);
    EXPECT_TRUE(resultFor(*result.output(), good)->isMapped());
    auto failed = resultFor(*result.output(), gone);
    ASSERT_TRUE(failed->isFailure());
    EXPECT_TRUE(capture.contains(log::Level::error,
        "Failed to copy application from " + gone.string() + " to " + (destination / "Gone.app").string() + ": "
            + failed->error()->description()));
    auto renameFailed = resultFor(*result.output(), clashingGone);
    ASSERT_TRUE(renameFailed->isFailure());
    EXPECT_TRUE(isFileError(renameFailed->error(), FileError::Code::fileReadNoSuchFile)
        || isFileError(renameFailed->error(), FileError::Code::fileNoSuchFile))
        << renameFailed->error()->description();
    EXPECT_FALSE(fs::exists(destination / "Clashing 2.app"));
    EXPECT_FALSE(fs::exists(destination / "Gone.app"));
}

TEST_F(CopyApplicationsTest, APackageIsReportedWithItsOwnURLAndNotCopied)
{
    setApplicationFoundAction(ApplicationFoundActionOption::copyToDestination);
    auto installer = downloads / "Example.pkg";
    writeFile(installer, "xar!");
    auto results = run({package(installer)});
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].isMapped());
    EXPECT_EQ(*results[0].output(), URL::fileURL(installer, false));
    EXPECT_TRUE(fs::is_empty(destination));
}

TEST_F(CopyOpenTest, SingleCopyGoesExactlyToAPathDestinationAndAsksItsHandlerOnAClash)
{
    auto bundle = makeBundle(downloads, "Example", "new");
    auto target = destination / "Renamed.app";
    int asked = 0;
    CopyApplicationAction copy(
        CopyApplicationAction::Destination::path(URL::fileURL(target, true)),
        [&](const InstallableApplication& item, const URL& clash, auto answer) {
            ++asked;
            EXPECT_EQ(item.url.path(), bundle);
            EXPECT_EQ(clash.path(), target);
            answer(Existing::renameNewApplication);
        },
        FileManager::defaultManager(), actions::actionsLog("Copy Applications"));
    std::vector<actions::FileActionResult<InstallableApplication, URL>> results;
    auto collect = [&](auto result) { results.push_back(std::move(result)); };

    copy.perform(application(bundle), collect);
    copy.perform(application(bundle), collect);

    EXPECT_EQ(asked, 1);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(*results[0].output(), URL::fileURL(target, true));
    EXPECT_EQ(*results[1].output(), URL::fileURL(destination / "Renamed 2.app", true));
    EXPECT_EQ(readFile(destination / "Renamed 2.app/Contents/Resources/version"), "new");
}

// Copies racing for the same numbered name each end with a name of their own.
TEST_F(CopyOpenTest, ConcurrentRenamesEachGetTheirOwnNumber)
{
    auto bundle = makeBundle(downloads, "Example", "new");
    makeBundle(destination, "Example", "old");
    CopyApplicationAction copy(
        CopyApplicationAction::Destination::directory(URL::fileURL(destination, true)),
        [](const InstallableApplication&, const URL&, auto answer) { answer(Existing::renameNewApplication); },
        FileManager::defaultManager(), actions::actionsLog("Copy Applications"));
    std::vector<std::future<actions::FileActionResult<InstallableApplication, URL>>> copies;
    for (int index = 0; index < 4; ++index) {
        copies.push_back(std::async(std::launch::async, [&] {
            std::optional<actions::FileActionResult<InstallableApplication, URL>> result;
            copy.perform(application(bundle), [&](auto r) { result = std::move(r); });
            return std::move(result).value();
        }));
    }
    std::set<fs::path> copied;
    for (auto& future : copies) {
        auto result = future.get();
        ASSERT_TRUE(result.isMapped()) << result.error()->description();
        copied.insert(result.output()->path());
    }
    EXPECT_EQ(copied, (std::set<fs::path> {destination / "Example 2.app", destination / "Example 3.app", destination / "Example 4.app", destination / "Example 5.app"}));
    for (const auto& path : copied)
        EXPECT_EQ(readFile(path / "Contents/Resources/version"), "new");
}

TEST(CopyApplicationActionTest, NamesOfRenamedCopiesAndTheCopyingTitle)
{
    auto target = URL::fileURL("/Applications/Example.app", true);
    EXPECT_EQ(CopyApplicationAction::renamedURL(target, 2), URL::fileURL("/Applications/Example 2.app", true));
    EXPECT_EQ(CopyApplicationAction::renamedURL(target, 11), URL::fileURL("/Applications/Example 11.app", true));
    EXPECT_EQ(CopyApplicationAction::renamedURL(URL::fileURL("/Applications/Tool", false), 3),
        URL::fileURL("/Applications/Tool 3", false));
    EXPECT_EQ(CopyApplicationAction::renamedURL(URL::fileURL("/Applications/My.Tool.app", true), 2),
        URL::fileURL("/Applications/My.Tool 2.app", true));

    auto source = InstallableApplication::Source::directory(URL::fileURL("/Downloads", true), FileSource::directory);
    auto titleOf = [&](const char* path) {
        return CopyApplicationAction::copyingTitle({URL::fileURL(path, true), source, InstallableApplication::Kind::application});
    };
    EXPECT_EQ(titleOf("/Downloads/Example.app"), "Copying Example");
    // Only a real ".app" is taken off the name.
    EXPECT_EQ(titleOf("/Downloads/Example"), "Copying Example");
    EXPECT_EQ(titleOf("/Downloads/Tool.bundle"), "Copying Tool.bundle");
}
