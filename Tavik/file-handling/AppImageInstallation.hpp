#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace tavik {

// Installs a copied AppImage as a desktop application: executable, with a
// launcher entry in the data folder's "applications" made from the
// AppImage's own desktop entry (run through the copy) and its icon in the
// "hicolor" theme, both read from the AppImage without running it.
class AppImageInstallation {
public:
    // The key that marks a launcher entry as ours; its value is the path of
    // the AppImage the entry runs.
    static constexpr std::string_view ownerKey = "X-Tavik-AppImage";
    // A desktop entry or an icon larger than this is not read.
    static constexpr std::size_t maximumEntryBytes = 256 * 1024;
    static constexpr std::size_t maximumIconBytes = 4 * 1024 * 1024;

    // Entries and icons go below dataHome.
    explicit AppImageInstallation(std::filesystem::path dataHome);
    // Below $XDG_DATA_HOME, or ~/.local/share.
    static AppImageInstallation standard();

    // Whether the file at the path (not a link) carries the AppImage magic.
    static bool isAppImage(const std::filesystem::path& path);
    // Owner may execute it; nobody but the owner may write it.
    static Result<void> makeExecutable(const std::filesystem::path& path);

    // Writes (or replaces) the AppImage's launcher entry and icon.
    Result<void> integrate(const std::filesystem::path& appImage) const;
    // Removes our launcher entries (and their icons) whose AppImage is gone;
    // answers how many.
    std::size_t removeStaleEntries() const;

    // Where the entry of the AppImage at this path is written.
    std::filesystem::path entryPath(const std::filesystem::path& appImage) const;
    std::filesystem::path applicationsFolder() const { return dataHome_ / "applications"; }
    std::filesystem::path iconsFolder() const { return dataHome_ / "icons" / "hicolor"; }

    // The entry text for an AppImage copied to appImagePath, from the
    // AppImage's own entry; the icon name replaces its Icon when given.
    static Result<std::string> launcherEntry(std::string_view original, const std::filesystem::path& appImagePath,
        const std::string& iconName);

private:
    std::filesystem::path dataHome_;
};

} // namespace tavik
