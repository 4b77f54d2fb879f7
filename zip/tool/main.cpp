// tavik-zip: lists or extracts a ZIP archive with Tavik's reader.
//   tavik-zip list ARCHIVE           one "type<TAB>path" line per entry
//   tavik-zip extract ARCHIVE DEST   every entry, confined to DEST
#include "zip/Archive.hpp"

#include <cstdio>
#include <string_view>

using namespace tavik;
using namespace tavik::zip;

namespace {

// The error's text, with its reason unless that only repeats the entry path.
std::string describe(const ErrorPtr& error, const std::string& entryPath)
{
    auto text = error->description();
    if (auto reason = error->failureReason(); reason && !reason->empty() && *reason != entryPath)
        text += " (" + *reason + ")";
    return text;
}

int fail(const std::string& entryPath, const ErrorPtr& error)
{
    if (entryPath.empty())
        std::fprintf(stderr, "tavik-zip: %s\n", describe(error, entryPath).c_str());
    else
        std::fprintf(stderr, "tavik-zip: %s: %s\n", entryPath.c_str(), describe(error, entryPath).c_str());
    return 1;
}

int usage()
{
    std::fprintf(stderr, "usage: tavik-zip list ARCHIVE\n       tavik-zip extract ARCHIVE DEST\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    std::string_view command = argv[1];
    if ((command == "list" && argc != 3) || (command == "extract" && argc != 4)
        || (command != "list" && command != "extract"))
        return usage();

    auto archive = Archive::open(URL::fileURL(std::filesystem::absolute(argv[2]), false));
    if (!archive) {
        std::fprintf(stderr, "tavik-zip: %s: not a readable ZIP archive\n", argv[2]);
        return 1;
    }

    if (command == "list") {
        auto walked = archive->forEachEntry([](const Entry& entry) {
            std::printf("%s\t%s\n", typeName(entry.type()), entry.path().c_str());
            return IterationDecision::continue_;
        });
        if (!walked) {
            auto* archiveError = dynamic_cast<const ArchiveError*>(walked.error().get());
            std::fflush(stdout);
            return fail(archiveError ? archiveError->path() : "", walked.error());
        }
        return 0;
    }

    auto extracted = archive->extractAll(URL::fileURL(std::filesystem::absolute(argv[3]), true));
    if (!extracted) {
        auto* failure = dynamic_cast<const ExtractionError*>(extracted.error().get());
        return fail(failure ? failure->entryPath() : "", extracted.error());
    }
    return 0;
}
