#include "Preferences/PreferencesWindow.hpp"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QIcon>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace tavik::preferences {

PreferencesWindow::PreferencesWindow(std::vector<PreferencePane> panes, std::shared_ptr<defaults::UserDefaults> userDefaults)
    : panes_(std::move(panes))
    , userDefaults_(std::move(userDefaults))
    , toolBar_(new QToolBar)
    , stack_(new QStackedWidget)
{
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar_->setMovable(false);
    auto* group = new QActionGroup(this);
    for (size_t index = 0; index < panes_.size(); ++index) {
        const auto& pane = panes_[index];
        auto* action = toolBar_->addAction(QIcon::fromTheme(pane.iconName), pane.title);
        action->setObjectName(pane.identifier);
        action->setCheckable(true);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, index] { selectPane(index); });
        stack_->addWidget(pane.view);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolBar_);
    layout->addWidget(stack_, 1);

    if (!panes_.empty())
        selectPane(0);
    if (auto saved = userDefaults_->object(frameAutosaveName); saved && saved->string())
        restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved->string())));
}

void PreferencesWindow::selectPane(size_t index)
{
    if (index >= panes_.size())
        return;
    selected_ = index;
    const auto& pane = panes_[index];
    stack_->setCurrentIndex(static_cast<int>(index));
    toolBar_->actions().at(static_cast<int>(index))->setChecked(true);
    setWindowTitle(pane.title);
    // The window takes the pane's size, its top left corner staying put.
    auto position = pos();
    setFixedSize(pane.size.width(), pane.size.height() + toolBar_->sizeHint().height());
    move(position);
}

void PreferencesWindow::saveFrame()
{
    (void)userDefaults_->set(frameAutosaveName, plist::PropertyList(saveGeometry().toBase64().toStdString()));
}

PreferencesWindow::~PreferencesWindow()
{
    // Quitting deletes the window without closing it.
    saveFrame();
}

void PreferencesWindow::closeEvent(QCloseEvent* event)
{
    saveFrame();
    event->accept();
    emit closed();
}

} // namespace tavik::preferences
