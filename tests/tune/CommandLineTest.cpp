// SPDX-License-Identifier: Apache-2.0
// The names and the command line Save shows, worked out by hand.

#include "CommandLine.h"

#include <gtest/gtest.h>

namespace {

using namespace veilcast::tune;
using veilcast::shellQuote;

TEST(TuneCommandLine, NamesBesideTheInput)
{
    const struct {
        const char *input, *settings, *output;
    } cases[] = {
        {"plate.exr", "plate.keyer", "plate_keyed.exr"},
        {"shots/sh010/plate.####.exr", "shots/sh010/plate.keyer", "shots/sh010/plate_keyed.####.exr"},
        {"clip.%04d.jpg", "clip.keyer", "clip_keyed.%04d.exr"},
        {"scan.DPX", "scan.keyer", "scan_keyed.DPX"},
        {".hidden.exr", ".hidden.keyer", ".hidden_keyed.exr"},
        {"shoot/clip.MP4", "shoot/clip.keyer", "shoot/clip_keyed.mov"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(defaultSettingsPath(c.input), c.settings) << c.input;
        EXPECT_EQ(defaultOutputPath(c.input), c.output) << c.input;
    }
}

TEST(TuneCommandLine, QuotesForTheShell)
{
    EXPECT_EQ(shellQuote("plate.exr"), "plate.exr");
    EXPECT_EQ(shellQuote("my plate.exr"), "'my plate.exr'");
    EXPECT_EQ(shellQuote("it's.exr"), "'it'\\''s.exr'");
    EXPECT_EQ(shellQuote("$(rm -rf ~).exr"), "'$(rm -rf ~).exr'");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(keyCommandLine("a b.####.exr", "s.keyer", true, {1, 2}),
              "veilcast 'a b.####.exr' -o 'a b_keyed.####.exr' --settings s.keyer --frames 1-2");
    // A relative name starting with '-' would read as an option.
    EXPECT_EQ(keyCommandLine("-a $b.####.exr", "-s.keyer", true, {-2, -1, 0}),
              "veilcast './-a $b.####.exr' -o './-a $b_keyed.####.exr' --settings ./-s.keyer --frames -2-0");
    EXPECT_EQ(keyCommandLine("/shots/-a.exr", "/shots/-a.keyer", false, {0}),
              "veilcast /shots/-a.exr -o /shots/-a_keyed.exr --settings /shots/-a.keyer");
    // The screen map in use: found on each frame, or a clean plate, named as any file is.
    using Map = veilcast::ScreenMapChoice;
    EXPECT_EQ(keyCommandLine("p.####.exr", "p.keyer", true, {1, 2}, {Map::Kind::Auto, ""}),
              "veilcast 'p.####.exr' -o 'p_keyed.####.exr' --settings p.keyer --screen-map auto --frames 1-2");
    EXPECT_EQ(keyCommandLine("p.exr", "p.keyer", false, {0}, {Map::Kind::CleanPlate, "-clean plate.exr"}),
              "veilcast p.exr -o p_keyed.exr --settings p.keyer --screen-map './-clean plate.exr'");
    EXPECT_EQ(keyCommandLine("p.exr", "p.keyer", false, {0}, {Map::Kind::CleanPlate, "auto"}),
              "veilcast p.exr -o p_keyed.exr --settings p.keyer --screen-map ./auto");
}

}  // namespace
