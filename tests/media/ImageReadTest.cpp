// SPDX-License-Identifier: Apache-2.0
// Files found by fuzzing that once took the reader minutes or gigabytes.

#include "ImageFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using namespace veilcast;

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

// A 5 KB DPX whose header declares 775 MB of user data: the image library
// allocates it once; the reader must not copy it per part or into the result,
// and refuses the file for what it is.
TEST(ImageRead, DamagedHeaderIsRefusedWithoutCopyingItsUserData)
{
    const std::string file = VEILCAST_TEST_DATA "/huge-user-data.dpx";
    try {
        readSourceImage(file);
        FAIL() << "a 0x0 image was read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("not a flat 2D image"), std::string::npos) << e.what();
    }
#ifndef __SANITIZE_ADDRESS__
    // The library itself holds the 739 MiB of user data about three times over
    // while it opens the file (2341 MiB at the peak); each copy of ours adds
    // another (3080 MiB with the part list and the result each holding one).
    EXPECT_LT(peakResidentMiB(), 2700) << "the user data was copied";
#endif
}

}  // namespace
