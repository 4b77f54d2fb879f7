#include "Tavik/shell/PlaceholderWindows.hpp"

#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/shell/OptionDropdown.hpp"
#include "Tavik/shell/ShellIcons.hpp"

#include <QCloseEvent>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavik::shell {

namespace {

// A folder row: its path and a button that chooses another.
QLabel* addFolderRow(QFormLayout* form, const QString& label, const char* buttonName,
    const std::filesystem::path& folder, std::function<void(QLabel*)> choose)
{
    auto* row = new QHBoxLayout;
    auto* path = new QLabel(QString::fromStdString(folder.string()));
    path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* button = new QPushButton("Choose...");
    button->setObjectName(buttonName);
    row->addWidget(path, 1);
    row->addWidget(button);
    form->addRow(label, row);
    QObject::connect(button, &QPushButton::clicked, path, [path, choose] { choose(path); });
    return path;
}

} // namespace

IntroWindow::IntroWindow(std::shared_ptr<InitialSetup> setup, std::shared_ptr<ShellDialogs> dialogs, bool closable,
    std::function<void()> completion)
    : setup_(std::move(setup))
    , dialogs_(std::move(dialogs))
    , closable_(closable)
    , completion_(std::move(completion))
    , destination_(std::filesystem::path(QDir::homePath().toStdString()) / "Applications")
    , watchedFolder_(std::filesystem::path(QDir::homePath().toStdString()) / "Downloads")
{
    setWindowTitle("Welcome to Tavik");
    setWindowIcon(applicationIcon());
    setWindowFlag(Qt::WindowCloseButtonHint, closable_);
    setMinimumSize(480, 240);

    auto* icon = new QLabel;
    icon->setPixmap(applicationIcon().pixmap(64, 64));
    auto* title = new QLabel("Welcome to Tavik");
    auto font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    title->setFont(font);
    auto* text = new QLabel("Tavik installs the applications you download. Choose where it copies them "
                            "and which folder it watches for disk images, ZIP archives and installer packages.");
    text->setWordWrap(true);

    auto* form = new QFormLayout;
    addFolderRow(form, "Copy applications to:", "chooseDestination", destination_, [this](QLabel* path) {
        if (auto chosen = dialogs_->chooseFolder(this, "Folder to move found applications", "Choose")) {
            destination_ = *chosen;
            path->setText(QString::fromStdString(chosen->string()));
        }
    });
    addFolderRow(form, "Watch for downloads:", "chooseWatchedFolder", watchedFolder_, [this](QLabel* path) {
        if (auto chosen = dialogs_->chooseFolder(this, "Folder to watch for applications", "Choose")) {
            watchedFolder_ = *chosen;
            path->setText(QString::fromStdString(chosen->string()));
        }
    });

    auto* start = new QPushButton("Get Started");
    start->setDefault(true);
    connect(start, &QPushButton::clicked, this, [this] { getStarted(); });

    auto* heading = new QHBoxLayout;
    heading->addWidget(icon);
    heading->addSpacing(12);
    heading->addWidget(title, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(start);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->addLayout(heading);
    layout->addWidget(text);
    layout->addSpacing(8);
    layout->addLayout(form);
    layout->addStretch();
    layout->addLayout(buttons);
    resize(560, 300);
}

bool IntroWindow::getStarted()
{
    // The user's applications folder is made when it is the choice and missing.
    std::error_code ignored;
    std::filesystem::create_directories(destination_, ignored);
    auto destination = setup_->destinationChosen(URL::fileURL(destination_, true));
    if (!destination) {
        dialogs_->runAlert(this, alerts::Alert::withError(destination.error()));
        return false;
    }
    auto watched = setup_->watchFolderChosen(URL::fileURL(watchedFolder_, true));
    if (!watched) {
        dialogs_->runAlert(this, alerts::Alert::withError(watched.error()));
        return false;
    }
    if (auto finished = setup_->finish(); !finished) {
        dialogs_->runAlert(this, alerts::Alert::withError(finished.error()));
        return false;
    }
    completed_ = true;
    if (completion_)
        completion_();
    return true;
}

void IntroWindow::closeEvent(QCloseEvent* event)
{
    if (!closable_ && !completed_) {
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

PreferencesWindow::PreferencesWindow()
{
    setWindowTitle("Preferences");
    setWindowIcon(applicationIcon());
    auto* option = new QComboBox;
    bindOption(option, AppPreferences::applicationDockIconMenuBarOption(), cancellables_);
    auto* note = new QLabel("On this desktop the dock icon is Tavik's taskbar entry while one of its windows is open.");
    note->setWordWrap(true);
    note->setForegroundRole(QPalette::PlaceholderText);
    auto* form = new QFormLayout;
    form->addRow("Show Tavik in:", option);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addStretch();
    resize(460, 140);
}

void PreferencesWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    emit closed();
}

} // namespace tavik::shell
