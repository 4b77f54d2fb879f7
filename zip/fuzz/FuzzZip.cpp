#include "zip/fuzz/FuzzZip.hpp"

#include "zip/Archive.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace tavik::zip {

namespace {

namespace fs = std::filesystem;

// Entries larger than this are read only in part and not extracted, so that
// one input cannot fill the disk.
constexpr uint64_t extractionLimit = 1 << 20;

[[noreturn]] void escaped(const fs::path& what)
{
    std::fprintf(stderr, "fuzz-zip: created outside the extraction root: %s\n", what.c_str());
    std::abort();
}

// Every item under root must be inside it when its own name is not followed.
void checkConfined(const fs::path& sandbox, const fs::path& root)
{
    if (!fs::exists(root))
        return;
    for (const auto& item : fs::directory_iterator(sandbox)) {
        auto name = item.path().filename();
        if (name != "each" && name != "all" && name != "subtree" && name != "archive.zip")
            escaped(item.path());
    }
    std::error_code error;
    auto canonicalRoot = fs::canonical(root, error);
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        auto parent = fs::canonical(it->path().parent_path(), error);
        if (error)
            escaped(it->path());
        auto relative = parent.lexically_relative(canonicalRoot);
        if (relative.empty() || *relative.begin() == "..")
            escaped(it->path());
    }
}

} // namespace

void fuzzOneInput(const uint8_t* data, size_t size)
{
    // A memory-backed folder when there is one: the target writes a lot.
    static const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/tavik-fuzz-zip-XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    fs::path sandbox = pattern;
    fs::path archivePath = sandbox / "archive.zip";
    // One root for entries extracted one by one in archive order (so a link
    // entry comes before what may try to pass through it), one for extractAll,
    // one for every entry handed to extractSubtree.
    fs::path eachRoot = sandbox / "each";
    fs::path allRoot = sandbox / "all";
    fs::path subtreeRoot = sandbox / "subtree";
    {
        std::ofstream out(archivePath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    if (auto archive = Archive::open(URL::fileURL(archivePath, false))) {
        (void)archive->comment();
        (void)archive->forEachEntry([&](const Entry& entry) {
            (void)entry.type();
            (void)entry.permissions();
            (void)entry.modificationDate();
            uint64_t seen = 0;
            (void)archive->read(entry, [&](std::span<const std::byte> chunk) -> Result<void> {
                seen += chunk.size();
                if (seen > extractionLimit)
                    return ArchiveError::make(ArchiveError::Code::cancelledOperation);
                return {};
            });
            return IterationDecision::continue_;
        });

        bool small = true;
        for (const Entry& entry : *archive)
            small = small && entry.uncompressedSize() <= extractionLimit;
        if (small) {
            ExtractionJournal journal;
            for (const Entry& entry : *archive)
                (void)archive->extractConfined(entry, URL::fileURL(eachRoot, true), Archive::defaultChunkSize, &journal);
            checkConfined(sandbox, eachRoot);
            // The journal knows everything the extraction made: taking it
            // away leaves the root empty (as root, which no folder mode stops).
            journal.removeCreated(URL::fileURL(eachRoot, true));
            if (geteuid() == 0 && fs::exists(eachRoot) && !fs::is_empty(eachRoot)) {
                std::fprintf(stderr, "fuzz-zip: the journal left items behind in %s\n", eachRoot.c_str());
                std::abort();
            }
            // A failed extraction of the whole archive leaves nothing at all.
            if (!archive->extractAll(URL::fileURL(allRoot, true)) && geteuid() == 0 && fs::exists(allRoot)) {
                std::fprintf(stderr, "fuzz-zip: a failed extraction left %s behind\n", allRoot.c_str());
                std::abort();
            }
            // A failed subtree leaves its root (which others may share) empty.
            if (!archive->extractSubtree(archive->entries(), URL::fileURL(subtreeRoot, true)) && geteuid() == 0
                && fs::exists(subtreeRoot) && !fs::is_empty(subtreeRoot)) {
                std::fprintf(stderr, "fuzz-zip: a failed subtree extraction left items in %s\n", subtreeRoot.c_str());
                std::abort();
            }
        }
        checkConfined(sandbox, eachRoot);
        checkConfined(sandbox, allRoot);
        checkConfined(sandbox, subtreeRoot);
    }

    std::error_code error;
    // Extracted folders may have lost their write permission.
    for (auto it = fs::recursive_directory_iterator(sandbox, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(sandbox, error);
}

} // namespace tavik::zip
