#include "Tavik/shell/FileSourceSettingsView.hpp"

#include "Tavik/configuration/ApplicationsFolder.hpp"
#include "Tavik/shell/OptionDropdown.hpp"
#include "Tavik/shell/model/FileSourcesSelection.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <cstdio>

namespace tavik::shell {

namespace {

constexpr int chooseNewItemRole = Qt::UserRole + 1;

QComboBox* makeDropdown(QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    box->setMinimumWidth(260);
    return box;
}

} // namespace

void ClickCapturingView::mousePressEvent(QMouseEvent* event)
{
    event->accept();
}

void ClickCapturingView::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
}

void ClickCapturingView::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
}

void ClickCapturingView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // Opaque: the settings of no or several sources would only read as clutter.
    painter.fillRect(rect(), palette().color(QPalette::Window));
}

FileSourceSettingsView::FileSourceSettingsView(std::shared_ptr<ApplicationsDestinationManager> destinations,
    std::shared_ptr<ShellDialogs> dialogs, QWidget* parent)
    : QWidget(parent)
    , destinations_(std::move(destinations))
    , dialogs_(std::move(dialogs))
{
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setFormAlignment(Qt::AlignHCenter | Qt::AlignTop);
    form->setHorizontalSpacing(12);
    form->setVerticalSpacing(10);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);

    fileFoundAction_ = makeDropdown(this);
    applicationFoundAction_ = makeDropdown(this);
    applicationCopiedAction_ = makeDropdown(this);
    allApplicationsHandled_ = makeDropdown(this);
    form->addRow("When a file is found:", fileFoundAction_);
    form->addRow("When applications are found:", applicationFoundAction_);
    form->addRow("When applications are copied:", applicationCopiedAction_);
    form->addRow("When all are handled:", allApplicationsHandled_);

    auto* destinationRow = new QHBoxLayout;
    destinationRow->setSpacing(6);
    destination_ = makeDropdown(this);
    chooseDestination_ = new QPushButton("Choose Directory...", this);
    destinationError_ = new QLabel(this);
    destinationError_->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(18, 18));
    destinationRow->addWidget(destination_);
    destinationRow->addWidget(chooseDestination_);
    destinationRow->addWidget(destinationError_);
    destinationRow->addStretch();
    form->addRow("Copy applications to:", destinationRow);
    chooseDestination_->hide();
    destinationError_->hide();

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 24, 24);
    outer->addLayout(form);
    outer->addStretch();

    connect(chooseDestination_, &QPushButton::clicked, this, [this] { chooseNewApplicationDirectory(); });
    connect(destination_, &QComboBox::activated, this, &FileSourceSettingsView::destinationActivated);

    overlay_ = new ClickCapturingView(this);
    overlayLabel_ = new QLabel(overlay_);
    overlayLabel_->setAlignment(Qt::AlignCenter);
    auto font = overlayLabel_->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    overlayLabel_->setFont(font);
    overlayLabel_->setForegroundRole(QPalette::PlaceholderText);
    auto* overlayLayout = new QVBoxLayout(overlay_);
    overlayLayout->addWidget(overlayLabel_);
    overlay_->raise();
}

void FileSourceSettingsView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    overlay_->setGeometry(rect());
}

void FileSourceSettingsView::setOverlayText(const std::optional<std::string>& text)
{
    overlayLabel_->setText(QString::fromStdString(text.value_or("")));
    overlay_->setVisible(text.has_value());
    overlay_->raise();
}

std::optional<std::string> FileSourceSettingsView::overlayText() const
{
    if (overlay_->isHidden())
        return std::nullopt;
    return overlayLabel_->text().toStdString();
}

void FileSourceSettingsView::setEditingFileSourceConfiguration(FileSourceConfigurationPtr configuration)
{
    cancellables_.clear();
    editing_ = std::move(configuration);
    if (!editing_)
        return;
    bindOption(fileFoundAction_, editing_->fileFoundAction(), cancellables_);
    bindOption(applicationFoundAction_, editing_->applicationFoundAction(), cancellables_);
    bindOption(applicationCopiedAction_, editing_->applicationCopiedAction(), cancellables_);
    bindOption(allApplicationsHandled_, editing_->allApplicationsHandled(), cancellables_);
    rebuildDestinations();

    QPointer<FileSourceSettingsView> self(this);
    cancellables_.push_back(editing_->destinationBookmarkUUID()
                                .valuePublisher()
                                .receiveOn(dispatch::DispatchQueue::main())
                                .sink([self](const std::optional<UUID>&) {
                                    if (self)
                                        self->rebuildDestinations();
                                }));
    cancellables_.push_back(editing_->configurationErrorsPublisher()
                                .receiveOn(dispatch::DispatchQueue::main())
                                .sink([self](const FileSourceConfiguration::ConfigurationErrors& errors) {
                                    if (self)
                                        self->showErrors(errors);
                                }));
    showErrors(editing_->configurationErrors());
}

void FileSourceSettingsView::rebuildDestinations()
{
    if (!editing_)
        return;
    auto menu = destinationMenu(destinations_->destinations(), editing_->destinationBookmarkUUID().currentValue());
    destination_->setVisible(!menu.showsChooseButton);
    chooseDestination_->setVisible(menu.showsChooseButton);

    QSignalBlocker blocker(destination_);
    destination_->clear();
    for (const auto& item : menu.items)
        destination_->addItem(QString::fromStdString(item.title), QString::fromStdString(item.uuid.uuidString()));
    destination_->insertSeparator(destination_->count());
    destination_->addItem("Choose new directory...");
    destination_->setItemData(destination_->count() - 1, true, chooseNewItemRole);
    destination_->setCurrentIndex(menu.selectedIndex ? static_cast<int>(*menu.selectedIndex) : -1);
}

void FileSourceSettingsView::destinationActivated(int index)
{
    if (!editing_)
        return;
    if (destination_->itemData(index, chooseNewItemRole).toBool()) {
        chooseNewApplicationDirectory();
        return;
    }
    auto uuid = UUID::fromString(destination_->itemData(index).toString().toStdString());
    if (!uuid)
        return;
    if (auto stored = editing_->destinationBookmarkUUID().store(*uuid); !stored)
        std::printf("Failed to store the destination: %s\n", stored.error()->description().c_str());
}

void FileSourceSettingsView::chooseNewApplicationDirectory()
{
    auto configuration = editing_;
    if (!configuration)
        return;
    auto folder = dialogs_->chooseFolder(window(), "Folder to move found applications", "Choose");
    if (!folder) {
        rebuildDestinations(); // the pop-up shows the source's destination again
        return;
    }
    auto url = URL::fileURL(*folder, true);
    if (!isApplicationsFolder(url)
        && dialogs_->runAlert(window(), nonApplicationsDestinationConfirmation(folder->string()))
            != alerts::alertFirstButtonReturn) {
        rebuildDestinations();
        return;
    }
    auto destination = destinations_->destination(url);
    if (!destination) {
        std::printf("Failed to get bookmark data %s\n", destination.error()->description().c_str());
        std::fflush(stdout);
        rebuildDestinations();
        return;
    }
    if (auto stored = configuration->destinationBookmarkUUID().store((*destination)->uuid()); !stored)
        std::printf("Failed to store the destination: %s\n", stored.error()->description().c_str());
    configuration->updateConfigurationErrors(*destinations_);
    rebuildDestinations();
}

void FileSourceSettingsView::showErrors(const FileSourceConfiguration::ConfigurationErrors& errors)
{
    auto toolTip = configurationErrorsToolTip(errors);
    destinationError_->setVisible(toolTip.has_value());
    destinationError_->setToolTip(QString::fromStdString(toolTip.value_or("")));
}

} // namespace tavik::shell
