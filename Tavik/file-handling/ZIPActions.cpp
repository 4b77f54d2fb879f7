#include "Tavik/file-handling/ZIPActions.hpp"

#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "actions/ActionsLog.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/strings/UTF8.hpp"
#include "zip/ConfinedTree.hpp"
#include "zip/FreeSpaceCheck.hpp"

#include <map>

namespace tavik {

using actions::FileActionResult;
using zip::Entry;
using zip::EntryType;

namespace {

constexpr size_t chunkSize = 16384;

std::vector<std::string> pathComponents(const std::string& path)
{
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

} // namespace

// SearchZIPAction

std::string SearchZIPAction::Error::description() const
{
    return "The file is not a valid ZIP archive";
}

SearchZIPAction::SearchZIPAction(std::shared_ptr<FileManager> fileManager, log::Logger log)
    : fileManager(std::move(fileManager))
    , log(std::move(log))
{
}

void SearchZIPAction::perform(URL archiveURL, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    const std::string archivePath = archiveURL.path().string();
    auto opened = zip::Archive::open(archiveURL);
    if (!opened) {
        log.error("File at {} is not a valid archive", archivePath);
        completion(ResultType::failure(std::move(archiveURL), Error::make(Error::Code::invalidArchive, archivePath)));
        return;
    }
    log.defaultLevel("Finding applications in {}", archivePath);
    auto archive = std::make_shared<SharedArchive>(std::move(*opened));

    std::vector<Entry> dmgs, zips, pkgs, tars, appImages;
    std::vector<ZIPEntry::Application> applications;
    std::map<std::string, size_t> applicationIndex;
    auto walked = archive->withArchive([&](zip::Archive& reader) {
        return reader.forEachEntry([&](const Entry& entry) {
            const std::string& path = entry.path();
            if (path.ends_with(".dmg")) {
                dmgs.push_back(entry);
            } else if (path.ends_with(".zip")) {
                zips.push_back(entry);
            } else if (path.ends_with(".pkg") || hasLinuxPackageName(path)) {
                pkgs.push_back(entry);
            } else if (hasTarArchiveName(path)) {
                tars.push_back(entry);
            } else if (hasAppImageName(path)) {
                appImages.push_back(entry);
            } else {
                auto components = pathComponents(path);
                if (components.empty() || !components.front().ends_with(".app"))
                    return zip::IterationDecision::continue_;
                auto [position, added] = applicationIndex.try_emplace(components.front(), applications.size());
                if (added)
                    applications.push_back({components.front(), {}});
                applications[position->second].entries.push_back(entry);
            }
            return zip::IterationDecision::continue_;
        });
    });
    // A damaged or unreadable entry ends the walk and what came before it is
    // searched; an archive beyond the reader's limits is refused as a whole.
    if (!walked
        && (zip::ArchiveError::is(walked.error(), zip::ArchiveError::Code::tooManyEntries)
            || zip::ArchiveError::is(walked.error(), zip::ArchiveError::Code::entryPathTooLong))) {
        log.error("Archive at {} is beyond the limits of what is extracted: {}", archivePath, walked.error()->description());
        completion(ResultType::failure(std::move(archiveURL), walked.error()));
        return;
    }

    Output findings;
    for (auto& entry : dmgs) {
        log.info("Found DMG in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::DMG{std::move(entry)}, archive});
    }
    for (auto& entry : zips) {
        log.info("Found ZIP in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::ZIP{std::move(entry)}, archive});
    }
    for (auto& entry : pkgs) {
        log.info("Found PKG in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::PKG{std::move(entry)}, archive});
    }
    for (auto& entry : tars) {
        log.info("Found TAR in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::TAR{std::move(entry)}, archive});
    }
    for (auto& entry : appImages) {
        log.info("Found AppImage in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::AppImage{std::move(entry)}, archive});
    }
    for (auto& application : applications) {
        log.info("Found app in archive at {} with internal path {}", archivePath, application.name);
        findings.push_back({std::move(application), archive});
    }
    completion(ResultType::mapped(std::move(archiveURL), std::move(findings)));
}

// CheckSpaceForZIPEntriesAction

CheckSpaceForZIPEntriesAction::CheckSpaceForZIPEntriesAction(URL destinationURL, log::Logger log)
    : destinationURL(std::move(destinationURL))
    , log(std::move(log))
{
}

std::vector<Entry> CheckSpaceForZIPEntriesAction::entriesOf(const SearchZIPAction::ZIPEntry& finding)
{
    return std::visit(
        [](const auto& kind) -> std::vector<Entry> {
            if constexpr (requires { kind.entries; })
                return kind.entries;
            else
                return { kind.entry };
        },
        finding.kind);
}

void CheckSpaceForZIPEntriesAction::perform(Input findings, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    std::vector<Entry> entries;
    for (const auto& finding : findings) {
        auto more = entriesOf(finding);
        entries.insert(entries.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    auto fits = zip::checkFreeSpace(entries, destinationURL.path());
    if (!fits) {
        std::string archivePath = findings.empty() ? std::string() : findings.front().archive->url().path().string();
        log.error("Not extracting {}: {}", archivePath, fits.error()->description());
        completion(ResultType::failure(std::move(findings), fits.error()));
        return;
    }
    auto output = findings;
    completion(ResultType::mapped(std::move(findings), std::move(output)));
}

// ExtractEntryFromZIPAction

std::string ExtractEntryFromZIPAction::Error::description() const
{
    return "The archive entry is not a regular file";
}

ExtractEntryFromZIPAction::ExtractEntryFromZIPAction(URL destinationURL, log::Logger log)
    : destinationURL(std::move(destinationURL))
    , log(std::move(log))
{
}

Result<std::vector<Entry>> ExtractEntryFromZIPAction::orderedEntries(zip::Archive& archive, const std::vector<Entry>& entries)
{
    std::vector<Entry> ordered;
    struct Link {
        Entry entry;
        std::string resolvedTarget;
    };
    std::vector<Link> links;
    for (const Entry& entry : entries) {
        if (entry.type() != EntryType::symlink) {
            ordered.push_back(entry);
            continue;
        }
        std::string target;
        TAVIK_TRY_VOID(archive.read(
            entry,
            [&](std::span<const std::byte> bytes) -> Result<void> {
                target.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                return {};
            },
            chunkSize));
        if (!isValidUTF8(target))
            return zip::ArchiveError::make(zip::ArchiveError::Code::invalidEntryPath, entry.path());

        auto components = pathComponents(entry.path());
        std::string parent;
        for (size_t index = 0; index + 1 < components.size(); ++index)
            parent += (index ? "/" : "") + components[index];
        Link link{entry, parent + "/" + target};

        // Next to the first placed link it shares a target or a path with.
        auto position = links.end();
        for (auto placed = links.begin(); placed != links.end(); ++placed) {
            const std::string& placedPath = placed->entry.path();
            if (link.resolvedTarget.starts_with(placed->resolvedTarget)) {
                position = placed + 1;
                break;
            }
            if (placed->resolvedTarget.starts_with(link.resolvedTarget) || placed->resolvedTarget.starts_with(entry.path())) {
                position = placed;
                break;
            }
            if (link.resolvedTarget.starts_with(placedPath)) {
                position = placed + 1;
                break;
            }
        }
        links.insert(position, std::move(link));
    }
    for (auto& link : links)
        ordered.push_back(std::move(link.entry));
    return ordered;
}

void ExtractEntryFromZIPAction::perform(SearchZIPAction::ZIPEntry zipEntry, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    const std::string archivePath = zipEntry.archive->url().path().string();

    if (auto* application = std::get_if<SearchZIPAction::ZIPEntry::Application>(&zipEntry.kind)) {
        auto ordered = zipEntry.archive->withArchive(
            [&](zip::Archive& archive) { return orderedEntries(archive, application->entries); });
        if (!ordered) {
            log.error("Failed to sort {} entries: {}", application->name, ordered.error()->description());
            completion(ResultType::failure(std::move(zipEntry), ordered.error()));
            return;
        }
        // An entry that would land outside the working folder fails the bundle
        // before any of it is written.
        for (const Entry& entry : *ordered) {
            auto components = zip::ConfinedTree::components(entry.path());
            if (!components) {
                log.error("Error extracting {} entry at {}: {}", typeName(entry.type()), entry.path(),
                    components.error()->description());
                completion(ResultType::failure(std::move(zipEntry), components.error()));
                return;
            }
        }
        if (auto fits = zip::checkFreeSpace(*ordered, destinationURL.path()); !fits) {
            log.error("Failed to extract {} from {}: {}", application->name, archivePath, fits.error()->description());
            completion(ResultType::failure(std::move(zipEntry), fits.error()));
            return;
        }
        log.debug("Starting to extract application from {} to {}",
            zipEntry.archive->url().appendingPathComponent(application->name, true).path().string(),
            destinationURL.path().string());
        zip::ExtractionJournal journal;
        for (const Entry& entry : *ordered) {
            auto extracted = zipEntry.archive->withArchive(
                [&](zip::Archive& archive) { return archive.extractConfined(entry, destinationURL, chunkSize, &journal); });
            if (!extracted) {
                log.error("Error extracting {} entry at {}: {}", typeName(entry.type()), entry.path(),
                    extracted.error()->description());
                journal.removeCreated(destinationURL);
                completion(ResultType::failure(std::move(zipEntry), extracted.error()));
                return;
            }
            log.debug("Extracted {} from {}", entry.path(), archivePath);
        }
        auto url = destinationURL.appendingPathComponent(application->name, true);
        auto name = application->name;
        completion(ResultType::mapped(std::move(zipEntry), ExtractedEntry{ExtractedEntry::Kind::application, url, name}));
        return;
    }

    ExtractedEntry::Kind kind = ExtractedEntry::Kind::dmg;
    const Entry* entry = nullptr;
    if (auto* dmg = std::get_if<SearchZIPAction::ZIPEntry::DMG>(&zipEntry.kind)) {
        entry = &dmg->entry;
    } else if (auto* archive = std::get_if<SearchZIPAction::ZIPEntry::ZIP>(&zipEntry.kind)) {
        kind = ExtractedEntry::Kind::zip;
        entry = &archive->entry;
    } else if (auto* package = std::get_if<SearchZIPAction::ZIPEntry::PKG>(&zipEntry.kind)) {
        kind = ExtractedEntry::Kind::pkg;
        entry = &package->entry;
    } else if (auto* tarArchive = std::get_if<SearchZIPAction::ZIPEntry::TAR>(&zipEntry.kind)) {
        kind = ExtractedEntry::Kind::tar;
        entry = &tarArchive->entry;
    } else {
        kind = ExtractedEntry::Kind::appImage;
        entry = &std::get<SearchZIPAction::ZIPEntry::AppImage>(zipEntry.kind).entry;
    }
    const std::string path = entry->path();

    Result<void> extracted;
    zip::ExtractionJournal journal;
    if (entry->type() != EntryType::file)
        extracted = Error::make(Error::Code::notARegularFile, path);
    else
        extracted = zip::checkFreeSpace(std::span(entry, 1), destinationURL.path());
    if (extracted)
        extracted = zipEntry.archive->withArchive(
            [&](zip::Archive& archive) { return archive.extractConfined(*entry, destinationURL, chunkSize, &journal); });
    if (!extracted) {
        journal.removeCreated(destinationURL);
        log.error("Failed to extract {} from {}: {}", path, archivePath, extracted.error()->description());
        completion(ResultType::failure(std::move(zipEntry), extracted.error()));
        return;
    }
    log.debug("Extracted {} from {} ", path, archivePath);
    // Extraction succeeded, so the path's components are valid.
    auto location = destinationURL.path();
    auto components = zip::ConfinedTree::components(path);
    for (const auto& component : *components)
        location /= component;
    completion(ResultType::mapped(std::move(zipEntry), ExtractedEntry{kind, URL::fileURL(location, false), path}));
}

// ExtractApplicationsInZIPEntryAction

ExtractApplicationsInZIPEntryAction::ExtractApplicationsInZIPEntryAction(URL destination, DuvrinServicePtr duvrinService,
    InstallableApplication::Source parentSource)
    : destination(std::move(destination))
    , duvrinService(std::move(duvrinService))
    , parentSource(std::move(parentSource))
{
}

void ExtractApplicationsInZIPEntryAction::perform(Input extracted, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    using Kind = ExtractEntryFromZIPAction::ExtractedEntry::Kind;
    auto carryOver = [extracted, completion](FileActionResult<URL, Output> nested) {
        completion(std::move(nested).withInput(extracted));
    };
    switch (extracted.kind) {
    case Kind::application:
    case Kind::pkg: {
        auto kind = extracted.kind == Kind::application ? InstallableApplication::Kind::application
                                                        : InstallableApplication::Kind::package;
        Output items{InstallableApplication{extracted.url, parentSource, kind}};
        completion(ResultType::mapped(std::move(extracted), std::move(items)));
        return;
    }
    case Kind::appImage: {
        // A file only named like an AppImage is nothing to install.
        Output items;
        if (AppImageInstallation::isAppImage(extracted.url.path()))
            items.push_back(InstallableApplication{extracted.url, parentSource, InstallableApplication::Kind::application});
        completion(ResultType::mapped(std::move(extracted), std::move(items)));
        return;
    }
    case Kind::zip:
        ExtractApplicationsInZIPAction(destination, duvrinService, parentSource).perform(extracted.url, std::move(carryOver));
        return;
    case Kind::tar:
        ExtractApplicationsInTarAction(destination, duvrinService, parentSource).perform(extracted.url, std::move(carryOver));
        return;
    case Kind::dmg:
        FindApplicationsInDMGAction(destination, parentSource, duvrinService).perform(extracted.url, std::move(carryOver));
        return;
    }
}

// ExtractApplicationsInZIPAction

ExtractApplicationsInZIPAction::ExtractApplicationsInZIPAction(URL destination, DuvrinServicePtr duvrinService,
    InstallableApplication::Source parentSource)
    : destination(std::move(destination))
    , duvrinService(std::move(duvrinService))
    , parentSource(std::move(parentSource))
{
}

void ExtractApplicationsInZIPAction::perform(URL archiveURL, actions::Completion<Input, Output> completion) const
{
    auto source = InstallableApplication::Source::zip(archiveURL, parentSource);
    using EntryResult = FileActionResult<SearchZIPAction::ZIPEntry, ExtractEntryFromZIPAction::ExtractedEntry>;
    using Provider = actions::FileActionMapAction<SearchZIPAction::ZIPEntry, ExtractEntryFromZIPAction::ExtractedEntry,
        ExtractApplicationsInZIPEntryAction>;
    static_assert(std::same_as<Provider::Input, EntryResult>);

    auto chain = SearchZIPAction(FileManager::defaultManager(), actions::actionsLog("Find Applications"))
                     .then(CheckSpaceForZIPEntriesAction(destination, actions::actionsLog("Find Applications")))
                     .mapEach(ExtractEntryFromZIPAction(destination, actions::actionsLog("Extract Entry from ZIP")))
                     .flatMap(Provider(ExtractApplicationsInZIPEntryAction(destination, duvrinService, source),
                         actions::actionsLog("File Action Map")));
    chain.perform(std::move(archiveURL), std::move(completion));
}

} // namespace tavik
