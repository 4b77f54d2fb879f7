#pragma once

// Modal alerts as Qt message boxes: the message, the informative text and
// the buttons in the order given, answered with the response codes of
// AlertPresenter (1000 for the first button, 0 when closed without one).

#include "platform/alerts/AlertPresenter.hpp"
#include "platform/updater/UserDriver.hpp"

#include <cstddef>

class QWidget;

namespace tavik::shell {

class QtAlertPresenter final : public alerts::AlertPresenter {
public:
    alerts::ModalResponse runModal(const alerts::Alert& alert) override;
    // Runs the alert over a window (as a sheet would be), or on its own.
    static alerts::ModalResponse runModal(const alerts::Alert& alert, QWidget* parent);
};

// An updater alert as a message box, its link under the message; answers the
// chosen button's index, the last (the declining) one when closed without one.
size_t presentUpdateAlert(const updater::UpdateAlert& alert);

} // namespace tavik::shell
