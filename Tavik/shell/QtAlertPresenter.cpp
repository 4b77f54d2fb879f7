#include "Tavik/shell/QtAlertPresenter.hpp"

#include "Tavik/shell/ShellIcons.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace tavik::shell {

namespace {

alerts::ModalResponse runOnGUIThread(const alerts::Alert& alert, QWidget* parent)
{
    QMessageBox box(parent);
    box.setWindowTitle("Tavik");
    box.setIconPixmap(applicationIcon().pixmap(64, 64));
    box.setText(QString::fromStdString(alert.messageText));
    box.setInformativeText(QString::fromStdString(alert.informativeText));
    box.setTextFormat(Qt::PlainText); // texts carry file names, never markup
    // Long paths wrap into a readable column instead of a narrow one.
    box.setStyleSheet("QLabel#qt_msgbox_informativelabel { min-width: 380px; }");
    auto titles = alert.buttons;
    if (titles.empty())
        titles.push_back(strings::localizedString("OK"));

    std::vector<QAbstractButton*> buttons;
    for (size_t index = 0; index < titles.size(); ++index) {
        // "Cancel" is what Escape presses; every other button keeps its place.
        bool isCancel = titles[index] == "Cancel";
        auto* button = box.addButton(QString::fromStdString(titles[index]),
            isCancel ? QMessageBox::RejectRole : QMessageBox::ActionRole);
        if (index == 0)
            box.setDefaultButton(static_cast<QPushButton*>(button));
        if (isCancel)
            box.setEscapeButton(button);
        buttons.push_back(button);
    }
    box.exec();
    auto* clicked = box.clickedButton();
    for (size_t index = 0; index < buttons.size(); ++index) {
        if (buttons[index] == clicked)
            return alerts::alertFirstButtonReturn + static_cast<alerts::ModalResponse>(index);
    }
    return alerts::modalResponseCancel;
}

} // namespace

alerts::ModalResponse QtAlertPresenter::runModal(const alerts::Alert& alert)
{
    return runModal(alert, QApplication::activeWindow());
}

alerts::ModalResponse QtAlertPresenter::runModal(const alerts::Alert& alert, QWidget* parent)
{
    auto* application = QApplication::instance();
    if (!application)
        return alerts::modalResponseCancel;
    if (QThread::currentThread() == application->thread())
        return runOnGUIThread(alert, parent);
    // Alerts belong on the main queue; one asked elsewhere still shows, on the GUI thread.
    alerts::ModalResponse response = alerts::modalResponseCancel;
    QMetaObject::invokeMethod(
        application, [&] { response = runOnGUIThread(alert, nullptr); },
        Qt::BlockingQueuedConnection);
    return response;
}

size_t presentUpdateAlert(const updater::UpdateAlert& alert)
{
    alerts::Alert shown {alert.title, alert.message, alert.buttons};
    if (alert.link)
        shown.informativeText += "\n\n" + *alert.link;
    auto response = QtAlertPresenter::runModal(shown, QApplication::activeWindow());
    auto index = static_cast<size_t>(response - alerts::alertFirstButtonReturn);
    if (response < alerts::alertFirstButtonReturn || index >= alert.buttons.size())
        return alert.buttons.empty() ? 0 : alert.buttons.size() - 1;
    return index;
}

} // namespace tavik::shell
