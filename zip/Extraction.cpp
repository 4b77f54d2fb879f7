// Extraction confined to a root folder.
#include "zip/Archive.hpp"

#include "zip/Attributes.hpp"
#include "zip/ConfinedTree.hpp"
#include "zip/FreeSpaceCheck.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik::zip {

namespace {

// Extracted items never become set-user-ID, set-group-ID or sticky.
mode_t confinedPermissions(const Entry& entry)
{
    return entry.permissions() & 0777;
}

Result<void> extractFile(Archive& archive, ConfinedTree& tree, const Entry& entry,
    const std::vector<std::string>& components, size_t chunkSize)
{
    auto invalid = [&] { return ArchiveError::make(ArchiveError::Code::invalidEntryPath, entry.path()); };
    if (components.empty())
        return invalid();
    std::span<const std::string> parents(components.data(), components.size() - 1);
    int parentFd = TAVIK_TRY(tree.directory(parents, entry.path()));
    auto path = tree.pathOf(components);
    // O_EXCL with O_NOFOLLOW: anything already there, a dangling link
    // included, is an existing file and is left untouched.
    int fd = ::openat(parentFd, components.back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return FileError::make(FileError::Code::fileWriteFileExists, path, errno);
        return FileError::make(FileError::Code::fileNoSuchFile, path, errno);
    }
    tree.recordCreated(components, false);
    auto written = archive.read(entry, writingTo(fd, path.string()), chunkSize);
    if (written)
        written = applyAttributes(fd, confinedPermissions(entry), entry.modificationDate(), path);
    ::close(fd);
    return written;
}

Result<void> makeDirectory(ConfinedTree& tree, const Entry& entry, const std::vector<std::string>& components,
    bool applyNow)
{
    int fd = TAVIK_TRY(tree.directory(components, entry.path()));
    if (!applyNow || components.empty())
        return {};
    return applyAttributes(fd, confinedPermissions(entry), entry.modificationDate(), tree.pathOf(components));
}

Result<void> makeSymlink(ConfinedTree& tree, const Entry& entry, const std::vector<std::string>& components,
    const std::string& target)
{
    if (components.empty())
        return ArchiveError::make(ArchiveError::Code::invalidEntryPath, entry.path());
    std::span<const std::string> parents(components.data(), components.size() - 1);
    int parentFd = TAVIK_TRY(tree.directory(parents, entry.path()));
    auto path = tree.pathOf(components);
    const char* name = components.back().c_str();
    if (::symlinkat(target.c_str(), parentFd, name) != 0) {
        if (errno == EEXIST)
            return FileError::make(FileError::Code::fileWriteFileExists, path, errno);
        return FileError::fromErrno(errno, path, true);
    }
    tree.recordCreated(components, false);
    return applyAttributes(parentFd, name, EntryType::symlink, 0, entry.modificationDate(), path);
}

} // namespace

Result<void> Archive::extractConfined(const Entry& entry, const URL& root, size_t chunkSize, ExtractionJournal* journal)
{
    auto components = TAVIK_TRY(ConfinedTree::components(entry.path()));
    auto tree = TAVIK_TRY(ConfinedTree::open(root, journal));
    switch (entry.type()) {
    case EntryType::file:
        return extractFile(*this, tree, entry, components, chunkSize);
    case EntryType::directory:
        return makeDirectory(tree, entry, components, true);
    case EntryType::symlink: {
        auto target = TAVIK_TRY(readLinkTarget(entry));
        return makeSymlink(tree, entry, components, target);
    }
    }
    return {};
}

std::optional<Archive::ExtractionFailure> Archive::extractAll(const URL& root, size_t chunkSize)
{
    auto walkFailure = [](const ErrorPtr& error) {
        auto* archiveError = dynamic_cast<const ArchiveError*>(error.get());
        return ExtractionFailure { archiveError ? archiveError->path() : "", error };
    };

    // A first walk checks every entry and adds up what they record before
    // anything is written; it keeps nothing, so memory stays flat.
    uint64_t neededBytes = 0;
    std::optional<ExtractionFailure> failure;
    auto walked = forEachEntry([&](const Entry& entry) {
        if (auto components = ConfinedTree::components(entry.path()); !components) {
            failure = ExtractionFailure { entry.path(), components.error() };
            return IterationDecision::stop;
        }
        neededBytes = addDiskUsage(neededBytes, recordedDiskUsage(entry));
        return IterationDecision::continue_;
    });
    if (failure)
        return failure;
    if (!walked)
        return walkFailure(walked.error());
    if (auto space = checkFreeSpace(neededBytes, root.path()); !space)
        return ExtractionFailure { "", space.error() };

    std::error_code error;
    bool rootExisted = std::filesystem::exists(root.path(), error);
    ExtractionJournal journal;
    failure = [&]() -> std::optional<ExtractionFailure> {
        auto tree = ConfinedTree::open(root, &journal);
        if (!tree)
            return ExtractionFailure { "", tree.error() };
        struct Deferred {
            Entry entry;
            std::vector<std::string> components;
        };
        std::vector<Deferred> links;
        std::vector<Deferred> directories;
        std::optional<ExtractionFailure> stopped;
        uint64_t writtenBytes = 0;
        auto extracted = forEachEntry([&](const Entry& entry) {
            auto components = ConfinedTree::components(entry.path());
            writtenBytes = addDiskUsage(writtenBytes, recordedDiskUsage(entry));
            Result<void> done;
            if (!components) {
                done = components.error();
            } else if (writtenBytes > neededBytes) {
                // The file changed since the first walk.
                done = ArchiveError::make(ArchiveError::Code::unreadableArchive, entry.path());
            } else if (entry.type() == EntryType::symlink) {
                links.push_back({ entry, std::move(*components) });
            } else if (entry.type() == EntryType::directory) {
                done = makeDirectory(*tree, entry, *components, false);
                if (done)
                    directories.push_back({ entry, std::move(*components) });
            } else {
                done = extractFile(*this, *tree, entry, *components, chunkSize);
            }
            if (!done) {
                stopped = ExtractionFailure { entry.path(), done.error() };
                return IterationDecision::stop;
            }
            return IterationDecision::continue_;
        });
        if (stopped)
            return stopped;
        if (!extracted)
            return walkFailure(extracted.error());

        for (const auto& link : links) {
            auto target = readLinkTarget(link.entry);
            Result<void> done = target ? makeSymlink(*tree, link.entry, link.components, *target) : Result<void>(target.error());
            if (!done)
                return ExtractionFailure { link.entry.path(), done.error() };
        }
        // Folders get their dates and permissions once nothing more is
        // written into them, deepest first so that a folder without write or
        // search permission is set after its contents.
        std::stable_sort(directories.begin(), directories.end(),
            [](const Deferred& a, const Deferred& b) { return a.components.size() > b.components.size(); });
        for (const auto& directory : directories) {
            if (directory.components.empty())
                continue;
            auto done = tree->directory(directory.components, directory.entry.path());
            Result<void> applied = done
                ? applyAttributes(*done, confinedPermissions(directory.entry), directory.entry.modificationDate(),
                      tree->pathOf(directory.components))
                : Result<void>(done.error());
            if (!applied)
                return ExtractionFailure { directory.entry.path(), applied.error() };
        }
        return std::nullopt;
    }();
    if (failure) {
        journal.removeCreated(root);
        if (!rootExisted)
            ::rmdir(root.path().c_str());
    }
    return failure;
}

} // namespace tavik::zip
