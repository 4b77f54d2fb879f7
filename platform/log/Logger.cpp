#include "platform/log/Logger.hpp"

#include "platform/log/LogCapture.hpp"

#include <systemd/sd-journal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

namespace tavik::log {

namespace {

struct Sink {
    bool toJournal = false;
    Level stderrThreshold = Level::defaultLevel;
    std::mutex mutex;
    std::vector<LogCapture*> captures;
};

Level thresholdFromEnvironment()
{
    const char* value = std::getenv("TAVIK_LOG_LEVEL");
    if (!value)
        return Level::defaultLevel;
    for (Level level : {Level::debug, Level::info, Level::defaultLevel, Level::error, Level::fault}) {
        if (levelName(level) == value)
            return level;
    }
    return Level::defaultLevel;
}

Sink& sink()
{
    static auto* shared = [] {
        auto* made = new Sink(); // never destroyed: loggers may write during exit
        const char* forced = std::getenv("TAVIK_LOG");
        bool wantJournal = !(forced && std::strcmp(forced, "stderr") == 0);
        made->toJournal = wantJournal && access("/run/systemd/journal/socket", W_OK) == 0;
        made->stderrThreshold = thresholdFromEnvironment();
        return made;
    }();
    return *shared;
}

int syslogPriority(Level level)
{
    switch (level) {
    case Level::debug:
        return LOG_DEBUG;
    case Level::info:
        return LOG_INFO;
    case Level::defaultLevel:
        return LOG_NOTICE;
    case Level::error:
        return LOG_ERR;
    case Level::fault:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

} // namespace

std::string_view levelName(Level level)
{
    switch (level) {
    case Level::debug:
        return "debug";
    case Level::info:
        return "info";
    case Level::defaultLevel:
        return "default";
    case Level::error:
        return "error";
    case Level::fault:
        return "fault";
    }
    return "default";
}

struct Logger::Identity {
    std::string subsystem;
    std::string category;
};

Logger::Logger(std::string subsystem, std::string category)
    : identity_(std::make_shared<const Identity>(Identity {std::move(subsystem), std::move(category)}))
{
}

const std::string& Logger::subsystem() const { return identity_->subsystem; }
const std::string& Logger::category() const { return identity_->category; }

void Logger::write(Level level, std::string_view message) const
{
    Sink& out = sink();
    {
        std::lock_guard lock(out.mutex);
        for (LogCapture* capture : out.captures)
            capture->record(Entry {identity_->subsystem, identity_->category, level, std::string(message)});
    }
    if (out.toJournal) {
        sd_journal_send("MESSAGE=%.*s", static_cast<int>(message.size()), message.data(),
            "PRIORITY=%d", syslogPriority(level),
            "TAVIK_SUBSYSTEM=%s", identity_->subsystem.c_str(),
            "TAVIK_CATEGORY=%s", identity_->category.c_str(),
            "TAVIK_LEVEL=%s", std::string(levelName(level)).c_str(),
            nullptr);
        return;
    }
    if (level < out.stderrThreshold)
        return;
    auto line = fmt::format("[{}] [{}:{}] {}\n", levelName(level), identity_->subsystem, identity_->category, message);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

struct LogCapture::State {
    mutable std::mutex mutex;
    std::vector<Entry> entries;
};

LogCapture::LogCapture()
    : state_(std::make_unique<State>())
{
    std::lock_guard lock(sink().mutex);
    sink().captures.push_back(this);
}

LogCapture::~LogCapture()
{
    std::lock_guard lock(sink().mutex);
    auto& captures = sink().captures;
    captures.erase(std::remove(captures.begin(), captures.end(), this), captures.end());
}

void LogCapture::record(const Entry& entry)
{
    std::lock_guard lock(state_->mutex);
    state_->entries.push_back(entry);
}

std::vector<Entry> LogCapture::entries() const
{
    std::lock_guard lock(state_->mutex);
    return state_->entries;
}

std::vector<Entry> LogCapture::entries(std::string_view category) const
{
    std::vector<Entry> matching;
    for (auto& entry : entries()) {
        if (entry.category == category)
            matching.push_back(entry);
    }
    return matching;
}

bool LogCapture::contains(Level level, std::string_view message) const
{
    auto all = entries();
    return std::any_of(all.begin(), all.end(), [&](const Entry& e) { return e.level == level && e.message == message; });
}

size_t LogCapture::count(std::string_view message) const
{
    auto all = entries();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const Entry& e) { return e.message == message; }));
}

} // namespace tavik::log
