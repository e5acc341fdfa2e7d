#include "fuzz/library_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qev::fuzz::exerciseLibrary(data, size);
    return 0;
}
