#pragma once

// What the Updates preferences pane shows and does, without drawing it.

#include "platform/publisher/Publisher.hpp"
#include "platform/updater/Updater.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

struct UpdatesPaneState {
    bool automaticallyChecks = false;
    bool automaticallyDownloads = false;
    // The download check box is usable only while automatic checks are on.
    bool automaticDownloadsEnabled = false;
    std::string lastCheckText;
    bool operator==(const UpdatesPaneState&) const = default;
};

// A check box's state as the view reports it.
enum class CheckboxState {
    off = 0,
    on = 1,
    mixed = -1
};

class UpdatesPreferences {
public:
    // Writes one line to standard output.
    using PrintLine = std::function<void(std::string_view)>;

    explicit UpdatesPreferences(std::shared_ptr<updater::Updater> updater, PrintLine printLine = {});

    // "Last check: " with the date and time in medium styles (local time),
    // or "Last check: Never".
    static std::string lastCheckText(std::optional<std::chrono::system_clock::time_point> date);

    // Calls `show` with the pane's state now and on every change of the
    // updater's settings, until the returned subscriptions go.
    std::vector<publisher::AnyCancellable> observe(std::function<void(const UpdatesPaneState&)> show) const;

    // On and off set the updater's setting; another state prints
    // "Unknown checkbox state: " and the state, and changes nothing.
    void automaticallyChecksCheckboxChanged(CheckboxState state) const;
    void automaticallyDownloadsCheckboxChanged(CheckboxState state) const;
    void checkForUpdatesClicked() const { updater_->checkForUpdates(); }

private:
    static UpdatesPaneState stateOf(const updater::Updater& updater);
    std::optional<bool> onOrOff(CheckboxState state) const;

    std::shared_ptr<updater::Updater> updater_;
    PrintLine printLine_;
};

} // namespace tavik
