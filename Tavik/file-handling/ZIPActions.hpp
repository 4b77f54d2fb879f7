#pragma once

// The actions that search a ZIP archive for applications, disk images, nested
// archives and installer packages, extract what they find into a working
// folder and search the extracted images and archives in turn.

#include "Tavik/file-handling/DiskImageActions.hpp"
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
    class Error final : public tavik::Error {
    public:
        enum class Code {
            invalidArchive,
        };
        Error(Code code, std::string path)
            : code_(code)
            , path_(std::move(path))
        {
        }
        static ErrorPtr make(Code code, std::string path) { return std::make_shared<const Error>(code, std::move(path)); }
        Code errorCode() const { return code_; }
        std::string description() const override;
        std::optional<std::string> failureReason() const override { return path_; }
        std::string domain() const override { return "app.tavik.TavikActions.SearchZIPAction.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        std::string path_;
    };

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

// Extracts one finding of SearchZIPAction into the working folder, never
// writing outside it, after checking that it fits the space left there. A
// finding that fails to extract leaves nothing of itself behind. A bundle's symbolic links are made after all of its
// files and folders, each after the links it leads through.
// Completes on the calling thread.
class ExtractEntryFromZIPAction : public actions::FileActionBuilders<ExtractEntryFromZIPAction> {
public:
    class Error final : public tavik::Error {
    public:
        enum class Code {
            // A disk image, archive or package entry that is not a regular
            // file (a link could lead the later search out of the archive).
            notARegularFile,
        };
        Error(Code code, std::string path)
            : code_(code)
            , path_(std::move(path))
        {
        }
        static ErrorPtr make(Code code, std::string path) { return std::make_shared<const Error>(code, std::move(path)); }
        Code errorCode() const { return code_; }
        std::string description() const override;
        std::optional<std::string> failureReason() const override { return path_; }
        std::string domain() const override { return "app.tavik.TavikActions.ExtractEntryFromZIPAction.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        std::string path_;
    };

    // Where an extracted finding now lies, and its name inside the archive
    // (the bundle name for an application, the entry's path otherwise).
    struct ExtractedEntry {
        enum class Kind {
            application,
            dmg,
            zip,
            pkg,
            tar,
            appImage,
        };
        Kind kind;
        URL url;
        std::string internalRoot;
    };

    using Input = SearchZIPAction::ZIPEntry;
    using Output = ExtractedEntry;

    ExtractEntryFromZIPAction(URL destinationURL, log::Logger log);

    void perform(SearchZIPAction::ZIPEntry entry, actions::Completion<Input, Output> completion) const;

    // A bundle's entries in extraction order: files and folders in archive
    // order, then the symbolic links, each placed next to the links whose
    // targets it shares.
    static Result<std::vector<zip::Entry>> orderedEntries(zip::Archive& archive, const std::vector<zip::Entry>& entries);

    URL destinationURL;
    log::Logger log;
};

// Turns an extracted finding into installable items: a bundle or package at
// once, a disk image or archive by searching it in turn.
class ExtractApplicationsInZIPEntryAction : public actions::FileActionBuilders<ExtractApplicationsInZIPEntryAction> {
public:
    using Input = ExtractEntryFromZIPAction::ExtractedEntry;
    using Output = std::vector<InstallableApplication>;

    ExtractApplicationsInZIPEntryAction(URL destination, DuvrinServicePtr duvrinService, InstallableApplication::Source parentSource);

    void perform(Input extracted, actions::Completion<Input, Output> completion) const;

    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
};

// Searches an archive, extracts its findings into destination and collects
// the installable items in them (nested archives and images included).
// Findings that fail contribute nothing; an archive that does not open, is
// beyond the reader's limits or whose findings do not fit the free space of
// destination fails, before anything of it is written.
class ExtractApplicationsInZIPAction : public actions::FileActionBuilders<ExtractApplicationsInZIPAction> {
public:
    using Input = URL;
    using Output = std::vector<InstallableApplication>;

    ExtractApplicationsInZIPAction(URL destination, DuvrinServicePtr duvrinService, InstallableApplication::Source parentSource);

    void perform(URL archiveURL, actions::Completion<Input, Output> completion) const;

    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
};

} // namespace tavik
