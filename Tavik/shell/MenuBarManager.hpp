#pragma once

// The tray icon (the menu-bar icon): its menu lists every watched folder with
// its status, and opens the main window, the preferences, or quits. Files
// dropped on it go to the file handler with the status-bar configuration.

#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QMenu>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QMimeData;
class QSystemTrayIcon;

namespace tavik::shell {

class MenuBarManagerDelegate {
public:
    virtual ~MenuBarManagerDelegate() = default;
    virtual void menuBarManagerRequestsMainWindow() = 0;
    virtual void menuBarManagerRequestsPreferences() = 0;
};

class MenuBarManager final : public QObject {
    Q_OBJECT
public:
    // Hands dropped files to the file handler with the status-bar
    // configuration; returns those it handed over (none without one).
    using DropHandler = std::function<std::vector<URL>(const std::vector<URL>&)>;

    MenuBarManager(std::shared_ptr<FileSourceConfigurationsManager> configurations, DropHandler dropHandler,
        QObject* parent = nullptr);
    ~MenuBarManager() override;

    MenuBarManagerDelegate* delegate = nullptr;

    void showStatusItem();
    void hideStatusItem();
    bool isStatusItemShown() const { return statusItem_ != nullptr; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* menu() const { return menu_; }

    // The drop target's two decisions, on the dragged data's file URLs.
    static bool canHandleDrag(const QMimeData& data);
    bool handleDrop(const QMimeData& data);

    void handleMainWindowMenuItem();
    void handlePreferencesMenuItem();

private:
    void rebuildMenu(const FileSourceConfigurationsManager::Configurations& configurations);

    std::shared_ptr<FileSourceConfigurationsManager> configurations_;
    DropHandler dropHandler_;
    QSystemTrayIcon* statusItem_ = nullptr;
    QPointer<QMenu> menu_;
    publisher::AnyCancellable fileSourceConfigurationsCancellable_;
    std::vector<publisher::AnyCancellable> fileSourceConfigurationsStatusCancellables_;
};

} // namespace tavik::shell
