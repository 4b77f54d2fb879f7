#include "Tavik/shell/ShellIcons.hpp"

#include "Tavik/shell/model/StatusMenu.hpp"

namespace tavik::shell {

namespace {

// Compiled in, so the shell draws the same icons installed or not; the
// installed theme copies serve the desktop's launchers.
QIcon resourceIcon(const std::string& file)
{
    return QIcon(QString::fromStdString(":/icons/" + file + ".svg"));
}

} // namespace

QIcon namedIcon(const std::string& name)
{
    if (name == "App Icon 24pt")
        return resourceIcon("tavik-app-icon-source");
    if (name == "Menu Bar Icon 24pt")
        return resourceIcon("tavik-menu-bar-source");
    if (name == "Menu Bar Icon 22pt")
        return resourceIcon("tavik-menu-bar");
    return applicationIcon();
}

QIcon applicationIcon()
{
    return resourceIcon("app.tavik.Tavik");
}

QIcon statusIcon(FileSourceConfiguration::Status status)
{
    return resourceIcon(statusIconName(status));
}

} // namespace tavik::shell
