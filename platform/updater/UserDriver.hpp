#pragma once

// What the updater shows the user. The standard driver turns each event into
// an alert that the desktop shell presents (modally) and tells its delegate
// around every alert; installing a release is out of our hands, so a found
// release is offered as its version and a link to its page.

#include "platform/foundation/Error.hpp"
#include "platform/updater/Appcast.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::updater {

class UpdateUserDriver {
public:
    virtual ~UpdateUserDriver() = default;
    // Asks whether to check for updates automatically; `reply` takes the answer.
    virtual void showUpdatePermissionRequest(std::function<void(bool automaticallyCheck)> reply) = 0;
    virtual void showUpdateFound(const AppcastItem& item, std::string_view hostVersion) = 0;
    // Only after a check the user asked for.
    virtual void showUpdateNotFound(std::string_view hostVersion) = 0;
    virtual void showUpdaterError(const ErrorPtr& error) = 0;
};

struct UpdateAlert {
    std::string title;
    std::string message;
    std::vector<std::string> buttons; // the first is the default
    std::optional<std::string> link; // a https page to offer
};

class StandardUserDriverDelegate {
public:
    virtual ~StandardUserDriverDelegate() = default;
    virtual void standardUserDriverWillShowModalAlert() {}
    virtual void standardUserDriverDidShowModalAlert() {}
};

class StandardUserDriver final : public UpdateUserDriver {
public:
    // Shows the alert until the user closes it; answers the chosen button's index.
    using Presenter = std::function<size_t(const UpdateAlert&)>;

    StandardUserDriver(Presenter presenter, std::weak_ptr<StandardUserDriverDelegate> delegate);

    void showUpdatePermissionRequest(std::function<void(bool automaticallyCheck)> reply) override;
    void showUpdateFound(const AppcastItem& item, std::string_view hostVersion) override;
    void showUpdateNotFound(std::string_view hostVersion) override;
    void showUpdaterError(const ErrorPtr& error) override;

private:
    size_t present(const UpdateAlert& alert);

    Presenter presenter_;
    std::weak_ptr<StandardUserDriverDelegate> delegate_;
};

} // namespace tavik::updater
