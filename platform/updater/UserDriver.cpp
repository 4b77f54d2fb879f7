#include "platform/updater/UserDriver.hpp"

#include <fmt/format.h>

namespace tavik::updater {

StandardUserDriver::StandardUserDriver(Presenter presenter, std::weak_ptr<StandardUserDriverDelegate> delegate)
    : presenter_(std::move(presenter))
    , delegate_(std::move(delegate))
{
}

size_t StandardUserDriver::present(const UpdateAlert& alert)
{
    if (auto delegate = delegate_.lock())
        delegate->standardUserDriverWillShowModalAlert();
    auto chosen = presenter_(alert);
    if (auto delegate = delegate_.lock())
        delegate->standardUserDriverDidShowModalAlert();
    return chosen;
}

void StandardUserDriver::showUpdatePermissionRequest(std::function<void(bool automaticallyCheck)> reply)
{
    auto chosen = present({"Check for updates automatically?",
        "Should Tavik automatically check for updates? You can always check for updates manually from the Preferences.",
        {"Check Automatically", "Don't Check"}, std::nullopt});
    reply(chosen == 0);
}

void StandardUserDriver::showUpdateFound(const AppcastItem& item, std::string_view hostVersion)
{
    present({"A new version of Tavik is available!",
        fmt::format("Tavik {} is now available—you have {}.", item.displayVersion, hostVersion), {"OK"}, item.link});
}

void StandardUserDriver::showUpdateNotFound(std::string_view hostVersion)
{
    present({"You're up to date!", fmt::format("Tavik {} is currently the newest version available.", hostVersion), {"OK"},
        std::nullopt});
}

void StandardUserDriver::showUpdaterError(const ErrorPtr& error)
{
    auto message = error->description();
    if (auto reason = error->failureReason())
        message += "\n\n" + *reason;
    present({"Update Error!", message, {"OK"}, std::nullopt});
}

} // namespace tavik::updater
