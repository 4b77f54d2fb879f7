#pragma once

// Small stand-ins for the setup introduction and the preferences window,
// until their full versions exist: the introduction chooses the destination
// and the watched folder and completes the setup; the preferences choose
// where Tavik shows its icon.

#include "Tavik/shell/ShellDialogs.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class QLabel;

namespace tavik {
class InitialSetup;
}

namespace tavik::shell {

class IntroWindow final : public QWidget {
    Q_OBJECT
public:
    // Without `closable` the window can only be left by completing the setup.
    IntroWindow(std::shared_ptr<InitialSetup> setup, std::shared_ptr<ShellDialogs> dialogs, bool closable,
        std::function<void()> completion);

    // Applies the chosen folders and, when they took, calls the completion.
    bool getStarted();
    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& watchedFolder() const { return watchedFolder_; }

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<InitialSetup> setup_;
    std::shared_ptr<ShellDialogs> dialogs_;
    bool closable_;
    bool completed_ = false;
    std::function<void()> completion_;
    std::filesystem::path destination_;
    std::filesystem::path watchedFolder_;
};

class PreferencesWindow final : public QWidget {
    Q_OBJECT
public:
    PreferencesWindow();

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::vector<publisher::AnyCancellable> cancellables_;
};

} // namespace tavik::shell
