// Writes one key of a defaults file over and over, as another process using
// the same store would: tavik_defaults_writer FILE KEY COUNT [PAYLOAD_BYTES]
// For i = 1...COUNT (forever when COUNT is 0) it stores under KEY the
// dictionary {"counter" = i; "payload" = PAYLOAD_BYTES bytes of i % 256}.
#include "platform/defaults/UserDefaults.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE KEY COUNT [PAYLOAD_BYTES]\n", argv[0]);
        return 2;
    }
    auto defaults = tavik::defaults::UserDefaults::atPath(argv[1]);
    std::string key = argv[2];
    long count = std::atol(argv[3]);
    size_t payloadBytes = argc > 4 ? size_t(std::atol(argv[4])) : 0;
    for (long index = 1; count == 0 || index <= count; ++index) {
        using tavik::plist::PropertyList;
        PropertyList::Dictionary value {
            {"counter", PropertyList(int64_t(index))},
            {"payload", PropertyList(tavik::plist::Data(payloadBytes, uint8_t(index % 256)))},
        };
        auto written = defaults->set(key, PropertyList(std::move(value)));
        if (!written) {
            std::fprintf(stderr, "write %ld failed: %s\n", index, written.error()->description().c_str());
            return 1;
        }
    }
    return 0;
}
