#pragma once

namespace tavik {

// Where a file came from.
enum class FileSource {
    appIcon, // dropped on the application's icon
    statusBarIcon, // dropped on the menu-bar icon
    directory, // appeared in a watched folder
};

} // namespace tavik
