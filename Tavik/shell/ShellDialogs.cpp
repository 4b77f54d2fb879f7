#include "Tavik/shell/ShellDialogs.hpp"

#include "Tavik/shell/QtAlertPresenter.hpp"

#include <QDir>
#include <QFileDialog>

namespace tavik::shell {

namespace {

class QtShellDialogs final : public ShellDialogs {
public:
    std::optional<std::filesystem::path> chooseFolder(QWidget* parent, const std::string& message,
        const std::string& prompt, const std::optional<std::filesystem::path>& start) override
    {
        QFileDialog dialog(parent, QString::fromStdString(message),
            start ? QString::fromStdString(start->string()) : QDir::homePath());
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(prompt));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return std::filesystem::path(dialog.selectedFiles().front().toStdString());
    }

    alerts::ModalResponse runAlert(QWidget* parent, const alerts::Alert& alert) override
    {
        return QtAlertPresenter::runModal(alert, parent);
    }
};

} // namespace

std::shared_ptr<ShellDialogs> ShellDialogs::qt()
{
    return std::make_shared<QtShellDialogs>();
}

} // namespace tavik::shell
