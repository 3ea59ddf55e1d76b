// SPDX-License-Identifier: Apache-2.0
// Files found by fuzzing that once took the reader minutes or gigabytes.

#include "veilcast/media/ImageFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using namespace veilcast;

#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer's own memory would swamp the figure
long peakResidentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long kib = 0;
    while (status >> key)
        if (key == "VmHWM:" && status >> kib)
            return kib / 1024;
    return -1;
}
#endif

// DPX files whose headers declare more user data than the file holds: 775 MB
// in 5 KB (the image library spent seconds and gigabytes on it), and 3.6 GB in
// 3 KB (it aborted the process). Both are refused before the library opens them.
TEST(ImageRead, DamagedDpxHeadersAreRefusedBeforeTheLibraryOpensThem)
{
    for (const char* name : {"huge-user-data.dpx", "dpx-abort.dpx"}) {
        const std::string file = std::string(VEILCAST_TEST_DATA "/") + name;
        try {
            readSourceImage(file);
            FAIL() << name << " was read";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("a damaged DPX header"), std::string::npos) << e.what();
        }
    }
#ifndef __SANITIZE_ADDRESS__
    // Opening the first file at all would hold its 739 MiB of user data.
    EXPECT_LT(peakResidentMiB(), 500) << "the library opened a damaged header";
#endif
}

}  // namespace
