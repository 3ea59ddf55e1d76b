// SPDX-License-Identifier: Apache-2.0
#pragma once

// A tuning server in-process on a free port, over a plate written in a fresh
// folder, and an HTTP client that holds its token as the page would.

#include "veilcast/tune/TuneServer.h"

#include <OpenImageIO/imagebuf.h>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "RunTool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

using nlohmann::json;
namespace fs = std::filesystem;

class TuneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(::testing::TempDir()) / ("veilcast-tune-" + std::to_string(getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        plate = writePlate("plate.exr", 64, 40);
    }
    void TearDown() override
    {
        server.reset();
        session.reset();
        fs::remove_all(dir);
    }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Half RGBA: green backing on the left, a magenta subject on the right,
    // a blend between them (where mattes are partial), noise everywhere.
    std::string writePlate(const std::string& name, int w, int h, float noise = 0.1f) const
    {
        OIIO::ImageSpec spec(w, h, 4, OIIO::TypeDesc::HALF);
        OIIO::ImageBuf buf(spec);
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float t = std::clamp(static_cast<float>(3 * x - w) / static_cast<float>(w), 0.0f, 1.0f);
                const float px[4] = {0.1f + 0.4f * t + noise * u(rng), 0.6f - 0.3f * t + noise * u(rng),
                                     0.1f + 0.4f * t + noise * u(rng), u(rng)};
                buf.setpixel(x, y, px, 4);
            }
        const std::string p = path(name);
        EXPECT_TRUE(buf.write(p)) << buf.geterror();
        return p;
    }

    void serve(const std::string& input, const std::string& settingsFile = "",
               const veilcast::tune::ServerOptions& serverOptions = {}, const veilcast::KeyJobOptions& job = {})
    {
        veilcast::tune::TuneOptions options;
        options.job = job;
        options.input = input;
        options.settingsFile = settingsFile;
        options.pluginDirectories = {fs::path(VEILCAST_PLUGIN_FILE).parent_path().string()};
        session = std::make_unique<veilcast::tune::TuneSession>(options,
                                                                veilcast::tune::openImageFiles(input, {}));
        server = std::make_unique<veilcast::tune::TuneServer>(*session, serverOptions);
    }

    // A client as the page is after its first load: the token in its header.
    httplib::Client client() const
    {
        httplib::Client c("127.0.0.1", server->port());
        c.set_default_headers({{"X-Veilcast-Token", server->token()}});
        return c;
    }

    json get(const std::string& path)
    {
        auto res = client().Get(path.c_str());
        EXPECT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path << ": " << res->body;
        return json::parse(res->body);
    }
    json post(const std::string& path, const json& body, int expected = 200)
    {
        auto res = client().Post(path.c_str(), body.dump(), "application/json");
        EXPECT_TRUE(res) << path;
        EXPECT_EQ(res->status, expected) << path << ": " << res->body;
        return json::parse(res->body);
    }

    fs::path dir;
    std::string plate;
    std::unique_ptr<veilcast::tune::TuneSession> session;
    std::unique_ptr<veilcast::tune::TuneServer> server;
};
