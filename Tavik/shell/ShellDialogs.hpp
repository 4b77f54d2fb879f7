#pragma once

// The modal questions the windows ask: a folder chooser and alerts. The
// windows take them through this interface, so that their logic can be
// driven without a person at the screen.

#include "platform/alerts/AlertPresenter.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class QWidget;

namespace tavik::shell {

class ShellDialogs {
public:
    virtual ~ShellDialogs() = default;
    // A folder chosen in an open panel showing `message`, its confirm button
    // titled `prompt`, starting in `start` (else the home folder); nothing
    // when cancelled.
    virtual std::optional<std::filesystem::path> chooseFolder(QWidget* parent, const std::string& message,
        const std::string& prompt, const std::optional<std::filesystem::path>& start = std::nullopt)
        = 0;
    virtual alerts::ModalResponse runAlert(QWidget* parent, const alerts::Alert& alert) = 0;

    // QFileDialog and QMessageBox.
    static std::shared_ptr<ShellDialogs> qt();
};

} // namespace tavik::shell
