#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qev::fuzz::exerciseArchive(data, size);
    return 0;
}
