// Both DEFLATE backends behind the streaming interface behave alike.
#include "zip/Inflater.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>

using namespace tavik::zip;

namespace {

struct Outcome {
    std::string output;
    Inflater::Status last = Inflater::Status::progress;
};

// Feeds input in pieces of inputStep bytes, collects output in outputStep pieces.
Outcome inflateAll(Inflater& inflater, const std::string& input, size_t inputStep, size_t outputStep)
{
    Outcome outcome;
    std::vector<std::byte> buffer(outputStep);
    for (size_t offset = 0;;) {
        if (inflater.availableInput() == 0 && offset < input.size()) {
            size_t count = std::min(inputStep, input.size() - offset);
            inflater.setInput(reinterpret_cast<const std::byte*>(input.data() + offset), count);
            offset += count;
        }
        size_t produced = 0;
        outcome.last = inflater.inflate(buffer.data(), buffer.size(), produced);
        outcome.output.append(reinterpret_cast<const char*>(buffer.data()), produced);
        if (outcome.last != Inflater::Status::progress || (produced == 0 && inflater.availableInput() == 0 && offset == input.size()))
            return outcome;
    }
}

class InflaterTest : public ::testing::TestWithParam<Inflater::Backend> {
protected:
    void SetUp() override
    {
        if (!Inflater::isAvailable(GetParam()))
            GTEST_SKIP() << "backend not built in";
    }
};

} // namespace

TEST_P(InflaterTest, DecodesAStreamInAnyPieceSizesAndTellsCorruptAndCutOnes)
{
    std::string data;
    for (int index = 0; index < 200000; ++index)
        data += static_cast<char>(index % 13 == 0 ? index * 31 : 'a' + index % 26);
    std::string stream = tavik::zip::testing::deflate(data);
    for (auto [inputStep, outputStep] : {std::pair<size_t, size_t> {1, 7}, {100, 16384}, {stream.size(), 1 << 20}}) {
        auto inflater = Inflater::make(GetParam());
        ASSERT_TRUE(inflater);
        auto outcome = inflateAll(*inflater, stream, inputStep, outputStep);
        EXPECT_EQ(outcome.last, Inflater::Status::streamEnd);
        EXPECT_EQ(outcome.output, data) << inputStep << " " << outputStep;
    }
    auto corrupt = Inflater::make(GetParam());
    EXPECT_EQ(inflateAll(*corrupt, std::string(64, '\xFF'), 64, 1024).last, Inflater::Status::corrupt);
    // A cut stream never reaches its end.
    auto cut = Inflater::make(GetParam());
    EXPECT_EQ(inflateAll(*cut, stream.substr(0, stream.size() / 2), 16, 1024).last, Inflater::Status::progress);
}

INSTANTIATE_TEST_SUITE_P(Backends, InflaterTest, ::testing::Values(Inflater::Backend::zlib, Inflater::Backend::isal),
    [](const auto& info) { return info.param == Inflater::Backend::zlib ? std::string("zlib") : std::string("isal"); });
