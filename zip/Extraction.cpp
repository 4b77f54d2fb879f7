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

using Step = ExtractionError::Step;

// An entry with its path's components below the root.
struct PlacedEntry {
    Entry entry;
    std::vector<std::string> components;
};

// The path's folder: its non-empty components but the last, joined again.
std::string parentFolder(const std::string& path)
{
    std::vector<std::string> components;
    for (size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
        end = std::min(path.find('/', start), path.size());
        if (end > start)
            components.push_back(path.substr(start, end - start));
    }
    std::string parent;
    for (size_t index = 0; index + 1 < components.size(); ++index)
        parent += (index ? "/" : "") + components[index];
    return parent;
}

// Extracted items never become set-user-ID, set-group-ID or sticky.
mode_t confinedPermissions(const Entry& entry)
{
    return entry.permissions() & 0777;
}

ErrorPtr failedAt(const Entry& entry, ErrorPtr error, Step step = Step::extracting)
{
    return ExtractionError::make(std::move(error), entry.path(), typeName(entry.type()), step);
}

// Why a walk ended early, named after the entry it refused when there is one.
ErrorPtr walkFailure(const ErrorPtr& error)
{
    auto* archiveError = dynamic_cast<const ArchiveError*>(error.get());
    return ExtractionError::make(error, archiveError ? archiveError->path() : "");
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

// Folders get their dates and permissions once nothing more is written into
// them, deepest first so that a folder without write or search permission is
// set after its contents.
Result<void> applyFolderAttributes(ConfinedTree& tree, std::vector<PlacedEntry> directories)
{
    std::stable_sort(directories.begin(), directories.end(),
        [](const PlacedEntry& a, const PlacedEntry& b) { return a.components.size() > b.components.size(); });
    for (const auto& directory : directories) {
        if (directory.components.empty())
            continue;
        auto fd = tree.directory(directory.components, directory.entry.path());
        Result<void> applied = fd ? applyAttributes(*fd, confinedPermissions(directory.entry),
                                   directory.entry.modificationDate(), tree.pathOf(directory.components))
                                  : Result<void>(fd.error());
        if (!applied)
            return failedAt(directory.entry, applied.error());
    }
    return {};
}

// The first walk of extractAll: checks every entry's path and adds up what
// they record, keeping nothing, so memory stays flat.
Result<uint64_t> measureEveryEntry(Archive& archive)
{
    uint64_t neededBytes = 0;
    ErrorPtr refused;
    auto walked = archive.forEachEntry([&](const Entry& entry) {
        if (auto components = ConfinedTree::components(entry.path()); !components) {
            refused = failedAt(entry, components.error());
            return IterationDecision::stop;
        }
        neededBytes = addDiskUsage(neededBytes, recordedDiskUsage(entry));
        return IterationDecision::continue_;
    });
    if (refused)
        return refused;
    if (!walked)
        return walkFailure(walked.error());
    return neededBytes;
}

} // namespace

Result<void> Archive::writeConfined(ConfinedTree& tree, const Entry& entry, const std::vector<std::string>& components,
    size_t chunkSize, bool applyFolderAttributes)
{
    switch (entry.type()) {
    case EntryType::file:
        return extractFile(*this, tree, entry, components, chunkSize);
    case EntryType::directory:
        return makeDirectory(tree, entry, components, applyFolderAttributes);
    case EntryType::symlink: {
        auto target = TAVIK_TRY(readLinkTarget(entry));
        return makeSymlink(tree, entry, components, target);
    }
    }
    return {};
}

Result<void> Archive::extractConfined(const Entry& entry, const URL& root, size_t chunkSize, ExtractionJournal* journal)
{
    auto components = TAVIK_TRY(ConfinedTree::components(entry.path()));
    auto tree = TAVIK_TRY(ConfinedTree::open(root, journal));
    return writeConfined(tree, entry, components, chunkSize, true);
}

Result<URL> Archive::confinedLocation(const std::string& entryPath, const URL& root, bool isDirectory)
{
    auto location = root.path();
    for (const auto& component : TAVIK_TRY(ConfinedTree::components(entryPath)))
        location /= component;
    return URL::fileURL(location, isDirectory);
}

// The second walk of extractAll: files and folders as they come, links
// after them, folders' attributes last.
Result<void> Archive::writeEveryEntry(ConfinedTree& tree, uint64_t neededBytes, size_t chunkSize)
{
    std::vector<PlacedEntry> links;
    std::vector<PlacedEntry> directories;
    ErrorPtr stopped;
    uint64_t writtenBytes = 0;
    auto walked = forEachEntry([&](const Entry& entry) {
        auto components = ConfinedTree::components(entry.path());
        writtenBytes = addDiskUsage(writtenBytes, recordedDiskUsage(entry));
        Result<void> done;
        if (!components) {
            done = components.error();
        } else if (writtenBytes > neededBytes) {
            // The file changed since the first walk.
            done = ArchiveError::make(ArchiveError::Code::unreadableArchive, entry.path());
        } else if (entry.type() == EntryType::symlink) {
            links.push_back({entry, std::move(*components)});
        } else {
            done = writeConfined(tree, entry, *components, chunkSize, false);
            if (done && entry.type() == EntryType::directory)
                directories.push_back({entry, std::move(*components)});
        }
        if (!done) {
            stopped = failedAt(entry, done.error());
            return IterationDecision::stop;
        }
        return IterationDecision::continue_;
    });
    if (stopped)
        return stopped;
    if (!walked)
        return walkFailure(walked.error());
    for (const auto& link : links) {
        if (auto done = writeConfined(tree, link.entry, link.components, chunkSize, false); !done)
            return failedAt(link.entry, done.error());
    }
    return applyFolderAttributes(tree, std::move(directories));
}

Result<void> Archive::extractAll(const URL& root, size_t chunkSize)
{
    uint64_t neededBytes = TAVIK_TRY(measureEveryEntry(*this));
    if (auto space = checkFreeSpace(neededBytes, root.path()); !space)
        return ExtractionError::make(space.error());

    std::error_code error;
    bool rootExisted = std::filesystem::exists(root.path(), error);
    ExtractionJournal journal;
    auto tree = ConfinedTree::open(root, &journal);
    Result<void> written = tree ? writeEveryEntry(*tree, neededBytes, chunkSize) : ExtractionError::make(tree.error());
    if (!written) {
        journal.removeCreated(root);
        if (!rootExisted)
            ::rmdir(root.path().c_str());
    }
    return written;
}

Result<std::vector<Entry>> Archive::extractionOrder(std::span<const Entry> entries)
{
    struct Link {
        Entry entry;
        std::string resolvedTarget;
    };
    std::vector<Entry> ordered;
    std::vector<Link> links;
    for (const Entry& entry : entries) {
        if (entry.type() != EntryType::symlink) {
            ordered.push_back(entry);
            continue;
        }
        auto target = readLinkTarget(entry);
        if (!target)
            return failedAt(entry, target.error(), Step::orderingLinks);
        Link link {entry, parentFolder(entry.path()) + "/" + *target};

        // Next to the first placed link it shares a target or a path with.
        auto position = links.end();
        for (auto placed = links.begin(); placed != links.end(); ++placed) {
            if (link.resolvedTarget.starts_with(placed->resolvedTarget)) {
                position = placed + 1;
                break;
            }
            if (placed->resolvedTarget.starts_with(link.resolvedTarget)
                || placed->resolvedTarget.starts_with(entry.path())) {
                position = placed;
                break;
            }
            if (link.resolvedTarget.starts_with(placed->entry.path())) {
                position = placed + 1;
                break;
            }
        }
        links.insert(position, std::move(link));
    }
    for (auto& link : links)
        ordered.push_back(std::move(link.entry));
    return ordered;
}

Result<void> Archive::extractSubtree(std::span<const Entry> entries, const URL& root, const ExtractedObserver& extracted,
    size_t chunkSize)
{
    std::vector<PlacedEntry> placed;
    for (Entry& entry : TAVIK_TRY(extractionOrder(entries))) {
        auto components = ConfinedTree::components(entry.path());
        if (!components)
            return failedAt(entry, components.error());
        placed.push_back({std::move(entry), std::move(*components)});
    }
    if (auto space = checkFreeSpace(entries, root.path()); !space)
        return ExtractionError::make(space.error());

    ExtractionJournal journal;
    auto written = [&]() -> Result<void> {
        auto tree = ConfinedTree::open(root, &journal);
        if (!tree)
            return ExtractionError::make(tree.error());
        std::vector<PlacedEntry> directories;
        for (const auto& item : placed) {
            if (auto done = writeConfined(*tree, item.entry, item.components, chunkSize, false); !done)
                return failedAt(item.entry, done.error());
            if (item.entry.type() == EntryType::directory)
                directories.push_back(item);
            if (extracted)
                extracted(item.entry);
        }
        return applyFolderAttributes(*tree, std::move(directories));
    }();
    if (!written)
        journal.removeCreated(root);
    return written;
}

} // namespace tavik::zip
