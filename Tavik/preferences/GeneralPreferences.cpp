#include "Tavik/preferences/GeneralPreferences.hpp"

#include "launcher/LauncherBus.hpp"

namespace tavik {

namespace {

DockIconMenuBarPopUp popUpFor(const ApplicationDockIconMenuBarOption& selected)
{
    DockIconMenuBarPopUp popUp;
    for (const auto& option : ApplicationDockIconMenuBarOption::allCases()) {
        if (option == selected)
            popUp.selectedIndex = popUp.items.size();
        popUp.items.push_back({option.title(), option.rawValue()});
    }
    return popUp;
}

} // namespace

LoginItem GeneralPreferences::launcherLoginItem(const std::filesystem::path& tavikExecutable)
{
    auto prefix = tavikExecutable.parent_path().parent_path();
    return LoginItem(launcher::LauncherBus::launcherName, "Tavik Launcher", prefix / "libexec" / "tavik" / "tavik-launcher");
}

GeneralPreferences::GeneralPreferences(persistence::Persister<ApplicationDockIconMenuBarOption> option, LoginItem launcher)
    : option_(std::move(option))
    , launcher_(std::move(launcher))
    , log_("app.tavik.Tavik", "General Preferences")
{
}

publisher::AnyCancellable GeneralPreferences::observeDockIconMenuBarPopUp(std::function<void(const DockIconMenuBarPopUp&)> show) const
{
    return option_.valuePublisher().sink([show = std::move(show)](const ApplicationDockIconMenuBarOption& option) { show(popUpFor(option)); });
}

void GeneralPreferences::chooseApplicationDockIconMenuBarOption(const std::string& rawValue) const
{
    if (auto option = ApplicationDockIconMenuBarOption::fromRawValue(rawValue))
        (void)option_.store(*option);
}

bool GeneralPreferences::launchAtLoginButtonStateChanged() const
{
    bool was = launcher_.isEnabled();
    auto changed = launcher_.setEnabled(!was);
    if (!changed) {
        log_.defaultLevel("{}", was ? "Failed to disable launcher as a login item" : "Failed to enable launcher as a login item");
        log_.error("{}", changed.error()->description());
        return was;
    }
    log_.defaultLevel("{}", was ? "Launcher has been disabled as a login item" : "Launcher has been enabled as a login item");
    return !was;
}

} // namespace tavik
