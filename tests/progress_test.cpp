// The progress line's text, and that it stays silent where it is not wanted.
#include "shell/progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace qev {
namespace {

TEST(Progress, RendersCountsRateRatioAndTimeLeft) {
    ProgressCounts c{250, 1000, 10 << 20, 40 << 20};
    EXPECT_EQ(ProgressLine::render(c, 0), "250 of 1000 files, 10.0 MiB of 40.0 MiB");
    EXPECT_EQ(ProgressLine::render(c, 2), "250 of 1000 files, 10.0 MiB of 40.0 MiB, 5.0 MiB/s, 6 s left");
    c.ratio = 0.4;
    c.unit = "blocks";
    EXPECT_EQ(ProgressLine::render(c, 2), "250 of 1000 blocks, 10.0 MiB of 40.0 MiB, 5.0 MiB/s, ratio 0.400, 6 s left");
    // Counting files alone, as a comparison with a folder does: no bytes shown.
    EXPECT_EQ(ProgressLine::render({3768, 13302, 0, 0}, 2), "3768 of 13302 files");
    EXPECT_EQ(ProgressLine::renderJson(c, 2),
              "{\"phase\":\"blocks\",\"done\":250,\"total\":1000,\"bytesDone\":10485760,\"bytesTotal\":41943040,"
              "\"rate\":5242880,\"secondsLeft\":6}");
    EXPECT_EQ(ProgressLine::renderJson({3768, 13302, 0, 0}, 2), "{\"phase\":\"files\",\"done\":3768,\"total\":13302}");
    EXPECT_EQ(humanBytes(1023), "1023 B");
    EXPECT_EQ(humanBytes(1536), "1.5 KiB");
}

TEST(Progress, DrawsOnlyWhenEnabledAndClearsItsLine) {
    std::ostringstream out, err;
    Console console{out, err};
    {
        ProgressLine off(console, false);
        off.update({1, 2, 3, 4});
    }
    EXPECT_EQ(err.str(), "");
    {
        ProgressLine on(console, true);
        on.update({1, 2, 3, 4});
        on.update({2, 2, 4, 4});  // within a tenth of a second: not redrawn
    }
    // One drawing (its rate depends on the clock), then the clearing.
    std::string shown = err.str();
    EXPECT_TRUE(shown.starts_with("\r1 of 2 files, 3 B of 4 B")) << shown;
    EXPECT_TRUE(shown.ends_with("\x1b[K\r\x1b[K")) << shown;
    EXPECT_EQ(shown.find("2 of 2"), std::string::npos);
}

}  // namespace
}  // namespace qev
