#pragma once

// What the searches of ZIP and tar archives hand on: the findings they
// extracted, how an extracted finding becomes installable items, and the
// action that runs one archive format's search and extraction end to end.

#include "Tavik/file-handling/ActionError.hpp"
#include "Tavik/file-handling/DiskImageActions.hpp"
#include "actions/ActionsLog.hpp"
#include "actions/AnyFileAction.hpp"
#include "actions/FileAction.hpp"
#include "actions/FileActionMapAction.hpp"

#include <string>
#include <vector>

namespace tavik {

enum class ArchiveFindingKind {
    application,
    dmg,
    zip,
    pkg,
    tar,
    appImage,
};

// Why a finding does not extract: a disk image, archive, package or AppImage
// entry that is not a regular file (a link could lead the later search out of
// the archive). The error cases of the actions that extract findings.
struct NotARegularFile {
    enum class Code { notARegularFile };
    static std::string describe(Code) { return "The archive entry is not a regular file"; }
};

// Where an extracted finding now lies, and its name inside the archive (the
// bundle name for an application, the entry's path otherwise).
struct ExtractedFinding {
    ArchiveFindingKind kind;
    URL url;
    std::string internalRoot;
};

// An archive format's way from the archive's URL to its extracted findings,
// one result each.
template <class Finding>
using FindingsExtraction = actions::AnyFileAction<URL, std::vector<actions::FileActionResult<Finding, ExtractedFinding>>>;

// What the archive actions need of a format: the findings its search makes,
// how one is extracted (and logged), the extraction of all of an archive's
// findings, and the domain of its errors. Each format defines the two
// functions for its own specialization.
template <class FindingType, LiteralText domain>
struct ArchiveFormat {
    using Finding = FindingType;
    static constexpr LiteralText errorDomain = domain;
    static Result<ExtractedFinding> extract(const Finding& finding, const URL& destinationURL, const log::Logger& log);
    static FindingsExtraction<Finding> extractFindings(const URL& destination);
};

// Extracts one finding of an archive's search into the working folder,
// confined to it, after checking that it fits the space left there.
// Format::extract(finding, destination, log) does it and logs how it went;
// Format::errorDomain names this action's errors. Completes on the calling
// thread.
template <class Format>
class ExtractFindingAction : public actions::FileActionBuilders<ExtractFindingAction<Format>> {
public:
    using Error = ActionError<NotARegularFile, Format::errorDomain>;
    using ExtractedEntry = ExtractedFinding;
    using Input = typename Format::Finding;
    using Output = ExtractedFinding;

    ExtractFindingAction(URL destinationURL, log::Logger log)
        : destinationURL(std::move(destinationURL))
        , log(std::move(log))
    {
    }

// GCC 12 at -O2 reports moving a ZIP finding (a variant holding a vector)
// into its result as "maybe uninitialized": a false positive.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    void perform(Input finding, actions::Completion<Input, Output> completion) const
    {
        using ResultType = actions::FileActionResult<Input, Output>;
        auto extracted = Format::extract(finding, destinationURL, log);
        if (!extracted)
            completion(ResultType::failure(std::move(finding), extracted.error()));
        else
            completion(ResultType::mapped(std::move(finding), std::move(*extracted)));
    }
#pragma GCC diagnostic pop

    URL destinationURL;
    log::Logger log;
};

// Where an archive's findings are extracted and searched: the working
// folder, the disk image service for images among them, and the source chain
// their items carry.
struct NestedSearch {
    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
};

// Turns an extracted finding into installable items: a bundle or package at
// once, an AppImage once its content shows the magic (a file only named like
// one is nothing to install), a disk image or archive by searching it in turn.
struct ExtractApplicationsInFindingAction : actions::FileActionBuilders<ExtractApplicationsInFindingAction> {
    using Input = ExtractedFinding;
    using Output = std::vector<InstallableApplication>;
    void perform(Input extracted, actions::Completion<Input, Output> completion) const;
    NestedSearch search;
};

// Searches an archive, extracts its findings into destination and collects
// the installable items in them (nested archives and images included).
// Findings that fail contribute nothing. Items found carry the archive case
// of the source chain. Format::extractFindings(destination) is the format's
// action from the archive's URL to its extracted findings, one result each.
template <class Format>
class ExtractApplicationsInArchiveAction : public actions::FileActionBuilders<ExtractApplicationsInArchiveAction<Format>> {
public:
    using Input = URL;
    using Output = std::vector<InstallableApplication>;

    ExtractApplicationsInArchiveAction(URL destination, DuvrinServicePtr duvrinService, InstallableApplication::Source parentSource)
        : search {std::move(destination), std::move(duvrinService), std::move(parentSource)}
    {
    }

    void perform(URL archiveURL, actions::Completion<Input, Output> completion) const
    {
        NestedSearch nested {search.destination, search.duvrinService, InstallableApplication::Source::zip(archiveURL, search.parentSource)};
        using Provider = actions::FileActionMapAction<typename Format::Finding, ExtractedFinding, ExtractApplicationsInFindingAction>;
        auto chain = Format::extractFindings(search.destination)
                         .flatMap(Provider(ExtractApplicationsInFindingAction {{}, std::move(nested)}, actions::actionsLog("File Action Map")));
        chain.perform(std::move(archiveURL), std::move(completion));
    }

    NestedSearch search;
};

} // namespace tavik
