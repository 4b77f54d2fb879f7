#pragma once

#include "platform/log/Logger.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tavik::log {

struct Entry {
    std::string subsystem;
    std::string category;
    Level level;
    std::string message;
};

// While a capture exists, every entry written by any logger is also recorded
// in it. Entries still go to their usual destination.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    // Entries of one category, in order.
    std::vector<Entry> entries(std::string_view category) const;
    bool contains(Level level, std::string_view message) const;
    size_t count(std::string_view message) const;

    void record(const Entry& entry);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tavik::log
