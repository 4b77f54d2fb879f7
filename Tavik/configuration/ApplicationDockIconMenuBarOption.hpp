#pragma once

#include "options/UserConfigurationOption.hpp"

namespace tavik {

// Where the application shows its icon. The raw values start with a capital
// letter, unlike those of the per-source options; both are what is stored.
struct ApplicationDockIconMenuBarOptionTable {
    enum Case { menuBarOnly, dockOnly, dockAndMenuBar };
    static constexpr const char* typeName = "ApplicationDockIconMenuBarOption";
    static constexpr options::OptionCase cases[] = {
        { "MenuBarOnly", "Menu Bar Icon Only" },
        { "DockOnly", "Dock Icon Only" },
        { "DockAndMenuBar", "Dock Icon and Menu Bar Icon" },
    };
};
using ApplicationDockIconMenuBarOption = options::RawStringOption<ApplicationDockIconMenuBarOptionTable>;

} // namespace tavik
