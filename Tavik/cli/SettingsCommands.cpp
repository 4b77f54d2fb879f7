#include "Tavik/cli/SettingsCommands.hpp"

#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/configuration/InitialSetup.hpp"
#include "options/Options.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <type_traits>

namespace tavik::cli {

namespace {

namespace fs = std::filesystem;
using namespace tavik::options;
using Configuration = FileSourceConfiguration;
using Status = FileSourceConfiguration::Status;

template <class T>
T check(Result<T> result)
{
    if (!result)
        throw CommandFailure(result.error()->description());
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

// The folder an argument names, as an absolute path; refused unless it is
// an existing folder.
URL existingFolder(const std::string& argument, const std::string& what)
{
    if (argument.empty())
        throw BadInput(fmt::format("the {} is an empty path", what));
    std::error_code error;
    auto path = fs::absolute(argument, error);
    if (error)
        throw BadInput(fmt::format("{} {}: {}", what, argument, error.message()));
    auto status = fs::status(path, error);
    if (!fs::exists(status))
        throw BadInput(fmt::format("{} {} does not exist", what, path.lexically_normal().string()));
    if (!fs::is_directory(status))
        throw BadInput(fmt::format("{} {} is not a folder", what, path.lexically_normal().string()));
    return URL::fileURL(path, true);
}

const char* statusName(Status status)
{
    switch (status) {
    case Status::available:
        return "available";
    case Status::partiallyAvailable:
        return "partiallyAvailable";
    case Status::unavailable:
        return "unavailable";
    case Status::notDetermined:
        return "notDetermined";
    }
    return "notDetermined";
}

// Keeps a field on its line: tabs and line breaks in a name become \t, \n, \r.
std::string escaped(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\t': result += "\\t"; break;
        case '\n': result += "\\n"; break;
        case '\r': result += "\\r"; break;
        default: result += c;
        }
    }
    return result;
}

std::string destinationPath(const Configuration& configuration, const ApplicationsDestinationManager& destinations)
{
    auto uuid = configuration.destinationBookmarkUUID().currentValue();
    if (!uuid)
        return "-";
    auto destination = destinations.destination(*uuid);
    if (!destination)
        return "-";
    auto url = destination->url();
    return url ? escaped(url->path().string()) : "-";
}

// The ids of the stored records, read without making the manager (which
// writes the two icon sources when there are none): so a command with an
// unknown id is refused before anything is written.
std::vector<std::string> storedSourceIDs()
{
    std::vector<std::string> ids;
    auto stored = defaults::UserDefaults::standard()->object(FileSourceConfigurationsManager::configurationsKey);
    if (const auto* records = stored ? stored->array() : nullptr) {
        for (const auto& record : *records) {
            const auto* id = record.find(Configuration::idKey);
            if (id && id->string())
                ids.push_back(*id->string());
        }
    }
    if (ids.empty())
        ids = {Configuration::SpecialIdentifier::appIcon, Configuration::SpecialIdentifier::statusBarIcon};
    return ids;
}

FileSourceConfigurationPtr requireSource(const std::string& id)
{
    auto ids = storedSourceIDs();
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
        for (auto& configuration : FileSourceConfigurationsManager::shared()->fileSourceConfigurations()) {
            if (configuration->id() == id)
                return configuration;
        }
    }
    throw BadInput(fmt::format("no file source has the id \"{}\" (see tavik sources list)", id));
}

template <class Option>
Option optionValue(const std::string& key, const std::string& value)
{
    if (auto option = Option::fromRawValue(value))
        return *option;
    std::string values;
    for (const auto& option : Option::allCases())
        values += (values.empty() ? "" : ", ") + option.rawValue();
    throw BadInput(fmt::format("\"{}\" is not a value of {} ({})", value, key, values));
}

void list()
{
    auto configurations = FileSourceConfigurationsManager::shared();
    const auto& destinations = ApplicationsDestinationManager::shared();
    for (auto& configuration : configurations->fileSourceConfigurations()) {
        configuration->updateConfigurationErrors(*destinations);
        auto status = computeStatus(configuration->fileFoundAction().currentValue(), configuration->configurationErrors());
        fmt::print("{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\n", escaped(configuration->id()),
            escaped(configuration->displayName().currentValue()), configuration->fileFoundAction().currentValue().rawValue(),
            configuration->applicationFoundAction().currentValue().rawValue(),
            configuration->applicationCopiedAction().currentValue().rawValue(),
            configuration->allApplicationsHandled().currentValue().rawValue(), destinationPath(*configuration, *destinations),
            statusName(status));
    }
}

void add(const std::string& folderArgument, const std::optional<std::string>& destinationArgument)
{
    auto folder = existingFolder(folderArgument, "folder");
    std::optional<URL> destinationFolder;
    if (destinationArgument)
        destinationFolder = existingFolder(*destinationArgument, "destination folder");

    auto configurations = FileSourceConfigurationsManager::shared();
    auto wanted = folder.resolvingSymlinksInPath().path();
    for (auto& configuration : configurations->fileSourceConfigurations()) {
        auto watched = configuration->fileSource() == FileSource::directory ? configuration->watchDirectoryURL() : std::nullopt;
        if (watched && watched->resolvingSymlinksInPath().path() == wanted)
            throw BadInput(fmt::format("{} is already watched by the file source {}", folder.path().string(), configuration->id()));
    }
    std::optional<UUID> destinationUUID;
    if (destinationFolder)
        destinationUUID = check(ApplicationsDestinationManager::shared()->destination(*destinationFolder))->uuid();
    auto added = check(configurations->addFolder(folder, destinationUUID));
    fmt::print("{}\n", added->id());
}

void remove(const std::string& id)
{
    if (id == Configuration::SpecialIdentifier::appIcon || id == Configuration::SpecialIdentifier::statusBarIcon)
        throw BadInput(fmt::format("the source \"{}\" cannot be removed; only watched folders can", id));
    requireSource(id);
    check(FileSourceConfigurationsManager::shared()->removeConfigurations(
        [&](const Configuration& configuration) { return configuration.id() == id; }));
}

void set(const std::string& id, const std::string& key, const std::string& value)
{
    // The value is checked before anything is read or written.
    std::function<Result<void>(const Configuration&)> change;
    if (key == Configuration::fileFoundActionKey) {
        auto option = optionValue<FileFoundActionOption>(key, value);
        change = [option](const Configuration& configuration) { return configuration.fileFoundAction().store(option); };
    } else if (key == Configuration::applicationFoundActionKey) {
        auto option = optionValue<ApplicationFoundActionOption>(key, value);
        change = [option](const Configuration& configuration) { return configuration.applicationFoundAction().store(option); };
    } else if (key == Configuration::applicationCopiedActionKey) {
        auto option = optionValue<ApplicationCopiedActionOption>(key, value);
        change = [option](const Configuration& configuration) { return configuration.applicationCopiedAction().store(option); };
    } else if (key == Configuration::allApplicationsHandledActionKey) {
        auto option = optionValue<AllApplicationsHandledAction>(key, value);
        change = [option](const Configuration& configuration) { return configuration.allApplicationsHandled().store(option); };
    } else if (key == "Destination") {
        auto folder = existingFolder(value, "destination folder");
        change = [folder](const Configuration& configuration) -> Result<void> {
            auto destination = TAVIK_TRY(ApplicationsDestinationManager::shared()->destination(folder));
            return configuration.destinationBookmarkUUID().store(destination->uuid());
        };
    } else {
        throw BadInput(fmt::format("\"{}\" is not a key (FileFoundAction, ApplicationFoundAction, "
                                   "ApplicationCopiedAction, AllApplicationsHandledAction or Destination)",
            key));
    }
    auto configuration = requireSource(id);
    check(change(*configuration));
}

void setup(const std::optional<std::string>& destinationArgument, const std::optional<std::string>& watchArgument,
    bool status)
{
    if (status) {
        if (destinationArgument || watchArgument)
            throw BadInput("setup --status takes no other options");
        fmt::print("{}\n", check(AppPreferences::hasRunInitialSetup().fetchOrDefault()) ? "done" : "not done");
        return;
    }
    if (!destinationArgument)
        throw BadInput("setup needs --destination DIR");
    auto destination = existingFolder(*destinationArgument, "destination folder");
    std::optional<URL> watch;
    if (watchArgument)
        watch = existingFolder(*watchArgument, "folder to watch");

    InitialSetup initialSetup;
    check(initialSetup.destinationChosen(destination));
    if (watch)
        check(initialSetup.watchFolderChosen(*watch));
    check(initialSetup.finish());
}

// The arguments of the commands, kept alive as long as the app.
struct Arguments {
    std::optional<std::string> setupDestination;
    std::optional<std::string> setupWatch;
    bool setupStatus = false;
    std::string addFolder;
    std::optional<std::string> addDestination;
    std::string removeID;
    std::string setID;
    std::string setKey;
    std::string setValue;
};

} // namespace

int runCommand(const std::function<void()>& body)
{
    try {
        body();
        return exitSuccess;
    } catch (const BadInput& error) {
        std::fflush(stdout);
        fmt::print(stderr, "tavik: {}\n", error.what());
        return exitBadInput;
    } catch (const CommandFailure& error) {
        std::fflush(stdout);
        fmt::print(stderr, "tavik: {}\n", error.what());
        return exitFailure;
    }
}

void addSettingsCommands(CLI::App& app, int& status)
{
    auto arguments = std::make_shared<Arguments>();
    auto run = [&status](std::function<void()> body) { return [&status, body] { status = runCommand(body); }; };

    auto* setupCommand = app.add_subcommand("setup", "Do the first-run setup: the destination and a folder to watch.");
    setupCommand->add_option("--destination", arguments->setupDestination, "Folder to copy found applications to")
        ->type_name("DIR");
    setupCommand->add_option("--watch", arguments->setupWatch, "Folder to watch for downloads")->type_name("DIR");
    setupCommand->add_flag("--status", arguments->setupStatus,
        "Print \"done\" when the setup has been done, else \"not done\"; change nothing");
    setupCommand->callback(run([arguments] { setup(arguments->setupDestination, arguments->setupWatch, arguments->setupStatus); }));

    auto* sources = app.add_subcommand("sources", "Show and change the file sources: the watched folders and the two icons.");
    sources->require_subcommand(1);

    auto* listCommand = sources->add_subcommand("list",
        "Print one tab-separated line per source: id, name, FileFoundAction, ApplicationFoundAction, "
        "ApplicationCopiedAction, AllApplicationsHandledAction, destination folder (or -), status.");
    listCommand->callback(run([] { list(); }));

    auto* addCommand = sources->add_subcommand("add", "Watch a folder; prints the new source's id.");
    addCommand->add_option("DIR", arguments->addFolder, "Folder to watch")->required();
    addCommand->add_option("--destination", arguments->addDestination, "Folder to copy its applications to")
        ->type_name("DIR");
    addCommand->callback(run([arguments] { add(arguments->addFolder, arguments->addDestination); }));

    auto* removeCommand = sources->add_subcommand("remove", "Stop watching a folder and forget its source.");
    removeCommand->add_option("ID", arguments->removeID, "The source's id")->required();
    removeCommand->callback(run([arguments] { remove(arguments->removeID); }));

    auto* setCommand = sources->add_subcommand("set", "Change one setting of a source.");
    setCommand->add_option("ID", arguments->setID, "The source's id")->required();
    setCommand->add_option("KEY", arguments->setKey,
                  "FileFoundAction, ApplicationFoundAction, ApplicationCopiedAction, AllApplicationsHandledAction or "
                  "Destination")
        ->required();
    setCommand->add_option("VALUE", arguments->setValue, "A value of the key, or a folder for Destination")->required();
    setCommand->callback(run([arguments] { set(arguments->setID, arguments->setKey, arguments->setValue); }));
}

std::string settingsCommandsHelp()
{
    auto values = [](const auto& cases) {
        std::string joined;
        for (const auto& option : cases)
            joined += (joined.empty() ? "" : ", ") + option.rawValue();
        return joined;
    };
    return fmt::format(R"(Settings (stored in $XDG_CONFIG_HOME/tavik/app.tavik.Tavik.plist; no session bus needed):
  tavik setup --destination DIR [--watch DIR]
                       first-run setup: DIR becomes the destination of every
                       source without one; --watch adds a watched folder (or
                       gives the destination to the source already watching it)
  tavik setup --status print "done" or "not done"
  tavik sources list   one tab-separated line per source: id, name, the four
                       values below, destination folder (or -), status
                       (available, partiallyAvailable, unavailable, notDetermined)
  tavik sources add DIR [--destination DIR]
                       watch a folder; prints the new source's id
  tavik sources remove ID
                       forget a watched folder (the icon sources stay)
  tavik sources set ID KEY VALUE
                       KEY and its values:
                         FileFoundAction: {}
                         ApplicationFoundAction: {}
                         ApplicationCopiedAction: {}
                         AllApplicationsHandledAction: {}
                         Destination: a folder
Exit status: 0 done, 1 the settings could not be read or written, 2 bad input
(nothing was changed).)",
        values(FileFoundActionOption::allCases()), values(ApplicationFoundActionOption::allCases()),
        values(ApplicationCopiedActionOption::allCases()), values(AllApplicationsHandledAction::allCases()));
}

} // namespace tavik::cli
