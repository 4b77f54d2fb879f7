#include "Tavik/preferences/UpdatesPreferences.hpp"

#include <cstdio>
#include <ctime>

namespace tavik {

namespace {

void printToStandardOutput(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

UpdatesPreferences::UpdatesPreferences(std::shared_ptr<updater::Updater> updater, PrintLine printLine)
    : updater_(std::move(updater))
    , printLine_(printLine ? std::move(printLine) : PrintLine(printToStandardOutput))
{
}

std::string UpdatesPreferences::lastCheckText(std::optional<std::chrono::system_clock::time_point> date)
{
    if (!date)
        return "Last check: Never";
    std::time_t time = std::chrono::system_clock::to_time_t(*date);
    std::tm local {};
    ::localtime_r(&time, &local);
    // Medium date and time styles, as in "Dec 7, 2026 at 1:40:38 AM".
    char text[64];
    std::strftime(text, sizeof text, "%b %e, %Y at %l:%M:%S %p", &local);
    std::string formatted = text;
    // %e and %l pad single digits with a space.
    for (auto position = formatted.find("  "); position != std::string::npos; position = formatted.find("  "))
        formatted.erase(position, 1);
    if (formatted.starts_with(' '))
        formatted.erase(0, 1);
    return "Last check: " + formatted;
}

UpdatesPaneState UpdatesPreferences::stateOf(const updater::Updater& updater)
{
    UpdatesPaneState state;
    state.automaticallyChecks = updater.automaticallyChecksForUpdates();
    state.automaticallyDownloads = updater.automaticallyDownloadsUpdates();
    state.automaticDownloadsEnabled = state.automaticallyChecks;
    state.lastCheckText = lastCheckText(updater.lastUpdateCheckDate());
    return state;
}

std::vector<publisher::AnyCancellable> UpdatesPreferences::observe(std::function<void(const UpdatesPaneState&)> show) const
{
    auto shared = std::make_shared<std::function<void(const UpdatesPaneState&)>>(std::move(show));
    std::weak_ptr<updater::Updater> weakUpdater = updater_;
    auto refresh = [weakUpdater, shared] {
        if (auto updater = weakUpdater.lock())
            (*shared)(stateOf(*updater));
    };
    std::vector<publisher::AnyCancellable> subscriptions;
    subscriptions.push_back(updater_->automaticallyChecksForUpdatesPublisher().sink([refresh](bool) { refresh(); }));
    subscriptions.push_back(updater_->automaticallyDownloadsUpdatesPublisher().sink([refresh](bool) { refresh(); }));
    subscriptions.push_back(updater_->lastUpdateCheckDatePublisher().sink(
        [refresh](const std::optional<std::chrono::system_clock::time_point>&) { refresh(); }));
    return subscriptions;
}

std::optional<bool> UpdatesPreferences::onOrOff(CheckboxState state) const
{
    switch (state) {
    case CheckboxState::on:
        return true;
    case CheckboxState::off:
        return false;
    default:
        printLine_("Unknown checkbox state: " + std::to_string(static_cast<int>(state)));
        return std::nullopt;
    }
}

void UpdatesPreferences::automaticallyChecksCheckboxChanged(CheckboxState state) const
{
    if (auto enabled = onOrOff(state))
        updater_->setAutomaticallyChecksForUpdates(*enabled);
}

void UpdatesPreferences::automaticallyDownloadsCheckboxChanged(CheckboxState state) const
{
    if (auto enabled = onOrOff(state))
        updater_->setAutomaticallyDownloadsUpdates(*enabled);
}

} // namespace tavik
