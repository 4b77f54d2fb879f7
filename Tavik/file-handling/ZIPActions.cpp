#include "Tavik/file-handling/ZIPActions.hpp"

#include "platform/foundation/TypeIdentifier.hpp"
#include "zip/FreeSpaceCheck.hpp"

#include <map>

namespace tavik {

using actions::FileActionResult;
using zip::Entry;
using zip::EntryType;

namespace {

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

ArchiveFindingKind kindOf(const SearchZIPAction::ZIPEntry& finding)
{
    using Kind = ArchiveFindingKind;
    // In the order of ZIPEntry::Kind's alternatives.
    constexpr Kind kinds[] = {Kind::application, Kind::dmg, Kind::zip, Kind::pkg, Kind::tar, Kind::appImage};
    static_assert(std::size(kinds) == std::variant_size_v<SearchZIPAction::ZIPEntry::Kind>);
    return kinds[finding.kind.index()];
}

} // namespace

// SearchZIPAction

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
        findings.push_back({ZIPEntry::DMG {std::move(entry)}, archive});
    }
    for (auto& entry : zips) {
        log.info("Found ZIP in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::ZIP {std::move(entry)}, archive});
    }
    for (auto& entry : pkgs) {
        log.info("Found PKG in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::PKG {std::move(entry)}, archive});
    }
    for (auto& entry : tars) {
        log.info("Found TAR in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::TAR {std::move(entry)}, archive});
    }
    for (auto& entry : appImages) {
        log.info("Found AppImage in archive at {} with internal path {}", archivePath, entry.path());
        findings.push_back({ZIPEntry::AppImage {std::move(entry)}, archive});
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
                return {kind.entry};
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

// ZIPFormat

namespace {

// Logs why a finding did not extract and gives the error the entry met.
ErrorPtr reportFailure(const log::Logger& log, const ErrorPtr& error, const std::string& name, const std::string& archivePath,
    bool isApplication)
{
    using Step = zip::ExtractionError::Step;
    auto* failure = dynamic_cast<const zip::ExtractionError*>(error.get());
    if (isApplication && failure && failure->step() == Step::orderingLinks)
        log.error("Failed to sort {} entries: {}", name, error->description());
    else if (isApplication && failure && !failure->entryPath().empty())
        log.error("Error extracting {} entry at {}: {}", failure->entryKind(), failure->entryPath(), error->description());
    else
        log.error("Failed to extract {} from {}: {}", name, archivePath, error->description());
    return failure ? failure->cause() : error;
}

} // namespace

template <>
Result<ExtractedFinding> ZIPFormat::extract(const Finding& zipEntry, const URL& destinationURL, const log::Logger& log)
{
    const std::string archivePath = zipEntry.archive->url().path().string();
    auto* application = std::get_if<SearchZIPAction::ZIPEntry::Application>(&zipEntry.kind);
    auto entries = CheckSpaceForZIPEntriesAction::entriesOf(zipEntry);
    const std::string name = application ? application->name : entries.front().path();

    auto extracted = [&]() -> Result<URL> {
        if (application) {
            log.debug("Starting to extract application from {} to {}",
                zipEntry.archive->url().appendingPathComponent(name, true).path().string(), destinationURL.path().string());
        } else if (entries.front().type() != EntryType::file) {
            return ExtractEntryFromZIPAction::Error::make(NotARegularFile::Code::notARegularFile, name);
        }
        TAVIK_TRY_VOID(zipEntry.archive->withArchive([&](zip::Archive& archive) {
            return archive.extractSubtree(entries, destinationURL, [&](const Entry& entry) {
                if (application)
                    log.debug("Extracted {} from {}", entry.path(), archivePath);
            });
        }));
        return zip::Archive::confinedLocation(name, destinationURL, application != nullptr);
    }();
    if (!extracted)
        return reportFailure(log, extracted.error(), name, archivePath, application != nullptr);
    if (!application)
        log.debug("Extracted {} from {} ", name, archivePath);
    return ExtractedFinding {kindOf(zipEntry), std::move(*extracted), name};
}

template <>
FindingsExtraction<ZIPFormat::Finding> ZIPFormat::extractFindings(const URL& destination)
{
    return FindingsExtraction<Finding>(SearchZIPAction(FileManager::defaultManager(), actions::actionsLog("Find Applications"))
                                           .then(CheckSpaceForZIPEntriesAction(destination, actions::actionsLog("Find Applications")))
                                           .mapEach(ExtractEntryFromZIPAction(destination, actions::actionsLog("Extract Entry from ZIP"))));
}

} // namespace tavik
