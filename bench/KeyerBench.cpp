// SPDX-License-Identifier: Apache-2.0
// Throughput of the keyer, with the ratios that matter measured side by side
// in one run:
//   1. fast keyRow against the per-pixel reference on one row in cache;
//   2. keyRow over a whole frame against a plain copy of the same arrays;
//   3. a frame keyed through the host and the operator against keyRow on all cores;
//   4. the host path on two threads against one;
//   5. a frame keyed with a screen map (keyRowMapped) against keyRow, and the
//      map and clips found from a 4K plate's sample.

#include "veilcast/common/KnobNames.h"
#include "veilcast/host/ImageSource.h"
#include "veilcast/host/OperatorNode.h"
#include "veilcast/host/ParallelRows.h"
#include "veilcast/host/PluginLibrary.h"
#include "RowKernel.h"
#include "veilcast/host/RowRenderer.h"
#include "veilcast/core/ScreenKeyer.h"
#include "veilcast/core/ScreenMap.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace {

using namespace DD::Image;

constexpr int kRow = 4096;
constexpr int kFrameW = 4096, kFrameH = 2160;

// Settings that exercise every step: keying, clip black and white, the inside mask.
zav::KeyParams busyParams(int mode)
{
    zav::KeyParams p;
    p.screenColor[0] = 0.08f, p.screenColor[1] = 0.55f, p.screenColor[2] = 0.12f;
    p.clipBlack = 0.05f;
    p.clipWhite = 0.9f;
    p.sourceAlpha = 1;
    p.inMaskReplacementMode = mode;
    return p;
}

std::vector<float> plane(std::size_t n, unsigned seed, float lo, float hi)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(n);
    for (float& f : v)
        f = u(rng);
    return v;
}

struct Planes {
    explicit Planes(std::size_t n)
        : in{plane(n, 1, 0.0f, 0.7f), plane(n, 2, 0.2f, 0.8f), plane(n, 3, 0.0f, 0.6f), plane(n, 4, 0.0f, 1.0f)},
          out{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n), std::vector<float>(n)}
    {
    }
    zav::RowArrays row(std::size_t offset)
    {
        return {{in[0].data() + offset, in[1].data() + offset, in[2].data() + offset}, in[3].data() + offset,
                {out[0].data() + offset, out[1].data() + offset, out[2].data() + offset}, out[3].data() + offset};
    }
    std::vector<float> in[4], out[4];
};

void keyRows(const zav::KeyParams& p, Planes& f, int first, int last, int width)
{
    for (int y = first; y < last; ++y) {
        const zav::RowArrays a = f.row(static_cast<std::size_t>(y) * static_cast<std::size_t>(width));
        zav::keyRow(p, 0, width, a.in[0], a.in[1], a.in[2], a.alphaIn, a.out[0], a.out[1], a.out[2], a.alphaOut,
                    [] { return false; });
    }
}

void BM_RowReference(benchmark::State& state)
{
    Planes f(kRow);
    const zav::KeyParams p = busyParams(static_cast<int>(state.range(0)));
    const zav::ScreenAnalysis sa = zav::analyseScreen(p);
    for (auto _ : state) {
        zav::detail::keySpanScalar(p, sa, 0, kRow, f.row(0));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

void BM_RowFast(benchmark::State& state)
{
    Planes f(kRow);
    const zav::KeyParams p = busyParams(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        keyRows(p, f, 0, 1, kRow);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kRow);
}

Planes& frame()
{
    static Planes f(static_cast<std::size_t>(kFrameW) * kFrameH);
    return f;
}

void BM_FrameCopy(benchmark::State& state)
{
    Planes& f = frame();
    for (auto _ : state) {
        for (int c = 0; c < 4; ++c)
            std::memcpy(f.out[c].data(), f.in[c].data(), f.in[c].size() * sizeof(float));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrameW * kFrameH);
}

void BM_FrameKeyRow(benchmark::State& state)
{
    Planes& f = frame();
    const zav::KeyParams p = busyParams(3);
    for (auto _ : state) {
        keyRows(p, f, 0, kFrameH, kFrameW);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrameW * kFrameH);
}

void BM_FrameKeyRowAllCores(benchmark::State& state)
{
    Planes& f = frame();
    const zav::KeyParams p = busyParams(3);
    for (auto _ : state) {
        // The host's one parallel helper, so this compares like with like with the host path.
        veilcast::parallelRows(0, kFrameH, 16, 0, [&](int first, int last) { keyRows(p, f, first, last, kFrameW); });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrameW * kFrameH);
}

// The host path: rows pulled from the operator, whose engine fetches its
// input rows through Row::get from an image source.
void BM_FrameHost(benchmark::State& state)
{
    static const veilcast::PluginLibrary plugin(VEILCAST_PLUGIN_FILE);
    const Box box{0, 0, kFrameW, kFrameH};
    static veilcast::PlanarImage image = [&] {
        veilcast::PlanarImage img(box, box, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha});
        Planes& f = frame();
        for (int c = 0; c < 4; ++c)
            std::memcpy(img.row(static_cast<Channel>(Chan_Red + c), 0), f.in[c].data(), f.in[c].size() * sizeof(float));
        return img;
    }();
    veilcast::ImageSource source(image);
    veilcast::OperatorNode node("ZAVVeilcast");
    node.op().set_input(0, &source);
    node.controls().set(veilcast::knob::kScreenColor, std::array<float, 3>{0.08f, 0.55f, 0.12f});
    node.controls().set(veilcast::knob::kClipBlack, 0.05f);
    node.controls().set(veilcast::knob::kClipWhite, 0.9f);
    node.controls().set(veilcast::knob::kSourceAlpha, 1);
    veilcast::validateAndRequest(node.op(), Mask_RGBA);
    veilcast::PlanarImage out(box, box, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha});
    veilcast::RenderOptions options;
    options.threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        veilcast::renderRows(node.op(), out, options);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrameW * kFrameH);
}

// A smooth map over the 4K frame, lighter in its middle, as an automatic map
// of a hot spot would be.
const zav::ScreenMap& frameMap()
{
    static const zav::ScreenMap map = [] {
        constexpr int kCellsX = 60, kCellsY = 34;
        std::vector<float> cells;
        for (int y = 0; y < kCellsY; ++y)
            for (int x = 0; x < kCellsX; ++x) {
                const float dx = static_cast<float>(x - kCellsX / 2) / kCellsX, dy = static_cast<float>(y - kCellsY / 2) / kCellsY;
                const float light = 1.0f - dx * dx - dy * dy;
                for (const float c : {0.08f, 0.55f, 0.12f})
                    cells.push_back(c * light);
            }
        return zav::ScreenMap(kFrameW, kFrameH, kCellsX, kCellsY, std::move(cells));
    }();
    return map;
}

void BM_FrameKeyRowMapped(benchmark::State& state)
{
    Planes& f = frame();
    const zav::KeyParams p = busyParams(3);
    const zav::ScreenMap& map = frameMap();
    std::vector<float> screen[3];
    for (auto& s : screen)
        s.resize(kFrameW);
    const float* const screens[3] = {screen[0].data(), screen[1].data(), screen[2].data()};
    for (auto _ : state) {
        for (int y = 0; y < kFrameH; ++y) {
            map.sampleRow(y, 0, kFrameW, screen[0].data(), screen[1].data(), screen[2].data());
            zav::keyRowMapped(p, 0, kFrameW, f.row(static_cast<std::size_t>(y) * kFrameW), screens,
                              [] { return false; });
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrameW * kFrameH);
}

// The automatic map and clips from a 4K plate's sample (every n-th row and
// column, at most 2^18 pixels): a lit backing, a subject on a third of it.
void BM_MapAndClipsFromSample(benchmark::State& state)
{
    const int step = zav::autoPickStep(kFrameW, kFrameH);
    const int w = (kFrameW + step - 1) / step, h = (kFrameH + step - 1) / step;
    std::vector<float> plate[3];
    for (auto& c : plate)
        c.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::mt19937 rng(9);
    std::normal_distribution<float> noise(0.0f, 0.004f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x);
            const bool subject = x > w / 3 && x < 2 * w / 3 && y > h / 4;
            const float light = 0.8f + 0.4f * static_cast<float>(x) / static_cast<float>(w);
            const float colour[3] = {subject ? 0.5f : 0.08f * light, subject ? 0.4f : 0.55f * light,
                                     subject ? 0.3f : 0.12f * light};
            for (int c = 0; c < 3; ++c)
                plate[c][i] = colour[c] + noise(rng);
        }
    const zav::RgbPlanes sample{plate[0].data(), plate[1].data(), plate[2].data(), w, h, w};
    for (auto _ : state) {
        const zav::ScreenMap map = zav::screenMapAuto(sample, step, kFrameW, kFrameH);
        const zav::ClipLevels clips = zav::chooseClips(sample, step, zav::KeyParams{}, &map);
        benchmark::DoNotOptimize(clips);
    }
}

BENCHMARK(BM_RowReference)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_RowFast)->Arg(1)->Arg(2)->Arg(3);
BENCHMARK(BM_FrameCopy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrameKeyRow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrameKeyRowMapped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MapAndClipsFromSample)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrameKeyRowAllCores)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrameHost)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Prints the usual table, then the ratios between runs of this invocation.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.counters.count("items_per_second")) {
                rate_[r.benchmark_name()] = r.counters.at("items_per_second");
                cpu_[r.benchmark_name()] = r.GetAdjustedCPUTime();
            }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nkernel: %s\n", zav::detail::isaName(zav::detail::dispatchedIsa()));
        std::printf("%-58s %8s %s\n", "ratio", "measured", "goal");
        for (const char* mode : {"1", "2", "3"})
            ratio(std::string("fast keyRow / reference, one row, replace mode ") + mode,
                  std::string("BM_RowFast/") + mode, std::string("BM_RowReference/") + mode, ">= 8x");
        ratio("keyRow frame / plain copy (time ratio, lower is better)", "BM_FrameCopy/real_time",
              "BM_FrameKeyRow/real_time", "<= 1.5x");
        // On a shared machine the wall clock counts other processes' time too.
        const std::string copy = "BM_FrameCopy/real_time", key = "BM_FrameKeyRow/real_time";
        if (cpu_.count(copy) && cpu_.count(key))
            std::printf("%-58s %7.2fx %s\n", "keyRow frame / plain copy (processor time ratio)", cpu_[key] / cpu_[copy],
                        "<= 1.5x");
        ratio("keyRowMapped frame / keyRow frame (time ratio)", "BM_FrameKeyRow/real_time",
              "BM_FrameKeyRowMapped/real_time", "(measured)");
        ratio("host path / keyRow, all cores (time ratio)", "BM_FrameKeyRowAllCores/real_time",
              "BM_FrameHost/0/real_time", "<= 1.3x");
        ratio("host path, two threads / one", "BM_FrameHost/2/real_time", "BM_FrameHost/1/real_time", ">= 1.8x");
        std::printf("(Mpixel/s are in the items_per_second column, in pixels.)\n");
    }

private:
    void ratio(const std::string& label, const std::string& fast, const std::string& slow, const char* goal)
    {
        if (rate_.count(fast) && rate_.count(slow))
            std::printf("%-58s %7.2fx %s\n", label.c_str(), rate_[fast] / rate_[slow], goal);
    }
    std::map<std::string, double> rate_;
    std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
