#pragma once

// The actions that search a tar archive (plain or compressed) for
// applications, AppImages, disk images, nested archives and packages, extract
// what they find into a working folder and search the extracted images and
// archives in turn. They follow the ZIP actions' rules and shape.

#include "Tavik/file-handling/ArchiveFindings.hpp"
#include "actions/FileAction.hpp"
#include "platform/log/Logger.hpp"
#include "tar/TarArchive.hpp"

#include <string>
#include <vector>

namespace tavik {

// Lists the interesting entries of a tar archive: disk images, archives,
// packages and AppImages anywhere in it, and the application bundles at its
// top. Reading stops once the decompressed archive outgrows the working
// folder's space budget. Completes on the calling thread.
class SearchTarAction : public actions::FileActionBuilders<SearchTarAction> {
public:
    struct TarFinding {
        using Kind = ArchiveFindingKind;
        Kind kind;
        // The bundle's folder name for an application, the entry's path otherwise.
        std::string name;
        // Every entry of the bundle in archive order, or the one entry.
        std::vector<tar::TarEntry> entries;
        URL archiveURL;
    };

    using Input = URL;
    using Output = std::vector<TarFinding>;

    SearchTarAction(URL workingFolder, log::Logger log);

    void perform(URL archiveURL, actions::Completion<Input, Output> completion) const;

    URL workingFolder;
    log::Logger log;
};

// The tar side of the archive actions: the findings of SearchTarAction, each
// checked against the working folder's space budget by its recorded sizes,
// then extracted confined to the folder. An archive that cannot be read
// fails.
using TarFormat = ArchiveFormat<SearchTarAction::TarFinding, "app.tavik.TavikActions.ExtractEntryFromTarAction.Error">;
template <>
Result<ExtractedFinding> TarFormat::extract(const Finding& finding, const URL& destinationURL, const log::Logger& log);
template <>
FindingsExtraction<TarFormat::Finding> TarFormat::extractFindings(const URL& destination);

// The two actions of this format: one extracts a finding, the other searches
// an archive end to end.
using ExtractEntryFromTarAction = ExtractFindingAction<TarFormat>;
using ExtractApplicationsInTarAction = ExtractApplicationsInArchiveAction<TarFormat>;

} // namespace tavik
