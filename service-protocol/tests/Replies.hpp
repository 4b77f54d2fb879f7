#pragma once

// What calls to the disk image service answered, collected from the threads
// the answers arrive on. Used by the tests of the client connection and of
// the service itself.
#include "platform/testing/Recorder.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

namespace tavik::service::testing {

class Replies {
public:
    struct Reply {
        std::optional<URL> url;
        ErrorPtr error;
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
    std::vector<Reply> replies() const { return replies_.all(); }
    std::vector<ErrorPtr> handlerErrors() const { return handlerErrors_.all(); }

private:
    tavik::testing::Recorder<Reply> replies_;
    tavik::testing::Recorder<ErrorPtr> handlerErrors_;
};

} // namespace tavik::service::testing
