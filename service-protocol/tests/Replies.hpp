#pragma once

// What calls to the disk image service answered, collected from the threads
// the answers arrive on. Used by the tests of the client connection and of
// the service itself.
#include "platform/testing/Recorder.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

#include <gtest/gtest.h>

namespace tavik::service::testing {

class Replies {
public:
    struct Reply {
        std::optional<URL> url;
        ErrorPtr error;
        // The URL's path and the error's description, "-" for none: what a
        // check compares and a failure shows.
        std::string path() const { return url ? url->path().string() : "-"; }
        std::string failure() const { return error ? error->description() : "-"; }
    };

    MountDMGResponse mountResponse()
    {
        return [this](std::optional<URL> url, ErrorPtr error) { replies_.add({std::move(url), std::move(error)}); };
    }
    UnmountDMGResponse unmountResponse()
    {
        return [this](ErrorPtr error) { replies_.add({std::nullopt, std::move(error)}); };
    }
    ServiceErrorHandler errorHandler()
    {
        return [this](ErrorPtr error) { handlerErrors_.add(std::move(error)); };
    }

    // Waits until at least `count` replies and handler calls have arrived.
    bool waitFor(size_t count) const
    {
        return tavik::testing::eventually([&] { return replies().size() + handlerErrors().size() >= count; });
    }
    // The reply at `index` once it has come; an empty one, and a failed
    // check, when a handler error came instead or the wait gave up.
    Reply reply(size_t index) const
    {
        waitFor(index + 1);
        auto all = replies();
        if (index < all.size()) return all[index];
        ADD_FAILURE() << "no reply " << index << (handlerErrors().empty() ? "" : ", but " + handlerErrors().front()->description());
        return {};
    }
    std::vector<Reply> replies() const { return replies_.all(); }
    std::vector<ErrorPtr> handlerErrors() const { return handlerErrors_.all(); }

private:
    tavik::testing::Recorder<Reply> replies_;
    tavik::testing::Recorder<ErrorPtr> handlerErrors_;
};

} // namespace tavik::service::testing
