#pragma once

// The first-run introduction: one step at a time (its title, caption and,
// where the step asks for one, a folder button that opens a folder dialog or
// takes a dropped folder), with "Previous" and "Next"/"Skip"/"Done" below.

#include "Tavik/shell/ShellDialogs.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QPushButton;

namespace tavik {
class InitialSetup;
class IntroStep;
class IntroStepProvider;
} // namespace tavik

namespace tavik::shell {

class IntroWindow final : public QWidget {
    Q_OBJECT
public:
    // Without `closable` the window can only be left by completing the setup;
    // "Done" finishes the setup and then calls `completion`.
    IntroWindow(std::shared_ptr<InitialSetup> setup, std::unique_ptr<IntroStepProvider> steps,
        std::shared_ptr<ShellDialogs> dialogs, bool closable, std::function<void()> completion);
    ~IntroWindow() override;

    const IntroStepProvider& steps() const { return *provider_; }
    // Hands the folder to the current step's choice; an error shows in an alert.
    void chooseFolder(const URL& folder);

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void showStep(const std::shared_ptr<IntroStep>& step);
    void updateButtons();
    void openFolderDialog();
    void primaryClicked();

    std::shared_ptr<InitialSetup> setup_;
    std::unique_ptr<IntroStepProvider> provider_;
    std::shared_ptr<ShellDialogs> dialogs_;
    bool closable_;
    bool completed_ = false;
    std::function<void()> completion_;
    QLabel* title_;
    QLabel* caption_;
    QPushButton* folderButton_;
    QPushButton* previousButton_;
    QPushButton* primaryButton_;
    std::vector<publisher::AnyCancellable> cancellables_;
    publisher::AnyCancellable stepCompletion_;
};

} // namespace tavik::shell
