#pragma once

// The actions that search a ZIP archive for applications, disk images, nested
// archives and installer packages, extract what they find into a working
// folder and search the extracted images and archives in turn.

#include "Tavik/file-handling/ActionError.hpp"
#include "Tavik/file-handling/ArchiveFindings.hpp"
#include "actions/FileAction.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/log/Logger.hpp"
#include "zip/Archive.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace tavik {

// An archive opened for reading, shared by every finding of one search. Its
// reads move one file position, so they take turns.
class SharedArchive {
public:
    explicit SharedArchive(zip::Archive archive)
        : archive_(std::move(archive))
    {
    }
    // Set when the archive is opened and never changed.
    const URL& url() const { return archive_.url(); }

    // Runs body with the archive, alone.
    template <class Body>
    auto withArchive(Body&& body)
    {
        std::lock_guard lock(mutex_);
        return body(archive_);
    }

private:
    std::mutex mutex_;
    zip::Archive archive_;
};

// Lists the interesting entries of an archive: disk images, archives (ZIP and
// tar), packages and AppImages anywhere in it, and the application bundles at
// its top.
// Completes on the calling thread.
class SearchZIPAction : public actions::FileActionBuilders<SearchZIPAction> {
public:
    struct InvalidArchive {
        enum class Code { invalidArchive };
        static std::string describe(Code) { return "The file is not a valid ZIP archive"; }
    };
    using Error = ActionError<InvalidArchive, "app.tavik.TavikActions.SearchZIPAction.Error">;

    struct ZIPEntry {
        struct Application {
            std::string name; // the bundle's folder name, ".app" included
            std::vector<zip::Entry> entries; // every entry inside the bundle, in archive order
        };
        struct DMG {
            zip::Entry entry;
        };
        struct ZIP {
            zip::Entry entry;
        };
        struct PKG {
            zip::Entry entry;
        };
        struct TAR {
            zip::Entry entry;
        };
        // Named as an AppImage; counts once its content shows the magic.
        struct AppImage {
            zip::Entry entry;
        };
        using Kind = std::variant<Application, DMG, ZIP, PKG, TAR, AppImage>;

        Kind kind;
        std::shared_ptr<SharedArchive> archive;
    };

    using Input = URL;
    using Output = std::vector<ZIPEntry>;

    SearchZIPAction(std::shared_ptr<FileManager> fileManager, log::Logger log);

    void perform(URL archiveURL, actions::Completion<Input, Output> completion) const;

    std::shared_ptr<FileManager> fileManager;
    log::Logger log;
};

// Refuses the findings of one archive, before any is extracted, when what
// their entries record does not fit the free space of the working folder
// (the same rule as for every download's content). Completes on the calling
// thread.
class CheckSpaceForZIPEntriesAction : public actions::FileActionBuilders<CheckSpaceForZIPEntriesAction> {
public:
    using Input = std::vector<SearchZIPAction::ZIPEntry>;
    using Output = std::vector<SearchZIPAction::ZIPEntry>;

    CheckSpaceForZIPEntriesAction(URL destinationURL, log::Logger log);

    void perform(Input findings, actions::Completion<Input, Output> completion) const;

    // Every archive entry a finding extracts.
    static std::vector<zip::Entry> entriesOf(const SearchZIPAction::ZIPEntry& finding);

    URL destinationURL;
    log::Logger log;
};

// The ZIP side of the archive actions: the findings of SearchZIPAction,
// each extracted through zip::Archive::extractSubtree (a finding that fails
// leaves nothing of itself behind) once all of an archive's findings were
// checked against the free space of destination. An archive that does not
// open, is beyond the reader's limits or does not fit fails before anything
// of it is written.
using ZIPFormat = ArchiveFormat<SearchZIPAction::ZIPEntry, "app.tavik.TavikActions.ExtractEntryFromZIPAction.Error">;
template <>
Result<ExtractedFinding> ZIPFormat::extract(const Finding& finding, const URL& destinationURL, const log::Logger& log);
template <>
FindingsExtraction<ZIPFormat::Finding> ZIPFormat::extractFindings(const URL& destination);

// The two actions of this format: one extracts a finding, the other searches
// an archive end to end.
using ExtractEntryFromZIPAction = ExtractFindingAction<ZIPFormat>;
using ExtractApplicationsInZIPAction = ExtractApplicationsInArchiveAction<ZIPFormat>;

} // namespace tavik
