#include "zip/fuzz/FuzzZip.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tavik::zip::fuzzOneInput(data, size);
    return 0;
}
