#pragma once

#include "platform/foundation/Error.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tavik::alerts {

// What a modal alert run returns.
using ModalResponse = long;
inline constexpr ModalResponse alertFirstButtonReturn = 1000;
inline constexpr ModalResponse alertSecondButtonReturn = 1001;
inline constexpr ModalResponse alertThirdButtonReturn = 1002;
// The alert was closed without choosing a button.
inline constexpr ModalResponse modalResponseCancel = 0;

// A modal alert: a message, an informative text and buttons in order. With
// no buttons the presenter shows one "OK" button.
struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;

    // The alert that reports an error: its description, and its failure
    // reason when it has one.
    static Alert withError(const ErrorPtr& error);
};

// Shows modal alerts. runModal blocks until the user has answered and returns
// alertFirstButtonReturn + i for the i-th button, or modalResponseCancel.
// Alerts are run from the main queue only.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual ModalResponse runModal(const Alert& alert) = 0;

    // The process's presenter: the one installed with setCurrent (the
    // graphical shell installs its own), else the controlling terminal's,
    // else one that answers "dismissed".
    static std::shared_ptr<AlertPresenter> current();
    static void setCurrent(std::shared_ptr<AlertPresenter> presenter);
};

// Asks on a terminal: prints the alert with numbered choices and reads the
// number of the chosen button; an empty line or the end of input dismisses.
class TerminalAlertPresenter final : public AlertPresenter {
public:
    // Reads from `input` and writes to `output`; closes them at the end when
    // told it owns them.
    TerminalAlertPresenter(int input, int output, bool ownsDescriptors = false);
    ~TerminalAlertPresenter() override;
    TerminalAlertPresenter(const TerminalAlertPresenter&) = delete;
    TerminalAlertPresenter& operator=(const TerminalAlertPresenter&) = delete;

    // The presenter on the controlling terminal; null when there is none.
    static std::shared_ptr<TerminalAlertPresenter> openControllingTerminal();

    ModalResponse runModal(const Alert& alert) override;

private:
    void write(const std::string& text);
    // One line without its newline; nothing at the end of input.
    bool readLine(std::string& line);

    int input_;
    int output_;
    bool ownsDescriptors_;
};

// For a process without any user interface: logs the alert and answers as if
// it had been dismissed.
class NoInterfaceAlertPresenter final : public AlertPresenter {
public:
    ModalResponse runModal(const Alert& alert) override;
};

} // namespace tavik::alerts
