#include "platform/testing/PseudoTerminal.hpp"

#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace tavik::testing {

PseudoTerminal::PseudoTerminal()
{
    termios settings {};
    cfmakeraw(&settings);
    settings.c_lflag |= ICANON;
    if (openpty(&controller_, &terminal_, nullptr, &settings, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    fcntl(controller_, F_SETFL, O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal()
{
    close(controller_);
    close(terminal_);
}

void PseudoTerminal::type(const std::string& text)
{
    if (::write(controller_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("typing on the pseudo-terminal failed");
}

std::string PseudoTerminal::shown()
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(controller_, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

} // namespace tavik::testing
