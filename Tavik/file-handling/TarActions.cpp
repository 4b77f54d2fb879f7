#include "Tavik/file-handling/TarActions.hpp"

#include "platform/filemanager/SpaceBudget.hpp"
#include "platform/foundation/TypeIdentifier.hpp"

#include <map>
#include <set>

namespace tavik {

using actions::FileActionResult;
using Kind = SearchTarAction::TarFinding::Kind;

namespace {

// What a regular file entry is found as, by the ZIP rules (case-sensitive
// suffixes) and the Linux shapes.
std::optional<Kind> singleFindingKind(const tar::TarEntry& entry)
{
    const std::string& path = entry.path;
    if (path.ends_with(".dmg"))
        return Kind::dmg;
    if (path.ends_with(".zip"))
        return Kind::zip;
    if (path.ends_with(".pkg") || hasLinuxPackageName(path))
        return Kind::pkg;
    if (hasTarArchiveName(path))
        return Kind::tar;
    if (entry.isAppImage)
        return Kind::appImage;
    return std::nullopt;
}

std::string_view kindName(Kind kind)
{
    switch (kind) {
    case Kind::application:
        return "app";
    case Kind::dmg:
        return "DMG";
    case Kind::zip:
        return "ZIP";
    case Kind::tar:
        return "TAR";
    case Kind::pkg:
        return "PKG";
    case Kind::appImage:
        return "AppImage";
    }
    return "";
}

} // namespace

// SearchTarAction

SearchTarAction::SearchTarAction(URL workingFolder, log::Logger log)
    : workingFolder(std::move(workingFolder))
    , log(std::move(log))
{
}

void SearchTarAction::perform(URL archiveURL, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    const std::string archivePath = archiveURL.path().string();
    auto budget = SpaceBudget::forFolderToBe(workingFolder.path());
    if (!budget) {
        completion(ResultType::failure(std::move(archiveURL), budget.error()));
        return;
    }
    auto entries = tar::TarArchive::list(archiveURL, budget->allowedBytes);
    if (!entries) {
        log.error("File at {} is not a valid archive: {}", archivePath, entries.error()->description());
        completion(ResultType::failure(std::move(archiveURL), entries.error()));
        return;
    }
    log.defaultLevel("Finding applications in {}", archivePath);

    Output singles;
    std::vector<TarFinding> applications;
    std::map<std::string, size_t> applicationIndex;
    for (auto& entry : *entries) {
        if (entry.type == tar::TarEntry::Type::file) {
            if (auto kind = singleFindingKind(entry)) {
                singles.push_back({*kind, entry.path, {entry}, archiveURL});
                continue;
            }
        }
        auto components = tar::TarArchive::components(entry.path);
        if (!components || components->empty() || !components->front().ends_with(".app"))
            continue;
        auto [position, added] = applicationIndex.try_emplace(components->front(), applications.size());
        if (added)
            applications.push_back({Kind::application, components->front(), {}, archiveURL});
        applications[position->second].entries.push_back(std::move(entry));
    }

    // Images, archives, packages and AppImages in archive order, then bundles.
    Output findings;
    for (auto& finding : singles) {
        log.info("Found {} in archive at {} with internal path {}", kindName(finding.kind), archivePath, finding.name);
        findings.push_back(std::move(finding));
    }
    for (auto& application : applications) {
        log.info("Found app in archive at {} with internal path {}", archivePath, application.name);
        findings.push_back(std::move(application));
    }
    completion(ResultType::mapped(std::move(archiveURL), std::move(findings)));
}

// TarFormat

template <>
Result<ExtractedFinding> TarFormat::extract(const Finding& finding, const URL& destinationURL, const log::Logger& log)
{
    const std::string archivePath = finding.archiveURL.path().string();
    auto extracted = [&]() -> Result<URL> {
        if (finding.kind != Kind::application && finding.entries.front().type != tar::TarEntry::Type::file)
            return ExtractEntryFromTarAction::Error::make(NotARegularFile::Code::notARegularFile, finding.name);
        // The recorded sizes decide before anything is written.
        std::uint64_t recorded = 0;
        for (const auto& entry : finding.entries)
            recorded += entry.size;
        auto budget = TAVIK_TRY(SpaceBudget::forFolderToBe(destinationURL.path()));
        if (!budget.allows(recorded))
            return tar::TarError::make(tar::TarErrorCode::exceedsSpaceBudget, finding.name);

        std::set<std::string> paths;
        for (const auto& entry : finding.entries)
            paths.insert(entry.path);
        TAVIK_TRY_VOID(tar::TarArchive::extract(finding.archiveURL, destinationURL,
            [&](const tar::TarEntry& entry) { return paths.contains(entry.path); }));
        // Extraction succeeded, so the name's components are valid.
        auto location = destinationURL.path();
        auto components = tar::TarArchive::components(finding.name);
        for (const auto& component : *components)
            location /= component;
        return URL::fileURL(location, finding.kind == Kind::application);
    }();
    if (!extracted) {
        log.error("Failed to extract {} from {}: {}", finding.name, archivePath, extracted.error()->description());
        return extracted.error();
    }
    log.debug("Extracted {} from {} ", finding.name, archivePath);
    return ExtractedFinding {finding.kind, std::move(*extracted), finding.name};
}

template <>
FindingsExtraction<TarFormat::Finding> TarFormat::extractFindings(const URL& destination)
{
    return FindingsExtraction<Finding>(SearchTarAction(destination, actions::actionsLog("Find Applications"))
                                           .mapEach(ExtractEntryFromTarAction(destination, actions::actionsLog("Extract Entry from Tar"))));
}

} // namespace tavik
