#include "Tavik/shell/IntroWindow.hpp"

#include "Tavik/intro/IntroStepProvider.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavik::shell {

namespace {

// The one local folder a drop carries, if it carries exactly that.
std::optional<URL> droppedFolder(const QMimeData* data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1)
        return std::nullopt;
    const auto& url = data->urls().front();
    if (!url.isLocalFile() || !QFileInfo(url.toLocalFile()).isDir())
        return std::nullopt;
    return URL::fileURL(url.toLocalFile().toStdString(), true);
}

const char* primaryTitle(IntroStepProvider::PrimaryButton button)
{
    switch (button) {
    case IntroStepProvider::PrimaryButton::next:
        return "Next";
    case IntroStepProvider::PrimaryButton::skip:
        return "Skip";
    case IntroStepProvider::PrimaryButton::done:
        break;
    }
    return "Done";
}

} // namespace

IntroWindow::IntroWindow(std::shared_ptr<InitialSetup> setup, std::unique_ptr<IntroStepProvider> steps,
    std::shared_ptr<ShellDialogs> dialogs, bool closable, std::function<void()> completion)
    : setup_(std::move(setup))
    , provider_(std::move(steps))
    , dialogs_(std::move(dialogs))
    , closable_(closable)
    , completion_(std::move(completion))
    , title_(new QLabel)
    , caption_(new QLabel)
    , folderButton_(new QPushButton("Choose Folder..."))
    , previousButton_(new QPushButton("Previous"))
    , primaryButton_(new QPushButton("Next"))
{
    setWindowTitle("Welcome to Tavik");
    setWindowIcon(applicationIcon());
    setWindowFlag(Qt::WindowCloseButtonHint, closable_);
    setAcceptDrops(true);
    setMinimumSize(520, 320);

    auto* icon = new QLabel;
    icon->setPixmap(applicationIcon().pixmap(96, 96));
    icon->setAlignment(Qt::AlignHCenter);
    auto font = title_->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    font.setBold(true);
    title_->setFont(font);
    title_->setAlignment(Qt::AlignHCenter);
    title_->setObjectName("title");
    caption_->setWordWrap(true);
    caption_->setAlignment(Qt::AlignHCenter);
    caption_->setTextFormat(Qt::PlainText);
    caption_->setObjectName("caption");
    folderButton_->setObjectName("chooseFolder");
    previousButton_->setObjectName("previous");
    primaryButton_->setObjectName("primary");
    primaryButton_->setDefault(true);

    auto* folderRow = new QHBoxLayout;
    folderRow->addStretch();
    folderRow->addWidget(folderButton_);
    folderRow->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(previousButton_);
    buttons->addStretch();
    buttons->addWidget(primaryButton_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 20);
    layout->addWidget(icon);
    layout->addSpacing(8);
    layout->addWidget(title_);
    layout->addSpacing(6);
    layout->addWidget(caption_);
    layout->addSpacing(10);
    layout->addLayout(folderRow);
    layout->addStretch();
    layout->addLayout(buttons);

    connect(folderButton_, &QPushButton::clicked, this, [this] { openFolderDialog(); });
    connect(previousButton_, &QPushButton::clicked, this, [this] { provider_->goBack(); });
    connect(primaryButton_, &QPushButton::clicked, this, [this] { primaryClicked(); });

    // The steps change only through this window's buttons, on its thread; a
    // step's completion can change on others (the setup stores from wherever
    // it is called) and is followed on the main queue.
    cancellables_.push_back(provider_->currentStepPublisher().sink([this](const IntroStepPtr& step) { showStep(step); }));
    cancellables_.push_back(provider_->hasNextStepPublisher().sink([this](bool) { updateButtons(); }));
    resize(560, 380);
}

IntroWindow::~IntroWindow() = default;

void IntroWindow::showStep(const IntroStepPtr& step)
{
    title_->setText(QString::fromStdString(step->title()));
    caption_->setText(QString::fromStdString(step->caption()));
    folderButton_->setVisible(step->directoryChoice().has_value());
    stepCompletion_.cancel();
    QPointer<IntroWindow> self(this);
    stepCompletion_ = step->isCompletePublisher().receiveOn(dispatch::DispatchQueue::main()).sink([self](bool) {
        if (self)
            self->updateButtons();
    });
    updateButtons();
}

void IntroWindow::updateButtons()
{
    previousButton_->setVisible(provider_->showsPreviousButton());
    primaryButton_->setText(primaryTitle(provider_->primaryButton()));
}

void IntroWindow::openFolderDialog()
{
    const auto& choice = provider_->currentStep()->directoryChoice();
    if (!choice)
        return;
    auto start = choice->defaultURL ? std::optional(choice->defaultURL->path()) : std::nullopt;
    auto chosen = dialogs_->chooseFolder(this, choice->message.value_or(""), choice->prompt.value_or("Choose"), start);
    if (chosen)
        chooseFolder(URL::fileURL(*chosen, true));
}

void IntroWindow::chooseFolder(const URL& folder)
{
    const auto& choice = provider_->currentStep()->directoryChoice();
    if (!choice || !choice->handler)
        return;
    QPointer<IntroWindow> self(this);
    choice->handler(folder, [self](ErrorPtr error) {
        if (!error)
            return;
        dispatch::DispatchQueue::main()->async([self, error] {
            if (self)
                self->dialogs_->runAlert(self, alerts::Alert::withError(error));
        });
    });
}

void IntroWindow::primaryClicked()
{
    if (provider_->primaryButton() != IntroStepProvider::PrimaryButton::done) {
        provider_->goToNextStep();
        return;
    }
    if (auto finished = setup_->finish(); !finished) {
        dialogs_->runAlert(this, alerts::Alert::withError(finished.error()));
        return;
    }
    completed_ = true;
    if (completion_)
        completion_();
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

void IntroWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (provider_->currentStep()->directoryChoice() && droppedFolder(event->mimeData()))
        event->acceptProposedAction();
}

void IntroWindow::dropEvent(QDropEvent* event)
{
    auto folder = droppedFolder(event->mimeData());
    if (!folder || !provider_->currentStep()->directoryChoice())
        return;
    event->acceptProposedAction();
    chooseFolder(*folder);
}

} // namespace tavik::shell
