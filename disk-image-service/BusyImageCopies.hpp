#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>

namespace tavik::service {

// Copies of images that were attached elsewhere ("Resource busy"), made so
// that they can be attached once more. Each copy has a folder of its own
// under <temporary folder>/busy-copies, so images of the same name never
// clash, with a record of the mount point it is attached at, so that it is
// removed once that mount point is detached.
class BusyImageCopies {
public:
    explicit BusyImageCopies(std::filesystem::path temporaryFolder);

    // Copies the image into a new folder, under the image's own file name,
    // for attaching at the mount point.
    Result<std::filesystem::path> make(const std::filesystem::path& image, const std::filesystem::path& mountPoint);
    // Removes a copy made by `make` (whose attach failed).
    void discard(const std::filesystem::path& copy);
    // Removes the copies attached at the mount point, which was just detached.
    void mountPointDetached(const std::filesystem::path& mountPoint);
    // Removes the copies whose mount point is gone or empty: what an earlier
    // run left behind.
    void removeLeftovers();

private:
    template <typename Wanted>
    void removeCopies(Wanted wanted);

    std::filesystem::path folder_;
};

} // namespace tavik::service
