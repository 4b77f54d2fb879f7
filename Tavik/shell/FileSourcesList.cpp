#include "Tavik/shell/FileSourcesList.hpp"

#include "Tavik/shell/ShellIcons.hpp"
#include "Tavik/shell/model/FileSourcesSelection.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QPointer>

#include <filesystem>
#include <set>

namespace tavik::shell {

namespace {

constexpr int nameColumn = 0;
constexpr int statusColumn = 1;
constexpr int idRole = Qt::UserRole;

QIcon folderIcon(const FileSourceConfiguration& configuration)
{
    static QFileIconProvider provider;
    auto url = configuration.watchDirectoryURL();
    if (!url)
        return provider.icon(QFileIconProvider::Folder);
    std::error_code error;
    auto resolved = std::filesystem::canonical(url->path(), error);
    return provider.icon(QFileInfo(QString::fromStdString((error ? url->path() : resolved).string())));
}

} // namespace

FileSourcesList::FileSourcesList(std::shared_ptr<FileSourceConfigurationsManager> manager, QWidget* parent)
    : QTreeWidget(parent)
    , manager_(std::move(manager))
{
    setColumnCount(2);
    setHeaderHidden(true);
    // A folder's name is its path: cut in the middle so its last folders stay readable.
    setTextElideMode(Qt::ElideMiddle);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(nameColumn, QHeaderView::Stretch);
    header()->setSectionResizeMode(statusColumn, QHeaderView::Fixed);
    header()->resizeSection(statusColumn, 30);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setIconSize(QSize(24, 24));
    setRootIsDecorated(false);
    setFrameShape(QFrame::NoFrame);

    group_ = new QTreeWidgetItem(this, {"File Sources"});
    group_->setFlags(Qt::ItemIsEnabled); // the group cannot be selected
    auto font = group_->font(nameColumn);
    font.setBold(true);
    group_->setFont(nameColumn, font);
    group_->setForeground(nameColumn, palette().color(QPalette::PlaceholderText));
    group_->setExpanded(true);
    group_->setSizeHint(nameColumn, QSize(0, 26));

    connect(this, &QTreeWidget::itemSelectionChanged, this, &FileSourcesList::notifySelection);

    QPointer<FileSourcesList> self(this);
    listCancellable_ = manager_->fileSourceConfigurationsPublisher()
                           .receiveOn(dispatch::DispatchQueue::main())
                           .sink([self](const Configurations& configurations) {
                               if (self)
                                   self->show(configurations);
                           });
    // The first list arrives through the main queue; show the current one now.
    reload();
}

void FileSourcesList::reload()
{
    show(manager_->fileSourceConfigurations());
}

void FileSourcesList::show(const Configurations& configurations)
{
    std::vector<std::string> selectedIDs;
    for (const auto& configuration : selectedConfigurations())
        selectedIDs.push_back(configuration->id());

    {
        QSignalBlocker blocker(this);
        configurations_ = configurations;
        statusCancellables_.clear();
        qDeleteAll(group_->takeChildren());
        for (const auto& configuration : configurations) {
            auto* item = new QTreeWidgetItem(group_);
            fillRow(item, configuration);
        }
        group_->setExpanded(true);
    }
    // Sources that are still there keep their selection.
    selectConfigurations(selectedIDs);
}

void FileSourcesList::fillRow(QTreeWidgetItem* item, const FileSourceConfigurationPtr& configuration)
{
    auto name = QString::fromStdString(configuration->displayName().currentValue());
    item->setText(nameColumn, name);
    item->setToolTip(nameColumn, name);
    item->setData(nameColumn, idRole, QString::fromStdString(configuration->id()));
    auto resource = rowIconResource(configuration->fileSource());
    item->setIcon(nameColumn, resource ? namedIcon(*resource) : folderIcon(*configuration));
    item->setIcon(statusColumn, statusIcon(configuration->status()));
    item->setSizeHint(nameColumn, QSize(0, 32));
    item->setSizeHint(statusColumn, QSize(28, 32));

    QPointer<FileSourcesList> self(this);
    statusCancellables_[configuration->id()] = configuration->statusPublisher()
                                                   .receiveOn(dispatch::DispatchQueue::main())
                                                   .sink([self, id = configuration->id()](const FileSourceConfiguration::Status& status) {
                                                       if (!self)
                                                           return;
                                                       if (auto* row = self->row(id))
                                                           row->setIcon(statusColumn, statusIcon(status));
                                                   });
}

FileSourcesList::Configurations FileSourcesList::selectedConfigurations() const
{
    Configurations selected;
    for (int index = 0; index < group_->childCount(); ++index) {
        if (group_->child(index)->isSelected() && index < static_cast<int>(configurations_.size()))
            selected.push_back(configurations_[index]);
    }
    return selected;
}

void FileSourcesList::selectConfigurations(const std::vector<std::string>& ids)
{
    std::set<std::string> wanted(ids.begin(), ids.end());
    {
        QSignalBlocker blocker(this);
        clearSelection();
        QTreeWidgetItem* current = nullptr;
        for (int index = 0; index < group_->childCount(); ++index) {
            auto* item = group_->child(index);
            if (wanted.contains(item->data(nameColumn, idRole).toString().toStdString())) {
                item->setSelected(true);
                current = current ? current : item;
            }
        }
        // The keyboard focus sits on a selected row, never on the group.
        selectionModel()->setCurrentIndex(current ? indexFromItem(current) : QModelIndex(), QItemSelectionModel::NoUpdate);
    }
    notifySelection();
}

QTreeWidgetItem* FileSourcesList::row(const std::string& id) const
{
    for (int index = 0; index < group_->childCount(); ++index) {
        auto* item = group_->child(index);
        if (item->data(nameColumn, idRole).toString().toStdString() == id)
            return item;
    }
    return nullptr;
}

void FileSourcesList::notifySelection()
{
    if (selectedFileSourcesUpdateListener)
        selectedFileSourcesUpdateListener(selectedConfigurations());
}

} // namespace tavik::shell
