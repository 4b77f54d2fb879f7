#pragma once

#include "platform/testing/Eventually.hpp"
#include "platform/testing/TestNotificationServer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavik::testing {

// What a test's notification server showed since the object was made, taken
// and answered one by one as the user would (from one thread at a time).
class Questions {
public:
    using Posted = TestNotificationServer::Posted;

    explicit Questions(TestNotificationServer& server)
        : server_(server)
        , first_(server.posted().size())
    {
    }

    // The next post with this summary not taken yet; nothing when none came in time.
    std::optional<Posted> take(const std::string& summary)
    {
        std::optional<Posted> found;
        eventually([&] {
            auto posted = server_.posted();
            for (size_t index = first_; index < posted.size(); ++index)
                if (posted[index].summary == summary && taken_.insert(posted[index].id).second) return found.emplace(posted[index]), true;
            return false;
        });
        return found;
    }
    // "summary | body" of every post with the summary (of any, when none is given).
    std::vector<std::string> posted(const std::string& summary = {}) const
    {
        auto posted = server_.posted();
        std::vector<std::string> texts;
        for (size_t index = first_; index < posted.size(); ++index)
            if (summary.empty() || posted[index].summary == summary) texts.push_back(posted[index].summary + " | " + posted[index].body);
        return texts;
    }
    // Whether "summary | body" was posted, waiting for it a while.
    bool shown(const std::string& text) const
    {
        return eventually([&] { return std::ranges::count(posted(), text) > 0; });
    }
    // Invokes the action, or closes the question when it is "dismiss".
    void answer(const std::optional<Posted>& question, const std::string& action)
    {
        ASSERT_TRUE(question) << "no question to answer with " << action;
        if (action == "dismiss")
            server_.closeNotification(question->id, 2);
        else
            server_.invokeAction(question->id, action);
    }

private:
    TestNotificationServer& server_;
    size_t first_;
    std::set<uint32_t> taken_;
};

} // namespace tavik::testing
