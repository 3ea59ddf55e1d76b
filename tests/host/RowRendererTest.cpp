// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ImageSource.h"
#include "LoadedPlugin.h"
#include "veilcast/host/OperatorNode.h"
#include "ParamsFromControls.h"
#include "veilcast/host/RowRenderer.h"
#include "veilcast/core/ScreenKeyer.h"
#include "TestImages.h"

#include "FloatBits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace DD::Image;

constexpr float kSentinel = -999.0f;

template <class Source>
struct KeyingWith {
    explicit KeyingWith(const Box& box, bool alpha)
        : image(zavtest::greenScreenImage(box, alpha ? std::vector<Channel>{Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}
                                                      : std::vector<Channel>{Chan_Red, Chan_Green, Chan_Blue})),
          source(image), node((zavtest::loadedPlugin(), "ZAVVeilcast"))
    {
        node.op().set_input(0, &source);
        node.controls().set("ScreenColorKnob", std::array<float, 3>{0.2f, 0.7f, 0.2f});
        node.controls().set("SourceAlphaKnob", 1);
        node.controls().set("Inside Replace", 1);
        node.controls().set("Clip Black", 0.05f);
    }

    // The output the host pulls, prefilled with a sentinel.
    veilcast::PlanarImage output()
    {
        veilcast::validateAndRequest(node.op(), Mask_RGBA);
        std::vector<Channel> channels;
        const ChannelSet set = node.op().info().channels();
        for (Channel z = set.first(); z; z = set.next(z))
            channels.push_back(z);
        return veilcast::PlanarImage(node.op().info().box(), node.op().info().format(), channels, kSentinel);
    }

    // Row y keyed by keyRow directly.
    std::vector<std::vector<float>> expectedRow(int y)
    {
        const zav::KeyParams p = zavtest::paramsFromControls(node.controls());
        const Box& b = image.box();
        std::vector<std::vector<float>> out(4, std::vector<float>(static_cast<std::size_t>(b.w()), kSentinel));
        zav::keyRow(p, b.x, b.r, image.row(Chan_Red, y), image.row(Chan_Green, y), image.row(Chan_Blue, y),
                    image.row(Chan_Alpha, y), out[0].data() - b.x, out[1].data() - b.x, out[2].data() - b.x,
                    p.checkAlpha ? nullptr : out[3].data() - b.x, [] { return false; });
        return out;
    }

    veilcast::PlanarImage image;
    Source source;
    veilcast::OperatorNode node;
};

using Keying = KeyingWith<veilcast::ImageSource>;

// The pixels of row y of `out` equal `want` (one vector per channel, red first).
void expectRowEquals(const veilcast::PlanarImage& out, int y, const std::vector<std::vector<float>>& want)
{
    const Box& b = out.box();
    for (int c = 0; c < 4; ++c) {
        const float* got = out.row(static_cast<Channel>(Chan_Red + c), y);
        for (int x = b.x; x < b.r; ++x)
            ASSERT_EQ(zavtest::bits(got[x]),
                      zavtest::bits(want[static_cast<std::size_t>(c)][static_cast<std::size_t>(x - b.x)]))
                << "channel " << c << " at " << x << "," << y;
    }
}

bool rowUntouched(const veilcast::PlanarImage& out, int y)
{
    for (Channel z : out.channels())
        for (int x = out.box().x; x < out.box().r; ++x)
            if (out.row(z, y)[x] != kSentinel)
                return false;
    return true;
}

TEST(RowRenderer, KeyedThroughTheHostOnManyThreadsEqualsKeyRow)
{
    for (bool alpha : {true, false}) {
        for (bool checkAlpha : {false, true}) {
            Keying k(Box{-7, 3, 181, 140}, alpha);
            k.node.controls().set("Check Alpha", checkAlpha);
            veilcast::PlanarImage out = k.output();
            EXPECT_EQ(out.has(Chan_Alpha), !checkAlpha);
            veilcast::RenderOptions options;
            options.threads = 4;
            ASSERT_EQ(veilcast::renderRows(k.node.op(), out, options), veilcast::RenderResult::Complete);
            for (int y = out.box().y; y < out.box().t; ++y) {
                const auto want = k.expectedRow(y);
                for (int c = 0; c < (checkAlpha ? 3 : 4); ++c) {
                    const float* got = out.row(static_cast<Channel>(Chan_Red + c), y);
                    for (int x = out.box().x; x < out.box().r; ++x)
                        ASSERT_EQ(zavtest::bits(got[x]), zavtest::bits(want[static_cast<std::size_t>(c)]
                                                                           [static_cast<std::size_t>(x - out.box().x)]))
                            << "alpha " << alpha << " check " << checkAlpha << " c " << c << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(RowRenderer, AbortBeforeRenderingWritesNothing)
{
    Keying k(Box{0, 0, 64, 32}, true);
    veilcast::PlanarImage out = k.output();
    veilcast::RenderOptions options;
    options.cancelled = [] { return true; };
    EXPECT_EQ(veilcast::renderRows(k.node.op(), out, options), veilcast::RenderResult::Aborted);
    for (Channel z : out.channels())
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(out.row(z, y)[x], kSentinel);
}

// An abort raised from another thread while rows are being keyed: every row
// holds a finished prefix of correctly keyed pixels and is untouched after it.
TEST(RowRenderer, AbortWhileRowsAreComputedStopsThem)
{
    Keying k(Box{0, 0, 4099, 600}, true);
    veilcast::PlanarImage out = k.output();
    std::atomic<int> rowsStarted{0};
    veilcast::RenderOptions options;
    options.threads = 2;
    options.cancelled = [&] { return rowsStarted.fetch_add(1) >= 40; };
    ASSERT_EQ(veilcast::renderRows(k.node.op(), out, options), veilcast::RenderResult::Aborted);

    int complete = 0, untouched = 0;
    for (int y = 0; y < 600; ++y) {
        const auto want = k.expectedRow(y);
        int prefix = 4099;
        for (int x = 0; x < 4099; ++x) {
            if (out.row(Chan_Alpha, y)[x] == kSentinel) {
                prefix = x;
                break;
            }
        }
        for (int c = 0; c < 4; ++c) {
            const float* got = out.row(static_cast<Channel>(Chan_Red + c), y);
            for (int x = 0; x < 4099; ++x) {
                if (x < prefix)
                    ASSERT_EQ(zavtest::bits(got[x]), zavtest::bits(want[static_cast<std::size_t>(c)][static_cast<std::size_t>(x)]));
                else
                    ASSERT_EQ(got[x], kSentinel) << "row " << y << " pixel " << x;
            }
        }
        complete += prefix == 4099;
        untouched += prefix == 0;
    }
    EXPECT_GE(complete, 1);
    EXPECT_GE(untouched, 400) << "rows after the abort were still computed";
}

// A source that abandons the computation from inside its own engine when
// asked for row abortRow, and records every row it is asked for.
class AbortingSource : public veilcast::ImageSource {
public:
    using ImageSource::ImageSource;
    void engine(int y, int x, int r, const ChannelSet& channels, Row& out) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            fetched.push_back(y);
        }
        ImageSource::engine(y, x, r, channels, out);
        if (y == abortRow)
            abort();
    }

    std::mutex mutex;
    std::vector<int> fetched;
    int abortRow = -1;
};

// The abort reaches the render through the operator pulling the source: the
// row being fetched is left unwritten and no row is fetched after it.
TEST(RowRenderer, AnInputAbortingInItsEngineStopsTheRender)
{
    KeyingWith<AbortingSource> k(Box{0, 0, 64, 40}, true);
    k.source.abortRow = 5;
    veilcast::PlanarImage out = k.output();
    veilcast::RenderOptions options;
    options.threads = 1;
    EXPECT_EQ(veilcast::renderRows(k.node.op(), out, options), veilcast::RenderResult::Aborted);

    ASSERT_FALSE(k.source.fetched.empty());
    EXPECT_EQ(k.source.fetched.back(), 5) << "rows were fetched after the abort";
    EXPECT_EQ(std::count(k.source.fetched.begin(), k.source.fetched.end(), 5), 1)
        << "the operator went on to fetch alpha after the abort";
    for (int y = 0; y < 40; ++y) {
        SCOPED_TRACE("row " + std::to_string(y));
        const bool keyed =
            y != 5 && std::find(k.source.fetched.begin(), k.source.fetched.end(), y) != k.source.fetched.end();
        if (keyed)
            expectRowEquals(out, y, k.expectedRow(y));
        else
            EXPECT_TRUE(rowUntouched(out, y));
    }
}

// Rows wider than the pixels one task is meant to get: each task still takes
// at least one row, and every row is keyed once. A progress report that is
// out of range or repeated means empty or overlapping tasks; the exception
// stops a render that would otherwise never end.
TEST(RowRenderer, RowsWiderThanOneTaskAreEachRenderedOnce)
{
    for (const int width : {65536, 65537, 140001}) {
        SCOPED_TRACE("width " + std::to_string(width));
        Keying k(Box{-3, 2, width - 3, 6}, true);
        veilcast::PlanarImage out = k.output();
        const int rows = out.box().h();
        std::mutex mutex;
        std::vector<int> reported;
        veilcast::RenderOptions options;
        options.threads = 2;
        options.progress = [&](int done) {
            std::lock_guard<std::mutex> lock(mutex);
            if (done < 1 || done > rows || std::count(reported.begin(), reported.end(), done) != 0)
                throw std::logic_error("progress reported " + std::to_string(done) + " of " + std::to_string(rows) +
                                       " rows");
            reported.push_back(done);
        };
        veilcast::RenderResult result = veilcast::RenderResult::Aborted;
        ASSERT_NO_THROW(result = veilcast::renderRows(k.node.op(), out, options));
        EXPECT_EQ(result, veilcast::RenderResult::Complete);
        EXPECT_EQ(*std::max_element(reported.begin(), reported.end()), rows);
        for (int y = out.box().y; y < out.box().t; ++y)
            expectRowEquals(out, y, k.expectedRow(y));
    }
}

}  // namespace
