#pragma once

// The actions that copy found applications into the destination folder: one
// item at a time, resolving a clash with an application already there, and
// the whole list of a file's findings, asking the user first where the
// source's configuration says so.

#include "Tavik/configuration/FileSourceConfiguration.hpp"
#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/CollectionOutputActionMapperAction.hpp"
#include "actions/FileAction.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/log/Logger.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// Copies one application into the destination and reports the copy's URL. A
// package is not copied: it is reported with its own URL, to be opened where
// it lies. When something already exists at the target, the handler decides
// whether to trash it first, copy under a numbered name, or leave the item.
// Completes on the calling thread, or on the thread the handler answers on.
class CopyApplicationAction : public actions::FileActionBuilders<CopyApplicationAction> {
public:
    // Where copies go: into a folder under the item's own name, or exactly
    // at a given path.
    struct Destination {
        enum class Kind {
            directory,
            path
        };
        static Destination directory(URL folder);
        static Destination path(URL file);
        Kind kind;
        URL url;
    };

    enum class ExistingApplicationAction {
        trashExistingApplication,
        renameNewApplication,
        ignore
    };

    // Called with the item, the occupied target and the callback that takes
    // the decision (or the error that prevented one). The callback may be
    // called on any thread.
    using ExistingApplicationHandler = std::function<void(const InstallableApplication& item, const URL& target,
        std::function<void(Result<ExistingApplicationAction>)> answer)>;

    using Input = InstallableApplication;
    using Output = URL;

    CopyApplicationAction(Destination destination, ExistingApplicationHandler existingApplicationHandler,
        std::shared_ptr<FileManager> fileManager, log::Logger log);

    void perform(InstallableApplication item, actions::Completion<Input, Output> completion) const;

    // Where the item's copy goes before any clash is resolved.
    URL targetURL(const InstallableApplication& item) const;
    // The numbered sibling of a target: "Example.app" and 2 give "Example 2.app".
    static URL renamedURL(const URL& target, unsigned number);
    // The title of the message shown while a copy that replaced or renamed
    // runs: "Copying Example" for Example.app.
    static std::string copyingTitle(const InstallableApplication& item);

    Destination destination;
    ExistingApplicationHandler existingApplicationHandler;
    // Tells whether the target is occupied; the copies, the trashing and the
    // numbering go through the process's default file manager.
    std::shared_ptr<FileManager> fileManager;
    log::Logger log;
    // The folder the file's archives were extracted into, removed once the
    // file is handled: what was extracted there is moved into place rather
    // than copied.
    std::optional<URL> workingFolder;

private:
    // Whether the item is one this process extracted into its working folder.
    bool isExtracted(const InstallableApplication& item) const;
    // Copies the item to a free target, or moves it there when extracted.
    Result<void> place(const InstallableApplication& item, const URL& target) const;
    // The clash answered "overwrite": trash what is at the target, then copy.
    void replaceExisting(const InstallableApplication& item, const URL& target,
        const actions::Completion<Input, Output>& completion) const;
    // The clash answered "rename": copy to the first free "Name N.ext", N from 2.
    void copyRenamed(const InstallableApplication& item, const URL& target,
        const actions::Completion<Input, Output>& completion) const;
};

// Copies every application found in one file. Per item, the source's
// "application found" choice (read at that moment) decides whether to copy
// at once or to ask the user; an occupied target is always asked about.
// Reports one result per item, in the order they finished. Made with
// std::make_shared: the question handlers hold it weakly.
class CopyApplicationsAction : public std::enable_shared_from_this<CopyApplicationsAction> {
public:
    using Input = std::vector<InstallableApplication>;
    using Output = std::vector<actions::FileActionResult<InstallableApplication, URL>>;

    CopyApplicationsAction(CopyApplicationAction::Destination destination, FileSourceConfigurationPtr fileSource, log::Logger log);

    // Blocks until every item is finished (the questions must be answered
    // on other threads).
    void perform(Input items, actions::Completion<Input, Output> completion) const;

    // Whether the user closed one of this action's questions without answering.
    bool wasAnyQuestionDismissed() const { return questionDismissed_; }

    CopyApplicationAction::Destination destination;
    FileSourceConfigurationPtr fileSource;
    log::Logger log;
    // See CopyApplicationAction::workingFolder.
    std::optional<URL> workingFolder;

private:
    using CopyDecisionHandler = std::function<void(const InstallableApplication& item, const Input& all,
        std::function<void(Result<actions::ContinueDecision>)> decide)>;
    // Asks the user how to resolve a clash at an item's target.
    CopyApplicationAction::ExistingApplicationHandler existingApplicationQuestion() const;
    // Decides per item whether to copy it: by the source's "application
    // found" choice, or by asking the user.
    CopyDecisionHandler copyDecision() const;

    mutable std::atomic<bool> questionDismissed_ {false};
};

} // namespace tavik
