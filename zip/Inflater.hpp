#pragma once

#include <cstddef>
#include <memory>

namespace tavik::zip {

// A streaming decoder of raw DEFLATE data (no zlib header or trailer).
// Input is handed in pieces; each call fills as much of the output as it can.
class Inflater {
public:
    enum class Backend {
        zlib,
        isal,
    };
    enum class Status {
        progress, // wants more input or more output room
        streamEnd,
        corrupt,
    };

    virtual ~Inflater() = default;

    // The fastest backend built in; nothing if the decoder cannot be set up.
    static std::unique_ptr<Inflater> make();
    static std::unique_ptr<Inflater> make(Backend backend);
    static bool isAvailable(Backend backend);

    // The decoder reads the input in place; it must stay valid until consumed.
    virtual void setInput(const std::byte* input, size_t length) = 0;
    virtual size_t availableInput() const = 0;
    virtual Status inflate(std::byte* output, size_t capacity, size_t& produced) = 0;
};

} // namespace tavik::zip
