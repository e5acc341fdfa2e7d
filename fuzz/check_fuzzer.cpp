#include "fuzz/unpack_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qev::fuzz::exerciseCheck(data, size);
    return 0;
}
