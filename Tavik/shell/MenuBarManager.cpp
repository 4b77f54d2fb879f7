#include "Tavik/shell/MenuBarManager.hpp"

#include "Tavik/shell/DesktopApplication.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "Tavik/shell/model/StatusMenu.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMimeData>
#include <QSystemTrayIcon>
#include <QUrl>

namespace tavik::shell {

namespace {

std::vector<URL> fileURLs(const QMimeData& data)
{
    std::vector<URL> files;
    for (const auto& url : data.urls()) {
        if (url.isLocalFile())
            files.push_back(URL::fileURL(url.toLocalFile().toStdString()));
    }
    return files;
}

void showStatus(QAction* action, FileSourceConfiguration::Status status)
{
    // Folder items are disabled; their status keeps its colour all the same.
    auto picture = statusIcon(status).pixmap(16, 16);
    QIcon icon;
    icon.addPixmap(picture, QIcon::Normal);
    icon.addPixmap(picture, QIcon::Disabled);
    action->setIcon(icon);
    action->setProperty("statusImage", QString::fromStdString(statusIconName(status)));
}

} // namespace

MenuBarManager::MenuBarManager(std::shared_ptr<FileSourceConfigurationsManager> configurations, DropHandler dropHandler,
    QObject* parent)
    : QObject(parent)
    , configurations_(std::move(configurations))
    , dropHandler_(std::move(dropHandler))
{
    QPointer<MenuBarManager> self(this);
    fileSourceConfigurationsCancellable_ = configurations_->fileSourceConfigurationsPublisher()
                                               .receiveOn(dispatch::DispatchQueue::main())
                                               .sink([self](const FileSourceConfigurationsManager::Configurations& list) {
                                                   if (self)
                                                       self->rebuildMenu(list);
                                               });
}

MenuBarManager::~MenuBarManager()
{
    hideStatusItem();
}

void MenuBarManager::showStatusItem()
{
    if (statusItem_)
        return;
    statusItem_ = new QSystemTrayIcon(this);
    rebuildMenu(configurations_->fileSourceConfigurations());
    statusItem_->setIcon(namedIcon("Menu Bar Icon 22pt"));
    statusItem_->setToolTip("Tavik");
    // A left click opens the same menu, as a menu-bar icon does.
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && menu_)
            menu_->popup(QCursor::pos());
    });
    statusItem_->show();
}

void MenuBarManager::hideStatusItem()
{
    fileSourceConfigurationsStatusCancellables_.clear();
    delete statusItem_;
    statusItem_ = nullptr;
    delete menu_;
}

void MenuBarManager::rebuildMenu(const FileSourceConfigurationsManager::Configurations& configurations)
{
    if (!statusItem_)
        return;
    auto* menu = new QMenu;
    std::vector<publisher::AnyCancellable> statusCancellables;
    for (const auto& item : statusMenuItems(configurations)) {
        switch (item.kind) {
        case StatusMenuItem::Kind::folder: {
            auto* action = menu->addAction(QString::fromStdString(item.title));
            action->setEnabled(false);
            showStatus(action, item.configuration->status());
            QPointer<QAction> weakAction(action);
            statusCancellables.push_back(item.configuration->statusPublisher()
                                             .receiveOn(dispatch::DispatchQueue::main())
                                             .sink([weakAction](const FileSourceConfiguration::Status& status) {
                                                 if (weakAction)
                                                     showStatus(weakAction, status);
                                             }));
            break;
        }
        case StatusMenuItem::Kind::separator:
            menu->addSeparator();
            break;
        case StatusMenuItem::Kind::openMainWindow:
            connect(menu->addAction(QString::fromStdString(item.title)), &QAction::triggered, this,
                &MenuBarManager::handleMainWindowMenuItem);
            break;
        case StatusMenuItem::Kind::preferences: {
            auto* action = menu->addAction(QString::fromStdString(item.title));
            action->setShortcut(QKeySequence("Ctrl+" + QString::fromStdString(item.keyEquivalent)));
            connect(action, &QAction::triggered, this, &MenuBarManager::handlePreferencesMenuItem);
            break;
        }
        case StatusMenuItem::Kind::quit: {
            auto* action = menu->addAction(QString::fromStdString(item.title));
            action->setShortcut(QKeySequence("Ctrl+" + QString::fromStdString(item.keyEquivalent).toUpper()));
            connect(action, &QAction::triggered, qApp, [] { quitDesktopApplication(); });
            break;
        }
        }
    }
    fileSourceConfigurationsStatusCancellables_ = std::move(statusCancellables);
    statusItem_->setContextMenu(menu);
    delete menu_;
    menu_ = menu;
}

bool MenuBarManager::canHandleDrag(const QMimeData& data)
{
    return shell::canHandleDrag(fileURLs(data));
}

bool MenuBarManager::handleDrop(const QMimeData& data)
{
    return !dropHandler_(fileURLs(data)).empty();
}

void MenuBarManager::handleMainWindowMenuItem()
{
    if (delegate)
        delegate->menuBarManagerRequestsMainWindow();
}

void MenuBarManager::handlePreferencesMenuItem()
{
    if (delegate)
        delegate->menuBarManagerRequestsPreferences();
}

} // namespace tavik::shell
