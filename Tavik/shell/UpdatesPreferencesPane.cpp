#include "Tavik/shell/UpdatesPreferencesPane.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavik::shell {

namespace {

CheckboxState checkboxState(int state)
{
    switch (static_cast<Qt::CheckState>(state)) {
    case Qt::Unchecked:
        return CheckboxState::off;
    case Qt::Checked:
        return CheckboxState::on;
    case Qt::PartiallyChecked:
        break;
    }
    return CheckboxState::mixed;
}

} // namespace

UpdatesPreferencesPane::UpdatesPreferencesPane(std::shared_ptr<updater::Updater> updater)
    : automaticallyChecks_(new QCheckBox("Automatically check for updates"))
    , automaticallyDownloads_(new QCheckBox("Automatically download updates"))
    , lastCheck_(new QLabel(QString::fromStdString(UpdatesPreferences::lastCheckText(std::nullopt))))
    , checkNow_(new QPushButton("Check for Updates"))
{
    automaticallyChecks_->setObjectName("automaticallyChecks");
    automaticallyDownloads_->setObjectName("automaticallyDownloads");
    lastCheck_->setObjectName("lastCheck");
    checkNow_->setObjectName("checkForUpdates");
    lastCheck_->setForegroundRole(QPalette::PlaceholderText);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lastCheck_, 1);
    bottom->addWidget(checkNow_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->addWidget(automaticallyChecks_);
    layout->addWidget(automaticallyDownloads_);
    layout->addStretch();
    layout->addLayout(bottom);

    if (!updater) {
        for (QWidget* control : std::initializer_list<QWidget*> {automaticallyChecks_, automaticallyDownloads_, checkNow_})
            control->setEnabled(false);
        return;
    }
    preferences_ = std::make_unique<UpdatesPreferences>(std::move(updater));
    connect(automaticallyChecks_, &QCheckBox::clicked, this,
        [this] { preferences_->automaticallyChecksCheckboxChanged(checkboxState(automaticallyChecks_->checkState())); });
    connect(automaticallyDownloads_, &QCheckBox::clicked, this,
        [this] { preferences_->automaticallyDownloadsCheckboxChanged(checkboxState(automaticallyDownloads_->checkState())); });
    connect(checkNow_, &QPushButton::clicked, this, [this] { preferences_->checkForUpdatesClicked(); });

    // The updater's settings change on its queue: the pane follows on its own thread.
    QPointer<UpdatesPreferencesPane> self(this);
    cancellables_ = preferences_->observe([self](const UpdatesPaneState& state) {
        if (self)
            QMetaObject::invokeMethod(self, [self, state] {
                if (self)
                    self->showState(state);
            });
    });
}

void UpdatesPreferencesPane::showState(const UpdatesPaneState& state)
{
    automaticallyChecks_->setChecked(state.automaticallyChecks);
    automaticallyDownloads_->setChecked(state.automaticallyDownloads);
    automaticallyDownloads_->setEnabled(state.automaticDownloadsEnabled);
    lastCheck_->setText(QString::fromStdString(state.lastCheckText));
}

} // namespace tavik::shell
