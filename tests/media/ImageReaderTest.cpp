// SPDX-License-Identifier: Apache-2.0
// Reading image files: display-encoded files converted to linear as the
// image library's own tool converts them, or kept as stored when asked, and files found by fuzzing that
// once took the reader minutes or gigabytes.

#include "veilcast/media/ImageReader.h"

#include "FloatBits.h"

#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;

// Noise, so every code value is exercised; heights that cross several strips.
// Read raw, each value is the file's code over its largest.
TEST(ImageReader, DisplayEncodedFilesReadAsOiiotoolConvertsThemToLinearOrRaw)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-reader-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const char* name : {"noise.png", "noise16.tif", "noise.jpg", "noise16.png"}) {
        SCOPED_TRACE(name);
        const std::string file = (dir / name).string(), linear = (dir / "linear.exr").string();
        const std::string type = std::string(name).find("16") != std::string::npos ? "uint16" : "uint8";
        const std::string make = "oiiotool --pattern noise:type=uniform:min=0:max=1 70x150 3 -d " + type + " -o " +
                                 file + " && oiiotool " + file + " --colorconvert sRGB linear -d float -o " + linear;
        ASSERT_EQ(std::system(make.c_str()), 0) << make;

        const SourceImage ours = readSourceImage(file);
        ReadOptions keepRaw;
        keepRaw.raw = true;
        const SourceImage raw = readSourceImage(file, keepRaw);
        auto stored = OIIO::ImageInput::open(file);
        ASSERT_TRUE(stored);
        const bool wide = type == "uint16";
        std::vector<unsigned short> codes(stored->spec().image_pixels() * 3);
        ASSERT_TRUE(stored->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT16, codes.data()));
        auto in = OIIO::ImageInput::open(linear);
        ASSERT_TRUE(in);
        const OIIO::ImageSpec& spec = in->spec();
        std::vector<float> expected(spec.image_pixels() * 3);
        ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, expected.data()));
        int wrong = 0;
        for (int y = 0; y < spec.height; ++y)
            for (int x = 0; x < spec.width; ++x)
                for (int c = 0; c < 3; ++c) {
                    const float got = ours.pixels.row(static_cast<Channel>(Chan_Red + c), y)[x];
                    const float want = expected[(static_cast<std::size_t>(y) * spec.width + x) * 3 + c];
                    if (zavtest::bits(got) != zavtest::bits(want) && wrong++ < 5)
                        ADD_FAILURE() << "pixel " << x << "," << y << " channel " << c << ": " << got << ", not "
                                      << want;
                    // Read as 16 bits, an 8-bit code c comes back as c * 257.
                    const unsigned short code = codes[(static_cast<std::size_t>(y) * spec.width + x) * 3 + c];
                    const double storedValue = wide ? code / 65535.0 : (code / 257) / 255.0;
                    const float rawValue = raw.pixels.row(static_cast<Channel>(Chan_Red + c), y)[x];
                    if (std::abs(rawValue - storedValue) > 1e-7 && wrong++ < 5)
                        ADD_FAILURE() << "raw pixel " << x << "," << y << " channel " << c << ": " << rawValue
                                      << ", not " << storedValue;
                }
        EXPECT_EQ(wrong, 0);
    }
    fs::remove_all(dir);
}

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
