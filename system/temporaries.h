// Temporaries this toolset writes before renaming them into place are named
//     BASE.PROGRAM-HOST-PID-TAG
// (BASE may be empty: ".qev-unpack-myhost-4242-17"), so that one left behind by a process
// that was killed can be told apart: it names this host, and its process no longer runs.
// Temporaries of another host, or of a process that still runs, are never touched.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "system/directory.h"
#include "system/file.h"

namespace qev {

class TemporaryNames {
public:
    // For `program` ("qev-pack") in this process on this host.
    explicit TemporaryNames(std::string_view program);

    // BASE.PROGRAM-HOST-PID-TAG; `tag` is letters and digits.
    std::string name(std::string_view base, std::string_view tag) const;

    struct Removed {
        uint64_t files = 0;
        uint64_t bytes = 0;
    };
    // Removes from `dir` the files named as this program's temporaries on this host by
    // processes that no longer run. Failures to list or remove are passed over: stale
    // temporaries are tidied, never a reason to fail.
    Removed removeStale(const DirHandle& dir) const;
    // The same, for a folder the caller has listed already.
    Removed removeStale(const DirHandle& dir, const std::vector<ListedEntry>& listed) const;

    // Whether `name` is one of this program's temporaries on this host, by a process that
    // no longer runs.
    bool isStale(std::string_view name) const;

private:
    std::string program_;  // ".qev-pack-"
    std::string host_;     // this host's name, made safe for a file name
    std::string prefix_;   // PROGRAM-HOST-PID-
};

}  // namespace qev
