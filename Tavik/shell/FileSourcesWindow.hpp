#pragma once

// The main window: the file sources on the left, the selected source's
// settings on the right, and a toolbar that adds and removes watched
// folders. Every change goes straight to the shared managers.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/shell/ShellDialogs.hpp"

#include <QMainWindow>

#include <memory>

class QAction;

namespace tavik::shell {

class FileSourcesList;
class FileSourceSettingsView;

class FileSourcesWindow final : public QMainWindow {
    Q_OBJECT
public:
    FileSourcesWindow(std::shared_ptr<FileSourceConfigurationsManager> configurations,
        std::shared_ptr<ApplicationsDestinationManager> destinations, std::shared_ptr<ShellDialogs> dialogs,
        QWidget* parent = nullptr);

    // Asks for a folder and watches it; an applications folder is confirmed first.
    void addWatchFolder();
    // Asks, then removes the selected watched folders.
    void removeSelectedFileSources();

    FileSourcesList* list() const { return list_; }
    FileSourceSettingsView* settings() const { return settings_; }
    QAction* deleteFileSourceDirectoryToolbarItem() const { return removeAction_; }
    QAction* addFileSourceDirectoryToolbarItem() const { return addAction_; }

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void selectionChanged(const FileSourceConfigurationsManager::Configurations& selected);

    std::shared_ptr<FileSourceConfigurationsManager> configurations_;
    std::shared_ptr<ApplicationsDestinationManager> destinations_;
    std::shared_ptr<ShellDialogs> dialogs_;
    FileSourcesList* list_;
    FileSourceSettingsView* settings_;
    QAction* addAction_;
    QAction* removeAction_;
};

} // namespace tavik::shell
