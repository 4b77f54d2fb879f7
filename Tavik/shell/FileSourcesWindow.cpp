#include "Tavik/shell/FileSourcesWindow.hpp"

#include "Tavik/configuration/ApplicationsFolder.hpp"
#include "Tavik/shell/FileSourceSettingsView.hpp"
#include "Tavik/shell/FileSourcesList.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "Tavik/shell/model/FileSourcesSelection.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <QAction>
#include <QCloseEvent>
#include <QSplitter>
#include <QStyle>
#include <QToolBar>

#include <cstdio>
#include <set>

namespace tavik::shell {

namespace {

// The window's frame is kept in the user defaults between runs.
constexpr const char* frameKey = "NSWindow Frame FileSources";

// A new folder copies into the destination the dock icon uses, else into
// the first one known, so that it is watched from the start.
std::optional<UUID> destinationForNewFolder(const FileSourceConfigurationsManager& configurations,
    const ApplicationsDestinationManager& destinations)
{
    for (const auto& configuration : configurations.fileSourceConfigurations()) {
        if (configuration->fileSource() != FileSource::appIcon)
            continue;
        if (auto uuid = configuration->destinationBookmarkUUID().currentValue(); uuid && destinations.destination(*uuid))
            return uuid;
    }
    auto known = destinations.destinations();
    if (!known.empty())
        return known.front()->uuid();
    return std::nullopt;
}

} // namespace

FileSourcesWindow::FileSourcesWindow(std::shared_ptr<FileSourceConfigurationsManager> configurations,
    std::shared_ptr<ApplicationsDestinationManager> destinations, std::shared_ptr<ShellDialogs> dialogs, QWidget* parent)
    : QMainWindow(parent)
    , configurations_(std::move(configurations))
    , destinations_(std::move(destinations))
    , dialogs_(std::move(dialogs))
{
    setWindowTitle("Tavik");
    setWindowIcon(applicationIcon());
    setObjectName("FileSources");

    auto* toolbar = addToolBar("File Sources");
    toolbar->setObjectName("FileSourcesToolbar");
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addAction_ = toolbar->addAction(QIcon::fromTheme("list-add", style()->standardIcon(QStyle::SP_FileDialogNewFolder)),
        "Add Folder...");
    addAction_->setToolTip("Watch another folder for downloaded applications");
    removeAction_ = toolbar->addAction(QIcon::fromTheme("list-remove", style()->standardIcon(QStyle::SP_TrashIcon)),
        "Remove");
    removeAction_->setToolTip("Stop watching the selected folders");
    removeAction_->setShortcut(QKeySequence::Delete);
    connect(addAction_, &QAction::triggered, this, [this] { addWatchFolder(); });
    connect(removeAction_, &QAction::triggered, this, [this] { removeSelectedFileSources(); });

    auto* splitter = new QSplitter(this);
    list_ = new FileSourcesList(configurations_, splitter);
    settings_ = new FileSourceSettingsView(destinations_, dialogs_, splitter);
    splitter->addWidget(list_);
    splitter->addWidget(settings_);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({300, 580});
    splitter->setChildrenCollapsible(false);
    list_->setMinimumWidth(220);
    setCentralWidget(splitter);
    resize(900, 440);

    if (auto frame = defaults::UserDefaults::standard()->object(frameKey); frame && frame->data()) {
        const auto& bytes = *frame->data();
        restoreGeometry(QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
    }

    list_->selectedFileSourcesUpdateListener = [this](const FileSourceConfigurationsManager::Configurations& selected) {
        selectionChanged(selected);
    };
    selectionChanged(list_->selectedConfigurations());
}

void FileSourcesWindow::selectionChanged(const FileSourceConfigurationsManager::Configurations& selected)
{
    auto state = selectionState(selected);
    removeAction_->setEnabled(state.removeEnabled);
    settings_->setOverlayText(state.overlayText);
    if (state.editing)
        settings_->setEditingFileSourceConfiguration(state.editing);
}

void FileSourcesWindow::addWatchFolder()
{
    auto folder = dialogs_->chooseFolder(this, "Folder to watch for applications", "Add Folder");
    if (!folder)
        return;
    auto url = URL::fileURL(*folder, true);
    if (isApplicationsFolder(url)
        && dialogs_->runAlert(this, watchApplicationsFolderConfirmation(folder->string())) != alerts::alertFirstButtonReturn)
        return;
    auto added = configurations_->addFolder(url, destinationForNewFolder(*configurations_, *destinations_));
    if (!added) {
        std::printf("Failed to get bookmark data %s\n", added.error()->description().c_str());
        std::fflush(stdout);
        return;
    }
    (*added)->updateConfigurationErrors(*destinations_);
    list_->reload(); // the published list reaches the list later
    list_->selectConfigurations({(*added)->id()});
}

void FileSourcesWindow::removeSelectedFileSources()
{
    auto removable = removableSources(list_->selectedConfigurations());
    if (removable.empty())
        return;
    if (dialogs_->runAlert(this, removalConfirmation(removable)) != alerts::alertFirstButtonReturn)
        return;
    std::set<std::string> ids;
    for (const auto& configuration : removable)
        ids.insert(configuration->id());
    auto removed = configurations_->removeConfigurations(
        [&](const FileSourceConfiguration& configuration) { return ids.contains(configuration.id()); });
    if (!removed)
        dialogs_->runAlert(this, alerts::Alert::withError(removed.error()));
}

void FileSourcesWindow::closeEvent(QCloseEvent* event)
{
    auto frame = saveGeometry();
    (void)defaults::UserDefaults::standard()->set(frameKey,
        plist::Data(reinterpret_cast<const uint8_t*>(frame.constData()), reinterpret_cast<const uint8_t*>(frame.constData()) + frame.size()));
    event->accept();
    emit closed();
}

} // namespace tavik::shell
