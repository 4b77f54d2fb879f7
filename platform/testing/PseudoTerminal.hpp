#pragma once

#include <string>

namespace tavik::testing {

// A pseudo-terminal of one test: the code under test gets the terminal side,
// the test types on the other and reads what was shown. Input goes line by
// line, as a user types, without echo. Both sides close when it goes.
class PseudoTerminal {
public:
    // Throws std::runtime_error when no pseudo-terminal can be opened.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int terminal() const { return terminal_; }
    // Types the text as the user would; throws std::runtime_error when it cannot.
    void type(const std::string& text);
    // What was shown since the last call, without waiting for more.
    std::string shown();

private:
    int controller_ = -1;
    int terminal_ = -1;
};

} // namespace tavik::testing
