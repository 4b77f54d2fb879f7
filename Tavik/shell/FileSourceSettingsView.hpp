#pragma once

// The right side of the file sources window: the four handling choices and
// the destination of the one selected source, each change stored at once,
// and an overlay covering them unless exactly one source is selected.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfiguration.hpp"
#include "Tavik/shell/ShellDialogs.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;

namespace tavik::shell {

// Swallows the mouse, so that clicks on it do not reach the views behind.
class ClickCapturingView final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

class FileSourceSettingsView final : public QWidget {
    Q_OBJECT
public:
    FileSourceSettingsView(std::shared_ptr<ApplicationsDestinationManager> destinations,
        std::shared_ptr<ShellDialogs> dialogs, QWidget* parent = nullptr);

    // Shows the settings of this source.
    void setEditingFileSourceConfiguration(FileSourceConfigurationPtr configuration);
    const FileSourceConfigurationPtr& editingFileSourceConfiguration() const { return editing_; }
    // Covers the settings with the text, or uncovers them.
    void setOverlayText(const std::optional<std::string>& text);
    std::optional<std::string> overlayText() const;

    // Lets the user pick a new destination folder for the source.
    void chooseNewApplicationDirectory();

    QComboBox* fileFoundActionDropdown() const { return fileFoundAction_; }
    QComboBox* applicationFoundActionDropdown() const { return applicationFoundAction_; }
    QComboBox* applicationCopiedActionDropdown() const { return applicationCopiedAction_; }
    QComboBox* allApplicationsHandledActionDropdown() const { return allApplicationsHandled_; }
    QComboBox* applicationsDestinationDropdown() const { return destination_; }
    QPushButton* chooseNewApplicationDestinationButton() const { return chooseDestination_; }
    QLabel* applicationsDestinationErrorButton() const { return destinationError_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuildDestinations();
    void showErrors(const FileSourceConfiguration::ConfigurationErrors& errors);
    void destinationActivated(int index);

    std::shared_ptr<ApplicationsDestinationManager> destinations_;
    std::shared_ptr<ShellDialogs> dialogs_;
    FileSourceConfigurationPtr editing_;
    QComboBox* fileFoundAction_;
    QComboBox* applicationFoundAction_;
    QComboBox* applicationCopiedAction_;
    QComboBox* allApplicationsHandled_;
    QComboBox* destination_;
    QPushButton* chooseDestination_;
    QLabel* destinationError_;
    ClickCapturingView* overlay_;
    QLabel* overlayLabel_;
    std::vector<publisher::AnyCancellable> cancellables_;
};

} // namespace tavik::shell
