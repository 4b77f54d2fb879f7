#include "zip/Inflater.hpp"

#include <climits>
#include <zlib.h>

#if TAVIK_ZIP_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace tavik::zip {

namespace {

// What the two backends share: both streams take input and output through
// next_in/avail_in and next_out/avail_out. Derived says what one step of
// inflating is for its stream.
template <class Derived, class Stream, class Byte>
class StreamInflater : public Inflater {
public:
    void setInput(const std::byte* input, size_t length) final
    {
        stream_.next_in = reinterpret_cast<Byte*>(const_cast<std::byte*>(input));
        stream_.avail_in = static_cast<decltype(stream_.avail_in)>(length);
    }
    size_t availableInput() const final { return stream_.avail_in; }

    Status inflate(std::byte* output, size_t capacity, size_t& produced) final
    {
        stream_.next_out = reinterpret_cast<Byte*>(output);
        stream_.avail_out = static_cast<decltype(stream_.avail_out)>(capacity);
        Status status = static_cast<Derived*>(this)->step();
        produced = capacity - stream_.avail_out;
        return status;
    }

protected:
    Stream stream_ {};
};

class ZlibInflater final : public StreamInflater<ZlibInflater, z_stream, Bytef> {
public:
    bool start()
    {
        started_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK;
        return started_;
    }
    ~ZlibInflater() override
    {
        if (started_)
            inflateEnd(&stream_);
    }

    Status step()
    {
        switch (::inflate(&stream_, Z_NO_FLUSH)) {
        case Z_STREAM_END:
            return Status::streamEnd;
        case Z_OK:
        case Z_BUF_ERROR:
            return Status::progress;
        default:
            return Status::corrupt;
        }
    }

private:
    bool started_ = false;
};

#if TAVIK_ZIP_WITH_ISAL
class IsalInflater final : public StreamInflater<IsalInflater, inflate_state, uint8_t> {
public:
    IsalInflater()
    {
        isal_inflate_init(&stream_);
        stream_.crc_flag = ISAL_DEFLATE;
    }

    Status step()
    {
        int status = isal_inflate(&stream_);
        if (status < 0 || status == ISAL_NEED_DICT)
            return Status::corrupt;
        if (stream_.block_state == ISAL_BLOCK_FINISH)
            return Status::streamEnd;
        return Status::progress;
    }
};
#endif

} // namespace

bool Inflater::isAvailable(Backend backend)
{
#if TAVIK_ZIP_WITH_ISAL
    return backend == Backend::zlib || backend == Backend::isal;
#else
    return backend == Backend::zlib;
#endif
}

std::unique_ptr<Inflater> Inflater::make()
{
    return make(isAvailable(Backend::isal) ? Backend::isal : Backend::zlib);
}

std::unique_ptr<Inflater> Inflater::make(Backend backend)
{
#if TAVIK_ZIP_WITH_ISAL
    if (backend == Backend::isal)
        return std::make_unique<IsalInflater>();
#endif
    if (backend == Backend::zlib) {
        auto inflater = std::make_unique<ZlibInflater>();
        if (inflater->start())
            return inflater;
    }
    return nullptr;
}

} // namespace tavik::zip
