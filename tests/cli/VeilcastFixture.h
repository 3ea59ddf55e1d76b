// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs the built veilcast binary on small files made in a fresh folder per test.

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <gtest/gtest.h>

#include "RunTool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

inline Result veilcast(const std::string& args, const std::string& prefix = "")
{
    return runVeilcast(args, prefix);
}

class VeilcastTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) /
              ("veilcast-e2e-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // A small plate: green backing with a reddish subject and alpha in 0..1.
    std::string writePlate(const std::string& name, std::vector<std::string> channels, OIIO::TypeDesc type,
                           int w = 37, int h = 23, unsigned seed = 3) const
    {
        OIIO::ImageSpec spec(w, h, static_cast<int>(channels.size()), type);
        spec.channelnames = channels;
        spec.attribute("compression", "zip");
        OIIO::ImageBuf buf(spec);
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool subject = x > w / 2;
                std::vector<float> px;
                for (const std::string& c : channels) {
                    const float v = c == "G" ? (subject ? 0.3f : 0.6f) : (c == "A" ? u(rng) : (subject ? 0.5f : 0.1f));
                    px.push_back(c == "A" ? v : v + 0.1f * u(rng));
                }
                buf.setpixel(x, y, px.data(), static_cast<int>(px.size()));
            }
        const std::string p = path(name);
        EXPECT_TRUE(buf.write(p)) << buf.geterror();
        return p;
    }

    static OIIO::ImageBuf read(const std::string& p)
    {
        OIIO::ImageBuf buf(p);
        EXPECT_TRUE(buf.read(0, 0, true, OIIO::TypeDesc::FLOAT)) << p << ": " << buf.geterror();
        return buf;
    }

    // Nothing but the listed files in the directory: no output, no temporaries.
    void expectOnly(std::vector<std::string> names) const
    {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(dir))
            found.push_back(e.path().filename().string());
        std::sort(found.begin(), found.end());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(found, names);
    }

    static std::string framePath(int f)
    {
        char name[32];
        std::snprintf(name, sizeof name, "p.%04d.exr", f);
        return name;
    }

    fs::path dir;
};

inline std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

inline std::string fileBytes(const std::string& p)
{
    std::FILE* f = std::fopen(p.c_str(), "rb");
    std::string bytes;
    if (!f)
        return bytes;
    char buffer[65536];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, f))
        bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
}
