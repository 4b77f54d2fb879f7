#include "platform/alerts/AlertPresenter.hpp"

#include "platform/log/Logger.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace tavik::alerts {

namespace {

const log::Logger& logger()
{
    static const log::Logger instance("app.tavik.Tavik", "Alerts");
    return instance;
}

// Texts come from file names and other outside sources: show control
// characters (C0, DEL and the two-byte UTF-8 forms of C1) as "?" so that
// they cannot drive the terminal.
std::string printable(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\t') {
            result += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            result += '?';
        } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80
            && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            result += '?';
            ++i;
        } else {
            result += static_cast<char>(c);
        }
    }
    return result;
}

std::string trimmed(const std::string& text)
{
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::mutex currentMutex;
std::shared_ptr<AlertPresenter> currentPresenter;

} // namespace

Alert Alert::withError(const ErrorPtr& error)
{
    Alert alert;
    if (error) {
        alert.messageText = error->description();
        alert.informativeText = error->failureReason().value_or("");
    }
    return alert;
}

std::shared_ptr<AlertPresenter> AlertPresenter::current()
{
    std::lock_guard lock(currentMutex);
    if (!currentPresenter) {
        if (auto terminal = TerminalAlertPresenter::openControllingTerminal())
            currentPresenter = terminal;
        else
            currentPresenter = std::make_shared<NoInterfaceAlertPresenter>();
    }
    return currentPresenter;
}

void AlertPresenter::setCurrent(std::shared_ptr<AlertPresenter> presenter)
{
    std::lock_guard lock(currentMutex);
    currentPresenter = std::move(presenter);
}

TerminalAlertPresenter::TerminalAlertPresenter(int input, int output, bool ownsDescriptors)
    : input_(input)
    , output_(output)
    , ownsDescriptors_(ownsDescriptors)
{
}

TerminalAlertPresenter::~TerminalAlertPresenter()
{
    if (ownsDescriptors_) {
        close(input_);
        if (output_ != input_)
            close(output_);
    }
}

std::shared_ptr<TerminalAlertPresenter> TerminalAlertPresenter::openControllingTerminal()
{
    int terminal = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (terminal < 0)
        return nullptr;
    return std::make_shared<TerminalAlertPresenter>(terminal, terminal, true);
}

ModalResponse TerminalAlertPresenter::runModal(const Alert& alert)
{
    std::vector<std::string> buttons = alert.buttons;
    if (buttons.empty())
        buttons.push_back(strings::localizedString("OK"));

    std::string text = "\n" + printable(alert.messageText) + "\n";
    if (!alert.informativeText.empty())
        text += printable(alert.informativeText) + "\n";
    for (size_t i = 0; i < buttons.size(); ++i)
        text += fmt::format("  {}) {}\n", i + 1, printable(buttons[i]));
    write(text);

    const std::string prompt = buttons.size() == 1
        ? strings::localizedString("Choose 1 (press Enter to dismiss): ")
        : fmt::format(fmt::runtime(strings::localizedString("Choose 1-{} (press Enter to dismiss): ")), buttons.size());
    for (;;) {
        write(prompt);
        std::string line;
        if (!readLine(line)) {
            write("\n");
            return modalResponseCancel;
        }
        line = trimmed(line);
        if (line.empty())
            return modalResponseCancel;
        size_t choice = 0;
        auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), choice);
        if (error == std::errc() && end == line.data() + line.size() && choice >= 1 && choice <= buttons.size())
            return alertFirstButtonReturn + static_cast<ModalResponse>(choice - 1);
        write(strings::localizedString("Please type the number of a choice, or press Enter to dismiss.") + "\n");
    }
}

void TerminalAlertPresenter::write(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        auto written = ::write(output_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
}

bool TerminalAlertPresenter::readLine(std::string& line)
{
    line.clear();
    for (;;) {
        char c;
        auto got = ::read(input_, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        line += c;
    }
}

ModalResponse NoInterfaceAlertPresenter::runModal(const Alert& alert)
{
    logger().defaultLevel("No user interface to show the alert \"{}\" ({}); taken as dismissed", alert.messageText,
        alert.informativeText);
    return modalResponseCancel;
}

} // namespace tavik::alerts
