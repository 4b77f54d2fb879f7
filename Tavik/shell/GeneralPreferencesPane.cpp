#include "Tavik/shell/GeneralPreferencesPane.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace tavik::shell {

GeneralPreferencesPane::GeneralPreferencesPane(GeneralPreferences preferences)
    : preferences_(std::move(preferences))
    , dockIconMenuBar_(new QComboBox)
    , launchAtLogin_(new QCheckBox("Launch at login"))
{
    dockIconMenuBar_->setObjectName("dockIconMenuBar");
    launchAtLogin_->setObjectName("launchAtLogin");
    launchAtLogin_->setChecked(preferences_.isLaunchAtLoginEnabled());

    auto* note = new QLabel("The dock icon is Tavik's taskbar entry while one of its windows is open.");
    note->setWordWrap(true);
    note->setForegroundRole(QPalette::PlaceholderText);
    auto* form = new QFormLayout;
    form->addRow("Show Tavik in:", dockIconMenuBar_);
    form->addRow("", note);
    form->addRow("", launchAtLogin_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->addLayout(form);
    layout->addStretch();

    connect(dockIconMenuBar_, &QComboBox::activated, this, [this](int index) {
        preferences_.chooseApplicationDockIconMenuBarOption(dockIconMenuBar_->itemData(index).toString().toStdString());
    });
    connect(launchAtLogin_, &QCheckBox::clicked, this, [this] { launchAtLoginClicked(); });

    // The setting can change on any thread (the command line, another
    // process): the pop-up follows on the window's thread.
    QPointer<GeneralPreferencesPane> self(this);
    popUpCancellable_ = preferences_.observeDockIconMenuBarPopUp([self](const DockIconMenuBarPopUp& popUp) {
        if (self)
            QMetaObject::invokeMethod(self, [self, popUp] {
                if (self)
                    self->showPopUp(popUp);
            });
    });
}

void GeneralPreferencesPane::showPopUp(const DockIconMenuBarPopUp& popUp)
{
    if (dockIconMenuBar_->count() != static_cast<int>(popUp.items.size())) {
        dockIconMenuBar_->clear();
        for (const auto& item : popUp.items)
            dockIconMenuBar_->addItem(QString::fromStdString(item.title), QString::fromStdString(item.rawValue));
    }
    dockIconMenuBar_->setCurrentIndex(static_cast<int>(popUp.selectedIndex));
}

void GeneralPreferencesPane::launchAtLoginClicked()
{
    // Mixed while the entry is written; then the state it has now.
    launchAtLogin_->setCheckState(Qt::PartiallyChecked);
    bool enabled = preferences_.launchAtLoginButtonStateChanged();
    launchAtLogin_->setTristate(false);
    launchAtLogin_->setChecked(enabled);
}

} // namespace tavik::shell
