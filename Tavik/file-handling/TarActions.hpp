#pragma once

// The actions that search a tar archive (plain or compressed) for
// applications, AppImages, disk images, nested archives and packages, extract
// what they find into a working folder and search the extracted images and
// archives in turn. They follow the ZIP actions' rules and shape.

#include "Tavik/file-handling/DiskImageActions.hpp"
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
        enum class Kind {
            application,
            dmg,
            zip,
            tar,
            pkg,
            appImage,
        };
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

// Extracts one finding of SearchTarAction into the working folder, confined
// to it, after checking its recorded sizes against the folder's space
// budget. Completes on the calling thread.
class ExtractEntryFromTarAction : public actions::FileActionBuilders<ExtractEntryFromTarAction> {
public:
    class Error final : public tavik::Error {
    public:
        enum class Code {
            // An image, archive, package or AppImage entry that is not a
            // regular file.
            notARegularFile,
        };
        Error(Code code, std::string path)
            : code_(code)
            , path_(std::move(path))
        {
        }
        static ErrorPtr make(Code code, std::string path) { return std::make_shared<const Error>(code, std::move(path)); }
        Code errorCode() const { return code_; }
        std::string description() const override { return "The archive entry is not a regular file"; }
        std::optional<std::string> failureReason() const override { return path_; }
        std::string domain() const override { return "app.tavik.TavikActions.ExtractEntryFromTarAction.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        std::string path_;
    };

    struct ExtractedEntry {
        SearchTarAction::TarFinding::Kind kind;
        URL url;
        std::string internalRoot;
    };

    using Input = SearchTarAction::TarFinding;
    using Output = ExtractedEntry;

    ExtractEntryFromTarAction(URL destinationURL, log::Logger log);

    void perform(SearchTarAction::TarFinding finding, actions::Completion<Input, Output> completion) const;

    URL destinationURL;
    log::Logger log;
};

// Turns an extracted finding into installable items: a bundle, AppImage or
// package at once, a disk image or archive by searching it in turn.
class ExtractApplicationsInTarEntryAction : public actions::FileActionBuilders<ExtractApplicationsInTarEntryAction> {
public:
    using Input = ExtractEntryFromTarAction::ExtractedEntry;
    using Output = std::vector<InstallableApplication>;

    ExtractApplicationsInTarEntryAction(URL destination, DuvrinServicePtr duvrinService, InstallableApplication::Source parentSource);

    void perform(Input extracted, actions::Completion<Input, Output> completion) const;

    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
};

// Searches a tar archive, extracts its findings into destination and collects
// the installable items in them. Findings that fail contribute nothing; an
// archive that cannot be read fails. Items found carry the archive case of
// the source chain, as items of a ZIP archive do.
class ExtractApplicationsInTarAction : public actions::FileActionBuilders<ExtractApplicationsInTarAction> {
public:
    using Input = URL;
    using Output = std::vector<InstallableApplication>;

    ExtractApplicationsInTarAction(URL destination, DuvrinServicePtr duvrinService, InstallableApplication::Source parentSource);

    void perform(URL archiveURL, actions::Completion<Input, Output> completion) const;

    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
};

} // namespace tavik
