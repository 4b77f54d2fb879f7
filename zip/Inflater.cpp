#include "zip/Inflater.hpp"

#include <climits>
#include <zlib.h>

#if TAVIK_ZIP_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace tavik::zip {

namespace {

class ZlibInflater final : public Inflater {
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

    void setInput(const std::byte* input, size_t length) override
    {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(input));
        stream_.avail_in = static_cast<uInt>(length);
    }
    size_t availableInput() const override { return stream_.avail_in; }

    Status inflate(std::byte* output, size_t capacity, size_t& produced) override
    {
        stream_.next_out = reinterpret_cast<Bytef*>(output);
        stream_.avail_out = static_cast<uInt>(capacity);
        int status = ::inflate(&stream_, Z_NO_FLUSH);
        produced = capacity - stream_.avail_out;
        switch (status) {
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
    z_stream stream_ {};
    bool started_ = false;
};

#if TAVIK_ZIP_WITH_ISAL
class IsalInflater final : public Inflater {
public:
    IsalInflater()
    {
        isal_inflate_init(&state_);
        state_.crc_flag = ISAL_DEFLATE;
    }

    void setInput(const std::byte* input, size_t length) override
    {
        state_.next_in = reinterpret_cast<uint8_t*>(const_cast<std::byte*>(input));
        state_.avail_in = static_cast<uint32_t>(length);
    }
    size_t availableInput() const override { return state_.avail_in; }

    Status inflate(std::byte* output, size_t capacity, size_t& produced) override
    {
        state_.next_out = reinterpret_cast<uint8_t*>(output);
        state_.avail_out = static_cast<uint32_t>(capacity);
        int status = isal_inflate(&state_);
        produced = capacity - state_.avail_out;
        if (status < 0 || status == ISAL_NEED_DICT)
            return Status::corrupt;
        if (state_.block_state == ISAL_BLOCK_FINISH)
            return Status::streamEnd;
        return Status::progress;
    }

private:
    inflate_state state_ {};
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
