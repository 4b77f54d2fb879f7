#include "Tavik/file-handling/TarActions.hpp"

#include "Tavik/file-handling/ZIPActions.hpp"
#include "actions/ActionsLog.hpp"
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

// ExtractEntryFromTarAction

ExtractEntryFromTarAction::ExtractEntryFromTarAction(URL destinationURL, log::Logger log)
    : destinationURL(std::move(destinationURL))
    , log(std::move(log))
{
}

void ExtractEntryFromTarAction::perform(SearchTarAction::TarFinding finding, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    const std::string archivePath = finding.archiveURL.path().string();
    auto fail = [&](const ErrorPtr& error) {
        log.error("Failed to extract {} from {}: {}", finding.name, archivePath, error->description());
        completion(ResultType::failure(std::move(finding), error));
    };

    if (finding.kind != Kind::application && finding.entries.front().type != tar::TarEntry::Type::file) {
        fail(Error::make(Error::Code::notARegularFile, finding.name));
        return;
    }
    // The recorded sizes decide before anything is written.
    std::uint64_t recorded = 0;
    for (const auto& entry : finding.entries)
        recorded += entry.size;
    auto budget = SpaceBudget::forFolderToBe(destinationURL.path());
    if (!budget) {
        fail(budget.error());
        return;
    }
    if (!budget->allows(recorded)) {
        fail(tar::TarError::make(tar::TarErrorCode::exceedsSpaceBudget, finding.name));
        return;
    }

    std::set<std::string> paths;
    for (const auto& entry : finding.entries)
        paths.insert(entry.path);
    auto extracted = tar::TarArchive::extract(finding.archiveURL, destinationURL,
        [&](const tar::TarEntry& entry) { return paths.contains(entry.path); });
    if (!extracted) {
        fail(extracted.error());
        return;
    }
    log.debug("Extracted {} from {} ", finding.name, archivePath);

    // Extraction succeeded, so the name's components are valid.
    auto location = destinationURL.path();
    auto components = tar::TarArchive::components(finding.name);
    for (const auto& component : *components)
        location /= component;
    bool isFolder = finding.kind == Kind::application;
    auto kind = finding.kind;
    auto name = finding.name;
    completion(ResultType::mapped(std::move(finding), ExtractedEntry{kind, URL::fileURL(location, isFolder), name}));
}

// ExtractApplicationsInTarEntryAction

ExtractApplicationsInTarEntryAction::ExtractApplicationsInTarEntryAction(URL destination, DuvrinServicePtr duvrinService,
    InstallableApplication::Source parentSource)
    : destination(std::move(destination))
    , duvrinService(std::move(duvrinService))
    , parentSource(std::move(parentSource))
{
}

void ExtractApplicationsInTarEntryAction::perform(Input extracted, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    auto carryOver = [extracted, completion](FileActionResult<URL, Output> nested) {
        completion(std::move(nested).withInput(extracted));
    };
    switch (extracted.kind) {
    case Kind::application:
    case Kind::appImage:
    case Kind::pkg: {
        auto kind = extracted.kind == Kind::pkg ? InstallableApplication::Kind::package : InstallableApplication::Kind::application;
        Output items{InstallableApplication{extracted.url, parentSource, kind}};
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

// ExtractApplicationsInTarAction

ExtractApplicationsInTarAction::ExtractApplicationsInTarAction(URL destination, DuvrinServicePtr duvrinService,
    InstallableApplication::Source parentSource)
    : destination(std::move(destination))
    , duvrinService(std::move(duvrinService))
    , parentSource(std::move(parentSource))
{
}

void ExtractApplicationsInTarAction::perform(URL archiveURL, actions::Completion<Input, Output> completion) const
{
    auto source = InstallableApplication::Source::zip(archiveURL, parentSource);
    using Provider = actions::FileActionMapAction<SearchTarAction::TarFinding, ExtractEntryFromTarAction::ExtractedEntry,
        ExtractApplicationsInTarEntryAction>;
    auto chain = SearchTarAction(destination, actions::actionsLog("Find Applications"))
                     .mapEach(ExtractEntryFromTarAction(destination, actions::actionsLog("Extract Entry from Tar")))
                     .flatMap(Provider(ExtractApplicationsInTarEntryAction(destination, duvrinService, source),
                         actions::actionsLog("File Action Map")));
    chain.perform(std::move(archiveURL), std::move(completion));
}

} // namespace tavik
