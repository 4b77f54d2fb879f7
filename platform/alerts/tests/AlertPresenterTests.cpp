#include "platform/alerts/AlertPresenter.hpp"
#include "platform/log/LogCapture.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::alerts;

namespace {

// A pseudo-terminal: the presenter gets the terminal side, the test types on
// the other and reads what was shown.
struct Terminal {
    Terminal()
    {
        termios settings {};
        cfmakeraw(&settings);
        settings.c_lflag |= ICANON; // line by line, as a user types; no echo
        if (openpty(&controller, &terminal, nullptr, &settings, nullptr) != 0)
            throw std::runtime_error("openpty failed");
    }
    ~Terminal()
    {
        close(controller);
        close(terminal);
    }
    void type(const std::string& text) { ASSERT_EQ(::write(controller, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    std::string shown()
    {
        std::string text;
        fcntl(controller, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(controller, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(got));
        return text;
    }
    int controller = -1;
    int terminal = -1;
};

const Alert exists {"Example.app already exists", "Choose how to handle Example.app at /Applications",
    {"Overwrite", "Rename and Copy", "Ignore"}};

} // namespace

TEST(TerminalAlertPresenterTest, ShowsNumberedChoicesInOrderAndReturnsTheChosenButton)
{
    Terminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal, terminal.terminal);
    terminal.type("2\n");
    EXPECT_EQ(presenter.runModal(exists), alertSecondButtonReturn);
    auto shown = terminal.shown();
    auto message = shown.find("Example.app already exists\n");
    auto informative = shown.find("Choose how to handle Example.app at /Applications\n");
    auto first = shown.find("  1) Overwrite\n");
    auto second = shown.find("  2) Rename and Copy\n");
    auto third = shown.find("  3) Ignore\n");
    ASSERT_NE(message, std::string::npos) << shown;
    EXPECT_LT(message, informative);
    EXPECT_LT(informative, first);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_NE(third, std::string::npos);
    EXPECT_NE(shown.find("Choose 1-3 (press Enter to dismiss): "), std::string::npos) << shown;
}

TEST(TerminalAlertPresenterTest, AsksAgainUntilTheAnswerIsAChoiceAndDismissesOnAnEmptyLine)
{
    Terminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal, terminal.terminal);
    terminal.type("7\n0\nOverwrite\n 3 \n");
    EXPECT_EQ(presenter.runModal(exists), alertThirdButtonReturn);
    auto shown = terminal.shown();
    size_t complaints = 0;
    for (auto at = shown.find("Please type the number"); at != std::string::npos; at = shown.find("Please type the number", at + 1))
        ++complaints;
    EXPECT_EQ(complaints, 3u) << shown;

    terminal.type("\n");
    EXPECT_EQ(presenter.runModal(exists), modalResponseCancel);
}

TEST(TerminalAlertPresenterTest, WithoutButtonsOffersOKAndTheEndOfInputDismisses)
{
    Terminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal, terminal.terminal);
    terminal.type("1\n");
    EXPECT_EQ(presenter.runModal({"Found a DMG file", "Searching for applications in /tmp/a.dmg", {}}), alertFirstButtonReturn);
    auto shown = terminal.shown();
    EXPECT_NE(shown.find("  1) OK\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Choose 1 (press Enter to dismiss): "), std::string::npos) << shown;

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    int output = open("/dev/null", O_WRONLY);
    close(pipeEnds[1]);
    TerminalAlertPresenter closed(pipeEnds[0], output, true);
    EXPECT_EQ(closed.runModal(exists), modalResponseCancel);
}

TEST(TerminalAlertPresenterTest, ControlCharactersInTextsCannotDriveTheTerminal)
{
    Terminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal, terminal.terminal);
    terminal.type("1\n");
    EXPECT_EQ(presenter.runModal({"Evil\x1b]2;pwned\x07.app", "body\xc2\x9b"
                                                              "31m",
                  {"Copy\x1b[2J"}}),
        alertFirstButtonReturn);
    auto shown = terminal.shown();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Evil?]2;pwned?.app\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("  1) Copy?[2J\n"), std::string::npos) << shown;
}

TEST(NoInterfaceAlertPresenterTest, AnswersDismissedAndLogsTheAlert)
{
    log::LogCapture capture;
    NoInterfaceAlertPresenter presenter;
    EXPECT_EQ(presenter.runModal(exists), modalResponseCancel);
    EXPECT_EQ(capture.count("No user interface to show the alert \"Example.app already exists\" "
                            "(Choose how to handle Example.app at /Applications); taken as dismissed"),
        1u);
}

TEST(AlertTest, AnErrorAlertShowsTheDescriptionAndFailureReason)
{
    auto error = std::make_shared<const GenericError>("Test", 3, "The copy failed", "The disk is full");
    auto alert = Alert::withError(error);
    EXPECT_EQ(alert.messageText, "The copy failed");
    EXPECT_EQ(alert.informativeText, "The disk is full");
    EXPECT_TRUE(alert.buttons.empty());
}
