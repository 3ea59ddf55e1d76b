// SPDX-License-Identifier: Apache-2.0
// BMP files: valid ones made by other tools read as Pillow decodes them, and
// headers with one field that lies refused before the image library sees
// them, with a message naming the file.

#include "veilcast/media/ImageReader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace veilcast;
using namespace DD::Image;
namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const fs::path kBmpDir = fs::path(VEILCAST_TEST_DATA) / "bmp";

Bytes slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// NAME.pam as tests/media/make_bmp_table.py writes it: 8-bit RGB or RGBA,
// with the difference allowed per channel in a comment.
struct Expected {
    int width = 0, height = 0, depth = 0, tolerance = 0;
    Bytes pixels;
};

Expected readPam(const fs::path& path)
{
    const Bytes bytes = slurp(path);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t end = text.find("ENDHDR\n");
    Expected e;
    if (end == std::string::npos)
        return e;
    std::istringstream header(text.substr(0, end));
    for (std::string key; header >> key;) {
        if (key == "WIDTH")
            header >> e.width;
        else if (key == "HEIGHT")
            header >> e.height;
        else if (key == "DEPTH")
            header >> e.depth;
        else if (key == "tolerance")
            header >> e.tolerance;
    }
    e.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(end + 7), bytes.end());
    return e;
}

TEST(BmpFile, ValidFilesMadeByOtherToolsReadAsPillowDecodesThem)
{
    int files = 0;
    for (const auto& entry : fs::directory_iterator(kBmpDir)) {
        if (entry.path().extension() != ".bmp")
            continue;
        ++files;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const Expected want = readPam(fs::path(entry.path()).replace_extension(".pam"));
        ASSERT_EQ(want.pixels.size(), static_cast<std::size_t>(want.width) * want.height * want.depth);
        ReadOptions raw;
        raw.raw = true;
        SourceImage got;
        try {
            got = readSourceImage(entry.path().string(), raw);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "refused: " << e.what();
            continue;
        }
        const Box& box = got.pixels.box();
        ASSERT_EQ(box.w(), want.width);
        ASSERT_EQ(box.h(), want.height);
        std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
        if (want.depth == 4) {
            ASSERT_TRUE(got.pixels.has(Chan_Alpha)) << "alpha was dropped";
            channels.push_back(Chan_Alpha);
        }
        int wrong = 0;
        for (int y = 0; y < want.height; ++y)
            for (int x = 0; x < want.width; ++x)
                for (std::size_t c = 0; c < channels.size(); ++c) {
                    const float value = got.pixels.row(channels[c], box.y + y)[box.x + x];
                    const int byte = static_cast<int>(std::lround(value * 255.0f));
                    const int expected = want.pixels[(static_cast<std::size_t>(y) * want.width + x) * want.depth + c];
                    if (std::abs(byte - expected) > want.tolerance && wrong++ < 4)
                        ADD_FAILURE() << "pixel " << x << "," << y << " channel " << c << ": " << byte << ", not "
                                      << expected;
                }
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_GE(files, 18) << "the table of valid files in " << kBmpDir << " is incomplete";
}

void put16(Bytes& b, std::size_t at, std::uint32_t v)
{
    b.at(at) = static_cast<unsigned char>(v);
    b.at(at + 1) = static_cast<unsigned char>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// Offsets in a BMP: after the 14-byte file header, the info header; in the
// 12-byte core header width and height are 16 bits.
constexpr std::size_t kOffset = 10, kInfoSize = 14, kWidth = 18, kHeight = 22, kBits = 28, kCompression = 30,
                      kColoursUsed = 46, kRedMask = 54, kGreenMask = 58, kBlueMask = 62, kCoreWidth = 18,
                      kCoreHeight = 20;

struct Damage {
    const char* name;
    const char* base;  // a valid file of the table
    std::function<void(Bytes&)> lie;
    const char* says;  // what the message must say after the file's name
};

TEST(BmpFile, HeadersWithALyingFieldAreRefusedNamingTheFile)
{
    const std::string header = "a damaged BMP header: ";
    const std::vector<Damage> table = {
        {"info header size unknown to the library", "pil-rgb24", [](Bytes& b) { put32(b, kInfoSize, 64); },
         "an info header of 64 bytes"},
        {"info header size past the file", "pil-rgb24", [](Bytes& b) { put32(b, kInfoSize, 0xFFFFFFF0u); },
         "an info header of 4294967280 bytes"},
        {"info header cut short", "pil-rgb24", [](Bytes& b) { b.resize(40); }, "too short for its 40-byte info header"},
        {"file cut inside its file header", "pil-rgb24", [](Bytes& b) { b.resize(12); }, "too short for its headers"},
        {"zero width", "pil-rgb24", [](Bytes& b) { put32(b, kWidth, 0); }, "a width of 0"},
        {"negative width", "pil-rgb24", [](Bytes& b) { put32(b, kWidth, static_cast<std::uint32_t>(-7)); },
         "a width of -7"},
        {"zero height", "pil-rgb24", [](Bytes& b) { put32(b, kHeight, 0); }, "a height of 0"},
        {"height that has no positive", "pil-rgb24", [](Bytes& b) { put32(b, kHeight, 0x80000000u); },
         "a height of -2147483648"},
        {"core header width 0", "im-core-rgb24", [](Bytes& b) { put16(b, kCoreWidth, 0); }, "a width of 0"},
        {"2 bits a pixel", "im-pal4", [](Bytes& b) { put16(b, kBits, 2); }, "2 bits a pixel, not"},
        {"48 bits a pixel", "pil-rgb24", [](Bytes& b) { put16(b, kBits, 48); }, "48 bits a pixel, not"},
        {"JPEG compression", "pil-rgb24", [](Bytes& b) { put32(b, kCompression, 4); }, "compression 4, not one"},
        {"RLE8 at 24 bits", "pil-rgb24", [](Bytes& b) { put32(b, kCompression, 1); },
         "RLE8 compression at 24 bits a pixel"},
        {"RLE8 at 32 bits", "pil-rgba32", [](Bytes& b) { put32(b, kCompression, 1); },
         "RLE8 compression at 32 bits a pixel"},
        {"RLE4 at 8 bits", "pil-pal8", [](Bytes& b) { put32(b, kCompression, 2); },
         "RLE4 compression at 8 bits a pixel"},
        {"RLE stored top-down", "im-rle8", [](Bytes& b) { put32(b, kHeight, static_cast<std::uint32_t>(-5)); },
         "top-down"},
        {"bit fields at 24 bits", "pil-rgb24", [](Bytes& b) { put32(b, kCompression, 3); },
         "bit-field compression at 24 bits"},
        {"empty green mask", "im-v5-rgb565", [](Bytes& b) { put32(b, kGreenMask, 0); },
         "a green bit mask of 0x00000000"},
        {"blue mask on green's bits", "im-v5-rgb565", [](Bytes& b) { put32(b, kBlueMask, 0x7E0); },
         "a blue bit mask of 0x000007e0"},
        {"red mask past 16 bits", "im-v5-rgb565", [](Bytes& b) { put32(b, kRedMask, 0xF8000); },
         "a red bit mask of 0x000f8000"},
        {"red mask in two pieces", "im-v5-rgb565", [](Bytes& b) { put32(b, kRedMask, 0xF801); },
         "a red bit mask of 0x0000f801"},
        {"masks cut off", "hand-rgb16",
         [](Bytes& b) {
             put32(b, kCompression, 3);
             b.resize(60);
         },
         "too short for its bit masks"},
        {"more colours than the depth holds", "pil-pal8", [](Bytes& b) { put32(b, kColoursUsed, 300); },
         "a palette of 300 colours at 8 bits"},
        {"palette past the end of the file", "im-pal4", [](Bytes& b) { b.resize(100); },
         "a palette of 16 colours ending at byte 118 of a file of 100"},
        {"pixels inside the headers", "pil-rgb24", [](Bytes& b) { put32(b, kOffset, 20); }, "pixels at byte 20,"},
        {"pixels past the end", "pil-rgb24", [](Bytes& b) { put32(b, kOffset, 5000); }, "pixels at byte 5000,"},
        {"wider than the file holds", "pil-rgb24", [](Bytes& b) { put32(b, kWidth, 8000); },
         "8000x5 at 24 bits a pixel needs 120000 bytes of pixels from byte 54; the file has 120"},
        {"taller than the file holds", "im-pal1", [](Bytes& b) { put32(b, kHeight, 70000); },
         "7x70000 at 1 bits a pixel needs 280000 bytes"},
        {"rows cut short", "pil-rgb24", [](Bytes& b) { b.resize(b.size() - 1); }, "needs 120 bytes of pixels"},
        {"core header taller than the file", "im-core-rgb24", [](Bytes& b) { put16(b, kCoreHeight, 300); },
         "7x300 at 24 bits a pixel needs"},
    };

    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-bmp-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const Damage& d : table) {
        SCOPED_TRACE(d.name);
        Bytes bytes = slurp(kBmpDir / (std::string(d.base) + ".bmp"));
        ASSERT_FALSE(bytes.empty()) << d.base;
        d.lie(bytes);
        const std::string file = (dir / "damaged.bmp").string();
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        try {
            readSourceImage(file);
            ADD_FAILURE() << "was read";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(file + ": " + header, 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(d.says), std::string::npos) << e.what();
        }
    }
    fs::remove_all(dir);
}

// Run-length images are decoded whole on opening, so their size is held to
// the pixel limit before that; runs that stop before an end mark are refused.
TEST(BmpFile, RunLengthImagesAreHeldToThePixelLimitAndMustEnd)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("veilcast-bmp-rle-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string file = (dir / "rle.bmp").string();
    const auto write = [&](const Bytes& bytes) {
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    };
    const Bytes rle = slurp(kBmpDir / "im-rle8.bmp");
    ASSERT_FALSE(rle.empty());

    // 30000 x 30000 declared in 1170 bytes: valid, since runs may skip pixels, but over the limit.
    Bytes huge = rle;
    put32(huge, kWidth, 30000);
    put32(huge, kHeight, 30000);
    write(huge);
    try {
        readSourceImage(file);
        ADD_FAILURE() << "was read";
    } catch (const std::runtime_error& e) {
        // The limit is the user's choice, named by each front end in its own words.
        EXPECT_EQ(wordingOf(e).choice, UserChoice::MaxPixels);
        EXPECT_EQ(wordingOf(e).with("--max-pixels"), file + ": 30000x30000 is 900000000 pixels, more than the limit of " +
                                                         std::to_string(defaultMaxPixels()) + " (--max-pixels raises it)");
    }
    Bytes cut = rle;
    cut.resize(cut.size() - 20);
    write(cut);
    try {
        readSourceImage(file);
        ADD_FAILURE() << "was read";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(file + ": damaged BMP pixels: the runs end at row ", 0), 0u)
            << e.what();
    }
    fs::remove_all(dir);
}

}  // namespace
