// What the POSIX half takes from a struct stat: times, to and from timespec, and identity.
#pragma once

#include <sys/stat.h>

#include <ctime>

#include "system/file.h"
#include "system/file_time.h"

namespace qev {

inline FileTime fileTimeOf(const struct timespec& t) { return FileTime(t.tv_sec) * 1000000000 + t.tv_nsec; }

inline struct timespec timespecOf(FileTime t) {
    // Floor division, so that times before 1970 keep nanoseconds in [0, 1e9).
    int64_t seconds = t / 1000000000;
    int64_t nanos = t % 1000000000;
    if (nanos < 0) {
        seconds -= 1;
        nanos += 1000000000;
    }
    return {time_t(seconds), long(nanos)};
}

inline FileIdentity identityFrom(const struct stat& st) { return {uint64_t(st.st_dev), uint64_t(st.st_ino)}; }

}  // namespace qev
