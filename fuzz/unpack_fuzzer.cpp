#include <sys/resource.h>

#include "fuzz/unpack_harness.h"

// Hostile sizes may ask for huge files: a size limit turns those writes into failures.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct rlimit limit = {64 << 20, 64 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qev::fuzz::exerciseUnpack(data, size);
    return 0;
}
