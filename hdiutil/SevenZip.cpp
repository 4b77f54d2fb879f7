#include "hdiutil/SevenZip.hpp"

#include "hdiutil/Commands.hpp"
#include "hdiutil/Listing.hpp"
#include "platform/foundation/BoundedText.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/process/ChildProcess.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

namespace tavik::hdiutil {
namespace {

using process::ChildOptions;
using process::ChildOutcome;

// Pins the type: the first volume of a disk image, HFS+ or HFSX.
constexpr std::string_view pinnedType = "-thfs.dmg";

// The lines 7-Zip wrote on standard error, joined into one line. Some
// errors (a volume that ends early) go to standard output instead, in the
// lines that follow "ERRORS:".
std::string complaintOf(const ChildOutcome& outcome)
{
    std::string joined;
    std::string_view text = outcome.standardError;
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        // Its lines up to the next property ("Physical Size = ...").
        text = outcome.standardOutput;
        text.remove_prefix(std::min(text.rfind("ERROR"), text.size()));
        size_t end = std::min(text.find("\n\n"), 2 * SevenZip::messageLimit);
        if (size_t property = text.find(" = "); property < end) end = text.rfind('\n', property);
        text = text.substr(0, end == std::string_view::npos ? 0 : end);
    }
    listing::forEachLine(text, [&joined](std::string_view piece) {
        std::string line(piece);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        if (line.find_first_not_of(" \t") == std::string::npos) return;
        if (!joined.empty()) joined += "; ";
        joined += line;
    });
    if (joined.empty()) return "7zz exited with status " + std::to_string(outcome.exitStatus);
    return abridged(joined, SevenZip::messageLimit);
}

bool ranOutOfMemory(const ChildOutcome& outcome)
{
    return outcome.standardError.find("allocate required memory") != std::string::npos || outcome.standardError.find("bad_alloc") != std::string::npos;
}

std::string mebibytes(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string launchProblem(const ErrorPtr& error)
{
    if (auto* fileError = dynamic_cast<const FileError*>(error.get())) return std::strerror(fileError->errnoValue());
    return error->description();
}

// The options every run shares, with what is left of the attach's time.
ChildOptions limited(ChildOptions options, std::chrono::steady_clock::time_point deadline, const std::string& what)
{
    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) throw CommandFailure("attach failed - " + what + " took too long and was stopped");
    options.timeLimit = remaining;
    options.errorLimit = SevenZip::messageLimit;
    options.stopOnOutputOverflow = true;
    options.ownProcessGroup = true;
    options.utf8Locale = true;
    return options;
}

ChildOutcome completed(Result<ChildOutcome> outcome, const std::string& program, const std::string& what)
{
    if (!outcome) throw CommandFailure("attach failed - cannot run " + program + ": " + launchProblem(outcome.error()));
    if (outcome->timedOut) throw CommandFailure("attach failed - " + what + " took too long and was stopped");
    return std::move(*outcome);
}

ChildOutcome runWithin(std::chrono::steady_clock::time_point deadline, const std::vector<std::string>& arguments,
    const ChildOptions& options, const std::string& what)
{
    return completed(process::runChild(arguments, limited(options, deadline, what)), arguments[0], what);
}

// A limited run that failed: says why, the limit first.
[[noreturn]] void failed(const ChildOutcome& outcome, const std::string& what, const std::string& otherwise)
{
    if (ranOutOfMemory(outcome) || (!outcome.exited && !outcome.outputOverflowed)) {
        throw CommandFailure("attach failed - " + what + " needs more than " + mebibytes(SevenZip::memoryLimit) + " of memory (" + complaintOf(outcome) + ")");
    }
    throw CommandFailure("attach failed - " + otherwise + " (" + complaintOf(outcome) + ")");
}

// 7-Zip's banner: the first line of its output that is not empty.
std::string_view bannerOf(std::string_view output)
{
    output.remove_prefix(std::min(output.find_first_not_of("\r\n"), output.size()));
    return output.substr(0, output.find('\n'));
}

void checkVersionIn(std::string_view output)
{
    auto version = SevenZip::versionIn(bannerOf(output));
    if (!version) throw CommandFailure("attach failed - cannot tell the version of 7zz");
    if (*version < SevenZip::minimumVersion) {
        throw CommandFailure("attach failed - 7zz " + std::to_string(version->first) + "." + (version->second < 10 ? "0" : "") + std::to_string(version->second) + " is too old; 7-Zip 25.01 or later is needed to read disk images safely");
    }
}

} // namespace

SevenZip::SevenZip(std::chrono::steady_clock::time_point deadline)
    : deadline_(deadline)
{
}

std::optional<std::pair<int, int>> SevenZip::versionIn(std::string_view banner)
{
    auto found = banner.find("7-Zip");
    if (found == std::string_view::npos) return std::nullopt;
    banner.remove_prefix(found + 5);
    auto lineEnd = banner.find('\n');
    banner = banner.substr(0, lineEnd);
    // The first word of the form N.NN; "(z)", "[64]" and the like come before it.
    while (!banner.empty()) {
        banner.remove_prefix(std::min(banner.find_first_not_of(' '), banner.size()));
        auto word = banner.substr(0, banner.find(' '));
        banner.remove_prefix(word.size());
        auto dot = word.find('.');
        if (dot == std::string_view::npos || dot == 0) continue;
        int major = 0;
        int minor = 0;
        auto [majorEnd, majorError] = std::from_chars(word.data(), word.data() + dot, major);
        auto [minorEnd, minorError] = std::from_chars(word.data() + dot + 1, word.data() + word.size(), minor);
        if (majorError == std::errc() && minorError == std::errc() && majorEnd == word.data() + dot && minorEnd == word.data() + word.size()) {
            return std::pair {major, minor};
        }
    }
    return std::nullopt;
}

std::string SevenZip::list(const std::string& image) const
{
    ChildOptions options;
    options.memoryLimit = memoryLimit;
    options.outputLimit = listingLimit;
    auto outcome = runWithin(deadline_, {"7zz", "l", "-slt", "-bd", std::string(pinnedType), image}, options,
        "listing the volume");
    checkVersionIn(outcome.standardOutput);
    if (outcome.outputOverflowed) {
        throw CommandFailure("attach failed - the volume's listing is longer than " + mebibytes(listingLimit));
    }
    if (outcome.exitStatus != 0) failed(outcome, "listing the volume", "no mountable file systems");
    return std::move(outcome.standardOutput);
}

namespace {

constexpr const char* extracting = "reading the volume";

std::vector<std::string> extractionArguments(const std::string& image, const std::filesystem::path& folder)
{
    return {"7zz", "x", "-snld", "-y", "-bd", "-bso0", "-bsp0", std::string(pinnedType), "-o" + folder.string(), image};
}

ChildOptions extractionOptions()
{
    ChildOptions options;
    options.memoryLimit = SevenZip::memoryLimit;
    options.outputLimit = 64 * 1024;
    // A umask of 022: what 7-Zip creates gets the mode stored in the image,
    // less write access for group and others.
    options.umask = 022;
    return options;
}

void checkExtraction(const ChildOutcome& outcome)
{
    if (outcome.exitStatus != 0) failed(outcome, extracting, "cannot read the volume");
}

} // namespace

void SevenZip::extract(const std::string& image, const std::filesystem::path& folder) const
{
    checkExtraction(runWithin(deadline_, extractionArguments(image, folder), extractionOptions(), extracting));
}

SevenZip::Extraction::Extraction(const SevenZip& sevenZip, std::string image, std::filesystem::path folder)
    : sevenZip_(sevenZip)
    , image_(std::move(image))
    , folder_(std::move(folder))
{
    auto options = limited(extractionOptions(), sevenZip_.deadline_, extracting);
    options.writeGate = &gate_;
    // The thread that starts 7-Zip holds it at the gate.
    running_ = std::async(std::launch::async,
        [this, options] { return process::runChild(extractionArguments(image_, folder_), options); });
}

SevenZip::Extraction::~Extraction()
{
    gate_.refuse();
    if (running_.valid()) running_.wait();
}

void SevenZip::Extraction::finish()
{
    gate_.open();
    auto outcome = running_.get();
    if (!outcome && errnoOf(outcome.error()) == process::WriteGate::unavailable) {
        sevenZip_.extract(image_, folder_);
        return;
    }
    checkExtraction(completed(std::move(outcome), "7zz", extracting));
}

} // namespace tavik::hdiutil
