#pragma once

// What the General preferences pane does, without drawing it: the dock and
// menu-bar pop-up kept in step with the setting, and "Launch at login"
// through the launcher's autostart entry.

#include "Tavik/configuration/ApplicationDockIconMenuBarOption.hpp"
#include "persistence/Persister.hpp"
#include "platform/log/Logger.hpp"
#include "platform/loginitem/LoginItem.hpp"
#include "platform/publisher/Publisher.hpp"

#include <functional>
#include <string>
#include <vector>

namespace tavik {

struct DockIconMenuBarPopUp {
    struct Item {
        std::string title;
        std::string rawValue;
    };
    std::vector<Item> items; // the option's cases, in their order
    size_t selectedIndex = 0;
    bool operator==(const DockIconMenuBarPopUp&) const = default;
};

class GeneralPreferences {
public:
    // The launcher's login item: tavik-launcher installed beside tavik's
    // prefix (`<prefix>/bin/tavik` -> `<prefix>/libexec/tavik/tavik-launcher`).
    static LoginItem launcherLoginItem(const std::filesystem::path& tavikExecutable);

    GeneralPreferences(persistence::Persister<ApplicationDockIconMenuBarOption> option, LoginItem launcher);

    // Calls `show` with the pop-up now and again whenever the setting
    // changes, here or elsewhere, until the returned subscription goes.
    publisher::AnyCancellable observeDockIconMenuBarPopUp(std::function<void(const DockIconMenuBarPopUp&)> show) const;
    // The user chose the item with this raw value; an unknown one changes nothing.
    void chooseApplicationDockIconMenuBarOption(const std::string& rawValue) const;

    bool isLaunchAtLoginEnabled() const { return launcher_.isEnabled(); }
    // The check box was clicked (the view shows it mixed meanwhile): turns
    // the login item to the opposite of its state, logs the outcome and
    // answers the state the check box shows now, the old one on failure.
    bool launchAtLoginButtonStateChanged() const;

private:
    persistence::Persister<ApplicationDockIconMenuBarOption> option_;
    LoginItem launcher_;
    log::Logger log_;
};

} // namespace tavik
