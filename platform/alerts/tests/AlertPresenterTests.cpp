#include "platform/alerts/AlertPresenter.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Catalogue.hpp"
#include "platform/testing/PseudoTerminal.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <unistd.h>

using namespace tavik;
using namespace tavik::alerts;

namespace {

// Each text is shown, in this order.
void expectShownInOrder(const std::string& shown, const std::vector<std::string>& texts)
{
    size_t at = 0;
    for (const auto& text : texts) {
        at = shown.find(text, at);
        ASSERT_NE(at, std::string::npos) << "\"" << text << "\" in order in:\n"
                                         << shown;
        at += text.size();
    }
}

const Alert exists {"Example.app already exists", "Choose how to handle Example.app at /Applications", {"Overwrite", "Rename and Copy", "Ignore"}};

} // namespace

// First in this file: the catalogue is bound at the first text looked up.
TEST(TerminalAlertPresenterTest, ShowsItsOwnTextsInTheUsersLanguage)
{
    tavik::testing::ScratchFolder folder("tavik-locale");
    if (!tavik::testing::writeCatalogue(folder.path(), "de",
            {{"OK", "In Ordnung"}, {"Choose 1 (press Enter to dismiss): ", "Wähle 1 (Eingabe bricht ab): "}}))
        GTEST_SKIP() << "msgfmt is not installed";
    tavik::testing::ScopedEnvironment environment;
    environment.set("TAVIK_LOCALEDIR", folder.path()).set("LANGUAGE", "de");
    std::setlocale(LC_ALL, "C.UTF-8");

    tavik::testing::PseudoTerminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal(), terminal.terminal());
    terminal.type("1\n");
    EXPECT_EQ(presenter.runModal({"Found a DMG file", "", {}}), alertFirstButtonReturn);
    std::setlocale(LC_ALL, "C");
    expectShownInOrder(terminal.shown(), {"  1) In Ordnung\n", "Wähle 1 (Eingabe bricht ab): "});
}

TEST(TerminalAlertPresenterTest, ShowsNumberedChoicesOrOKWithoutControlCharactersAndAsksAgainUntilTheAnswerIsOneAndAnEmptyLineOrTheEndDismisses)
{
    tavik::testing::PseudoTerminal terminal;
    TerminalAlertPresenter presenter(terminal.terminal(), terminal.terminal());
    terminal.type("2\n");
    EXPECT_EQ(presenter.runModal(exists), alertSecondButtonReturn);
    expectShownInOrder(terminal.shown(), {"Example.app already exists\n", "Choose how to handle Example.app at /Applications\n", "  1) Overwrite\n", "  2) Rename and Copy\n", "  3) Ignore\n", "Choose 1-3 (press Enter to dismiss): "});

    terminal.type("7\n0\nOverwrite\n 3 \n");
    EXPECT_EQ(presenter.runModal(exists), alertThirdButtonReturn);
    expectShownInOrder(terminal.shown(), {"Please type the number", "Please type the number", "Please type the number"});

    terminal.type("\n1\n");
    EXPECT_EQ(presenter.runModal(exists), modalResponseCancel);
    EXPECT_EQ(presenter.runModal({"Found a DMG file", "Searching for applications in /tmp/a.dmg", {}}), alertFirstButtonReturn);
    expectShownInOrder(terminal.shown(), {"  1) OK\n", "Choose 1 (press Enter to dismiss): "});

    // The presenter owns the descriptors it is given here and closes them.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[1]);
    TerminalAlertPresenter closed(pipeEnds[0], dup(terminal.terminal()), true);
    EXPECT_EQ(closed.runModal(exists), modalResponseCancel);

    // Control characters in texts cannot drive the terminal.
    terminal.type("1\n");
    EXPECT_EQ(presenter.runModal({"Evil\x1b]2;pwned\x07.app", "body\xc2\x9b"
                                                              "31m",
                  {"Copy\x1b[2J"}}),
        alertFirstButtonReturn);
    auto shown = terminal.shown();
    for (const char* control : {"\x1b", "\x07", "\xc2\x9b"})
        EXPECT_EQ(shown.find(control), std::string::npos) << shown;
    expectShownInOrder(shown, {"Evil?]2;pwned?.app\n", "  1) Copy?[2J\n"});
}

// Here the alert is an error's: its description and failure reason.
TEST(NoInterfaceAlertPresenterTest, AnswersDismissedAndLogsTheAlert)
{
    log::LogCapture capture;
    auto alert = Alert::withError(std::make_shared<const GenericError>("Test", 3, "The copy failed", "The disk is full"));
    EXPECT_EQ(NoInterfaceAlertPresenter().runModal(alert), modalResponseCancel);
    EXPECT_EQ(capture.count("No user interface to show the alert \"The copy failed\" (The disk is full); taken as dismissed"), 1u);
}
