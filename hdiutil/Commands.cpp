#include "hdiutil/Commands.hpp"

#include "hdiutil/AttachmentRegistry.hpp"
#include "hdiutil/PropertyList.hpp"
#include "hdiutil/SevenZip.hpp"
#include "hdiutil/VolumeLayout.hpp"
#include "hdiutil/VolumeSize.hpp"
#include "platform/foundation/BoundedText.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavik::hdiutil {
namespace {

// Messages carry paths from the image, which may be long; none is longer than this.
constexpr size_t messageLimit = 4096;

constexpr std::string_view usage = "usage: hdiutil attach -nobrowse -readonly -plist -mountpoint MOUNT_POINT -noautoopen IMAGE\n"
                                   "       hdiutil detach MOUNT_POINT\n";

// One deadline for the whole attach, well inside the ten minutes the service's
// caller waits, so that an attach never finishes after nobody waits for it.
std::chrono::seconds timeLimit()
{
    if (const char* text = std::getenv("TAVIK_HDIUTIL_TIME_LIMIT")) {
        int seconds = 0;
        auto [end, error] = std::from_chars(text, text + std::strlen(text), seconds);
        if (error == std::errc() && *end == '\0' && seconds > 0) return std::chrono::seconds(seconds);
    }
    return std::chrono::minutes(5);
}

int freeDiskNumber(const std::vector<Attachment>& attachments)
{
    std::set<int> used;
    for (const auto& attachment : attachments) used.insert(attachment.diskNumber);
    int number = 4;
    while (used.count(number)) ++number;
    return number;
}

bool isPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// What an attach has done so far, undone unless it finishes.
class AttachInProgress {
public:
    AttachInProgress(const AttachmentRegistry& registry, fs::path mountPoint, FileIdentity identity)
        : registry_(registry)
        , mountPoint_(std::move(mountPoint))
        , identity_(identity)
    {
    }
    ~AttachInProgress()
    {
        if (finished_) return;
        try {
            for (const auto& name : moved) removeTree(mountPoint_ / name);
            if (!workFolder.empty()) removeTree(workFolder);
            auto lock = registry_.lock();
            registry_.remove(identity_);
        } catch (const std::exception& error) {
            std::cerr << "hdiutil: could not undo the failed attach: " << error.what() << "\n";
        }
    }
    AttachInProgress(const AttachInProgress&) = delete;
    AttachInProgress& operator=(const AttachInProgress&) = delete;
    void finish() { finished_ = true; }

    fs::path workFolder;
    std::vector<std::string> moved;

private:
    const AttachmentRegistry& registry_;
    fs::path mountPoint_;
    FileIdentity identity_;
    bool finished_ = false;
};

fs::path makeWorkFolder(const fs::path& mountPoint)
{
    std::string pattern = (mountPoint.parent_path() / (".hdiutil-attach-" + mountPoint.filename().string() + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        throw CommandFailure("attach failed - cannot make a folder next to " + mountPoint.string() + ": " + std::strerror(errno));
    }
    return pattern;
}

fs::path volumeRootIn(const fs::path& workFolder)
{
    std::vector<fs::directory_entry> entries {fs::directory_iterator(workFolder), fs::directory_iterator()};
    if (entries.size() != 1 || !entries.front().is_directory() || entries.front().is_symlink()) {
        throw CommandFailure("attach failed - no mountable file systems");
    }
    return entries.front().path();
}

// The image and mount point of an attach, checked before anything is done.
struct AttachRequest {
    std::string imagePath; // canonical
    FileIdentity image;
    fs::path mountFolder; // canonical
    std::string reported; // the mount point as given, made absolute: what the property list says
    FileIdentity mountPoint;
};

AttachRequest checkedRequest(const std::string& image, const std::string& mountPoint)
{
    struct stat imageInfo {};
    if (stat(image.c_str(), &imageInfo) != 0) throw CommandFailure("attach failed - " + std::string(std::strerror(errno)));
    if (!S_ISREG(imageInfo.st_mode)) throw CommandFailure("attach failed - not a disk image file: " + image);

    struct stat mountInfo {};
    if (stat(mountPoint.c_str(), &mountInfo) != 0) {
        throw CommandFailure("attach failed - mount point " + mountPoint + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(mountInfo.st_mode)) throw CommandFailure("attach failed - mount point is not a folder: " + mountPoint);
    AttachRequest request;
    request.imagePath = fs::canonical(image).string();
    request.reported = fs::absolute(mountPoint).lexically_normal().string();
    if (request.reported.size() > 1 && request.reported.back() == '/') request.reported.pop_back();
    if (!isPropertyListText(request.reported)) {
        throw CommandFailure("attach failed - the mount point's path is not valid UTF-8 text");
    }
    request.mountFolder = fs::canonical(mountPoint);
    if (request.mountFolder == "/") throw CommandFailure("attach failed - cannot attach at /");
    request.image = {imageInfo.st_dev, imageInfo.st_ino};
    request.mountPoint = {mountInfo.st_dev, mountInfo.st_ino};
    return request;
}

// Records the attach as under way, so that a second attach of the image or at
// the mount point is refused from now on.
Attachment registerAttach(const AttachmentRegistry& registry, const AttachRequest& request)
{
    auto lock = registry.lock();
    auto attachments = registry.live();
    for (const auto& other : attachments) {
        if (other.image == request.image) throw CommandFailure("attach failed - Resource busy");
    }
    for (const auto& other : attachments) {
        if (other.mountPointIdentity == request.mountPoint) {
            throw CommandFailure("attach failed - " + request.reported + " is already the mount point of " + other.imagePath);
        }
    }
    if (!fs::is_empty(request.mountFolder)) {
        throw CommandFailure("attach failed - mount point is not empty: " + request.reported);
    }
    Attachment attachment;
    attachment.imagePath = request.imagePath;
    attachment.image = request.image;
    attachment.mountPoint = request.reported;
    attachment.mountPointIdentity = request.mountPoint;
    attachment.diskNumber = freeDiskNumber(attachments);
    attachment.attachingProcess = getpid();
    registry.store(attachment);
    return attachment;
}

// Gives the extracted volume the shape a mounted one has and moves its
// entries into the mount point.
void layOutVolume(const AttachRequest& request, std::string_view listing, const fs::path& extracted,
    AttachInProgress& progress)
{
    try {
        auto root = volumeRootIn(extracted);
        applyStoredModes(extracted, storedModes(listing));
        restoreAbsoluteLinks(root, extracted);
        precomposeNames(root);
        if (!fs::is_empty(request.mountFolder)) {
            throw CommandFailure("attach failed - mount point is not empty: " + request.reported);
        }
        moveEntries(root, request.mountFolder, progress.moved);
        removeTree(progress.workFolder);
        progress.workFolder.clear();
    } catch (const fs::filesystem_error& error) {
        throw CommandFailure("attach failed - " + std::string(error.what()));
    } catch (const std::runtime_error& error) {
        if (dynamic_cast<const CommandFailure*>(&error)) throw;
        throw CommandFailure("attach failed - " + std::string(error.what()));
    }
}

} // namespace

std::string attach(const std::string& image, const std::string& mountPoint)
{
    const AttachRequest request = checkedRequest(image, mountPoint);
    auto registry = AttachmentRegistry::openDefault();
    Attachment attachment = registerAttach(registry, request);
    AttachInProgress progress(registry, request.mountFolder, request.mountPoint);

    const SevenZip sevenZip(std::chrono::steady_clock::now() + timeLimit());
    progress.workFolder = makeWorkFolder(request.mountFolder);
    const fs::path extracted = progress.workFolder / "volume";
    // The extraction reads the image beside the listing, but nothing is
    // written before the volume is known to fit.
    SevenZip::Extraction extraction(sevenZip, request.imagePath, extracted);
    const std::string listing = sevenZip.list(request.imagePath);
    checkRoomFor(VolumeSize::of(listing), request.mountFolder);
    // It checks every block's data as it reads it; a damaged image fails
    // here and its work folder goes with the failed attach.
    extraction.finish();
    layOutVolume(request, listing, extracted, progress);

    attachment.attachingProcess = 0;
    attachment.entries = progress.moved;
    {
        auto lock = registry.lock();
        registry.store(attachment);
    }
    progress.finish();
    return attachPropertyList(partitionHints(listing), attachment.diskNumber, request.reported);
}

void detach(const std::string& mountPoint)
{
    std::error_code error;
    const fs::path mountFolder = fs::canonical(mountPoint, error);
    if (error) throw CommandFailure("detach failed - " + mountPoint + ": " + error.message());
    const FileIdentity identity = FileIdentity::of(mountFolder);

    auto registry = AttachmentRegistry::openDefault();
    Attachment attachment;
    {
        auto lock = registry.lock();
        auto attachments = registry.live();
        auto found = std::find_if(attachments.begin(), attachments.end(),
            [&](const Attachment& item) { return item.mountPointIdentity == identity; });
        if (found == attachments.end()) throw CommandFailure("detach failed - " + mountPoint + " is not attached");
        if (found->attachingProcess != 0) throw CommandFailure("detach failed - Resource busy");
        attachment = *found;
    }
    try {
        for (const auto& name : attachment.entries) {
            if (isPlainName(name)) removeTree(mountFolder / name);
        }
    } catch (const std::exception& failure) {
        throw CommandFailure("detach failed - " + std::string(failure.what()));
    }
    {
        auto lock = registry.lock();
        registry.remove(identity);
    }
    if (!fs::is_empty(mountFolder, error) || error) {
        throw CommandFailure("detach: " + mountPoint + " still holds files that were not on the image; they were left in place");
    }
}

int run(const std::vector<std::string>& arguments)
{
    try {
        if (arguments.size() == 8 && arguments[0] == "attach" && arguments[1] == "-nobrowse" && arguments[2] == "-readonly" && arguments[3] == "-plist" && arguments[4] == "-mountpoint" && arguments[6] == "-noautoopen") {
            std::cout << attach(arguments[7], arguments[5]) << std::flush;
            return 0;
        }
        if (arguments.size() == 2 && arguments[0] == "detach") {
            detach(arguments[1]);
            return 0;
        }
        std::cerr << "hdiutil: unsupported command line\n"
                  << usage;
        return 2;
    } catch (const CommandFailure& failure) {
        // No line end: callers test the text for its last words.
        std::cerr << "hdiutil: " << abridged(failure.what(), messageLimit) << std::flush;
        return 1;
    } catch (const std::exception& failure) {
        std::cerr << "hdiutil: " << abridged(failure.what(), messageLimit) << "\n";
        return 1;
    }
}

} // namespace tavik::hdiutil
