#pragma once

// The left side of the file sources window: one "File Sources" group with a
// row per source (icon, name, status), following the shared list live.

#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QTreeWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavik::shell {

class FileSourcesList final : public QTreeWidget {
    Q_OBJECT
public:
    using Configurations = FileSourceConfigurationsManager::Configurations;

    FileSourcesList(std::shared_ptr<FileSourceConfigurationsManager> manager, QWidget* parent = nullptr);

    // Called with the selected configurations in row order on every change.
    std::function<void(const Configurations&)> selectedFileSourcesUpdateListener;

    Configurations selectedConfigurations() const;
    // Shows the manager's list now, without waiting for its publication.
    void reload();
    // Selects the rows of these ids (and no others).
    void selectConfigurations(const std::vector<std::string>& ids);
    // The row of a source, or null.
    QTreeWidgetItem* row(const std::string& id) const;
    // The "File Sources" group row.
    QTreeWidgetItem* group() const { return group_; }

private:
    void show(const Configurations& configurations);
    void fillRow(QTreeWidgetItem* item, const FileSourceConfigurationPtr& configuration);
    void notifySelection();

    std::shared_ptr<FileSourceConfigurationsManager> manager_;
    Configurations configurations_;
    QTreeWidgetItem* group_;
    publisher::AnyCancellable listCancellable_;
    std::map<std::string, publisher::AnyCancellable> statusCancellables_;
};

} // namespace tavik::shell
