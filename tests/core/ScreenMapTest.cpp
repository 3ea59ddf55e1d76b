// SPDX-License-Identifier: Apache-2.0
#include "veilcast/core/ScreenMap.h"
#include "veilcast/core/ShotPlate.h"

#include "RowKernel.h"
#include "ScreenMapParts.h"

#include "AdversarialValues.h"
#include "FloatBits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace {

using zav::Colour;
using zavtest::sameResult;

constexpr float kUntouched = -12345.0f;

struct Outputs {
    explicit Outputs(int n) : r(n, kUntouched), g(n, kUntouched), b(n, kUntouched), a(n, kUntouched) {}
    std::vector<float> r, g, b, a;
};

// Asks "stop?" and says yes at its `stopAt`-th question (from 0), counting them.
struct CountingStop {
    int stopAt;
    int asked = 0;
    bool operator()() { return asked++ == stopAt; }
};

// With one colour everywhere the mapped keyer is the keyer: every output bit,
// the matte-inspection layout and the stop query's questions, on hostile
// pixels and settings. With a colour per pixel (hostile, or smooth as a map's
// with now and then a hostile one), each pixel is keyed as keyRow keys it
// alone with that pixel's colour as the screen, by every kernel and at every
// span length up to 300 from several offsets.
TEST(KeyRowMapped, EqualsKeyRowPixelByPixel)
{
    using zav::detail::Isa;
    std::vector<Isa> kernels{Isa::Scalar};
    for (const Isa isa : zav::detail::kVectorIsas)
        if (zav::detail::isaSupported(isa))
            kernels.push_back(isa);
    zavtest::AdversarialValues gen(0x3a9d2c41);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> plausible(0.0f, 1.0f), drift(0.97f, 1.03f);
    int vectorTrials = 0;
    for (int trial = 0; trial < 2400; ++trial) {
        const zav::KeyParams p = gen.params();
        const int n = static_cast<int>(gen.pick(300)), x = static_cast<int>(gen.pick(20)), width = n + x;
        std::vector<float> in[4];
        for (auto& plane : in) {
            plane.resize(static_cast<std::size_t>(width));
            for (float& v : plane)
                v = gen.value();
        }
        const bool withAlpha = gen.pick(2) == 0, alphaOut = !p.checkAlpha;
        const int stopAt = gen.pick(3) == 0 ? static_cast<int>(gen.pick(static_cast<std::uint32_t>(n + 1))) : -1;
        const int kind = trial % 3;  // 0 uniform, 1 hostile per pixel, 2 smooth per pixel

        std::vector<float> screen[3];
        for (auto& s : screen)
            s.resize(static_cast<std::size_t>(width));
        if (kind == 0) {
            const zav::ScreenMap map =
                zav::ScreenMap::uniform(width, 1, {p.screenColor[0], p.screenColor[1], p.screenColor[2]});
            map.sampleRow(0, x, width, screen[0].data(), screen[1].data(), screen[2].data());
        } else {
            const Colour base{0.1f * plausible(rng), 0.3f + 0.6f * plausible(rng), 0.2f * plausible(rng)};
            const int hostileEvery = 1 + static_cast<int>(gen.pick(400));
            for (int i = 0; i < width; ++i)
                for (int c = 0; c < 3; ++c) {
                    const std::size_t k = static_cast<std::size_t>(c);
                    const bool hostile = kind == 1 ? gen.pick(4) == 0 : i % hostileEvery == hostileEvery - 1;
                    screen[k][static_cast<std::size_t>(i)] = hostile ? gen.value()
                                                             : kind == 1 ? plausible(rng) : base[k] * drift(rng);
                }
        }
        const float* const screens[3] = {screen[0].data(), screen[1].data(), screen[2].data()};

        Outputs want(width);
        CountingStop wantStop{stopAt};
        if (kind == 0) {
            zav::keyRow(p, x, width, in[0].data(), in[1].data(), in[2].data(), withAlpha ? in[3].data() : nullptr,
                        want.r.data(), want.g.data(), want.b.data(), alphaOut ? want.a.data() : nullptr, wantStop);
        } else {
            bool stopped = false;
            for (int i = x; i < width && !stopped; ++i) {
                zav::KeyParams one = p;
                for (int c = 0; c < 3; ++c)
                    one.screenColor[c] = screen[static_cast<std::size_t>(c)][static_cast<std::size_t>(i)];
                zav::keyRow(one, i, i + 1, in[0].data(), in[1].data(), in[2].data(),
                            withAlpha ? in[3].data() : nullptr, want.r.data(), want.g.data(), want.b.data(),
                            alphaOut ? want.a.data() : nullptr, [&] { return stopped = wantStop(); });
            }
        }
        vectorTrials += kind == 2 && std::isfinite(p.screenGain) && std::isfinite(p.screenBalance) &&
                        std::isfinite(p.clipBlack) && std::isfinite(p.clipWhite);
        for (const Isa isa : kind == 0 ? std::vector<Isa>{zav::detail::dispatchedIsa()} : kernels) {
            Outputs got(width);
            CountingStop gotStop{stopAt};
            const zav::RowArrays arrays{{in[0].data(), in[1].data(), in[2].data()},
                                        withAlpha ? in[3].data() : nullptr,
                                        {got.r.data(), got.g.data(), got.b.data()},
                                        alphaOut ? got.a.data() : nullptr};
            if (kind == 0)
                zav::keyRowMapped(p, x, width, arrays, screens, gotStop);
            else
                zav::detail::keyRowMappedWithKernel(
                    zav::detail::mappedSpanKernel(isa), p, x, width, arrays, screens,
                    [](void* s) { return (*static_cast<CountingStop*>(s))(); }, &gotStop);
            ASSERT_EQ(gotStop.asked, wantStop.asked) << "trial " << trial << " " << zav::detail::isaName(isa);
            for (int i = 0; i < width; ++i) {
                const std::size_t k = static_cast<std::size_t>(i);
                const float g4[4] = {got.r[k], got.g[k], got.b[k], got.a[k]};
                const float w4[4] = {want.r[k], want.g[k], want.b[k], want.a[k]};
                for (int c = 0; c < 4; ++c)
                    ASSERT_TRUE(sameResult(g4[c], w4[c]))
                        << "trial " << trial << " kind " << kind << " " << zav::detail::isaName(isa) << " pixel "
                        << i << " channel " << c << ": got " << g4[c] << " want " << w4[c];
            }
        }
    }
    EXPECT_GT(vectorTrials, 100);  // smooth screens with finite settings: the vector path's case
}

// A screen map's colour between cell centres, worked by hand, and a backing
// lit differently on each half keyed clear on both under a hand-made map,
// which no single screen colour does.
TEST(ScreenMap, TwoBackingsUnderAHandMadeMapBothKeyToZero)
{
    const Colour left{0.05f, 0.60f, 0.30f}, right{0.30f, 0.50f, 0.05f};
    constexpr int kW = 64, kH = 4;
    // Eight cells across: four of each colour; cell k's centre is pixel 8k + 3.5.
    std::vector<float> cells;
    for (int k = 0; k < 8; ++k)
        for (const float v : k < 4 ? left : right)
            cells.push_back(v);
    const zav::ScreenMap map(kW, kH, 8, 1, cells);
    std::array<std::vector<float>, 3> screen;
    for (auto& s : screen)
        s.assign(kW, kUntouched);
    map.sampleRow(2, 0, kW, screen[0].data(), screen[1].data(), screen[2].data());
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(screen[c][0], left[c]) << c;    // before the first centre: the first cell
        EXPECT_EQ(screen[c][27], left[c]) << c;   // cell 3's centre is 27.5: between two left cells
        EXPECT_EQ(screen[c][36], right[c]) << c;  // past cell 4's centre, 35.5
        EXPECT_EQ(screen[c][63], right[c]) << c;
        // Pixel 31 is 3.5 of the 8 pixels from centre 27.5 to centre 35.5.
        EXPECT_NEAR(screen[c][31], left[c] + 3.5 / 8 * (right[c] - left[c]), 1e-7) << c;
    }
    // Down the frame alike: two cells over 16 rows, centres at rows 3.5 and
    // 11.5; the line through them carries on past both.
    std::vector<float> stacked(left.begin(), left.end());
    stacked.insert(stacked.end(), right.begin(), right.end());
    const zav::ScreenMap tall(4, 16, 1, 2, stacked);
    const std::pair<int, double> rows[] = {{0, -3.5 / 8}, {3, -0.5 / 8}, {7, 3.5 / 8}, {12, 8.5 / 8}, {15, 11.5 / 8}};
    for (const auto& [row, t] : rows) {
        float rgb[3][4];
        tall.sampleRow(row, 0, 4, rgb[0], rgb[1], rgb[2]);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(rgb[c][3], left[c] + t * (right[c] - left[c]), 2e-7) << "row " << row << " channel " << c;
    }
    EXPECT_THROW(zav::ScreenMap(kW, kH, 8, 1, std::vector<float>(23)), std::invalid_argument);
    EXPECT_THROW(zav::ScreenMap(0, kH, 1, 1, {0.1f, 0.5f, 0.1f}), std::invalid_argument);

    // The plate: each half its own backing, lit at 1.0 and 1.2 times it.
    std::array<std::vector<float>, 3> plate;
    for (int c = 0; c < 3; ++c)
        for (int x = 0; x < kW; ++x)
            plate[c].push_back((x < kW / 2 ? left[c] : right[c]) * (x % 2 ? 1.2f : 1.0f));
    const auto key = [&](const float* const screens[3], const zav::KeyParams& params) {
        Outputs out(kW);
        const zav::RowArrays arrays{{plate[0].data(), plate[1].data(), plate[2].data()},
                                    nullptr,
                                    {out.r.data(), out.g.data(), out.b.data()},
                                    out.a.data()};
        zav::keyRowMapped(params, 0, kW, arrays, screens, [] { return false; });
        return out.a;
    };
    const float* const mapped[3] = {screen[0].data(), screen[1].data(), screen[2].data()};
    const std::vector<float> alpha = key(mapped, zav::KeyParams{});
    for (int x = 0; x < kW; ++x) {
        if (x <= 27 || x >= 36) {  // zero but for the rounding of the colour the keyer takes off
            EXPECT_LE(alpha[static_cast<std::size_t>(x)], 1e-6f) << x;
        }
    }
    // Either colour alone leaves the other half's backing partly opaque.
    for (const Colour& only : {left, right}) {
        std::array<std::vector<float>, 3> flat;
        for (int c = 0; c < 3; ++c)
            flat[c].assign(kW, only[c]);
        const float* const one[3] = {flat[0].data(), flat[1].data(), flat[2].data()};
        const std::vector<float> a = key(one, zav::KeyParams{});
        EXPECT_GT(*std::max_element(a.begin(), a.end()), 0.2f);
    }
}

// A plate in planar form for the automatic functions.
struct Plate {
    Plate(int width, int height) : w(width), h(height)
    {
        for (auto& p : c)
            p.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0.0f);
    }
    void set(int x, int y, const Colour& colour)
    {
        for (int k = 0; k < 3; ++k)
            c[k][static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = colour[k];
    }
    zav::RgbPlanes planes() const { return {c[0].data(), c[1].data(), c[2].data(), w, h, w}; }
    // The plate keyed with default settings against `map`, row by row as
    // the operator keys it: its alpha, row after row.
    std::vector<float> keyedAlpha(const zav::ScreenMap& map) const
    {
        std::vector<float> s[3], out[3], alpha(c[0].size());
        for (auto& v : s)
            v.resize(static_cast<std::size_t>(w));
        for (auto& v : out)
            v.resize(static_cast<std::size_t>(w));
        for (int y = 0; y < h; ++y) {
            map.sampleRow(y, 0, w, s[0].data(), s[1].data(), s[2].data());
            const std::size_t o = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
            const float* const screens[3] = {s[0].data(), s[1].data(), s[2].data()};
            const zav::RowArrays arrays{{c[0].data() + o, c[1].data() + o, c[2].data() + o},
                                        nullptr,
                                        {out[0].data(), out[1].data(), out[2].data()},
                                        alpha.data() + o};
            zav::keyRowMapped(zav::KeyParams{}, 0, w, arrays, screens, [] { return false; });
        }
        return alpha;
    }
    int w, h;
    std::vector<float> c[3];
};

// A clean backing (0.1, 0.5, 0.12) with light noise, a grey subject, and a
// shadow at 0.4 times the backing over the right sixth of the frame, its
// penumbra another sixth.
// The backing's strength is 0.5 - (0.1 + 0.12) / 2 = 0.39 with a noise of
// about 0.004; the pick should sit a few noise deviations below it (green
// 0.39 / 0.78 = 0.5 less about 5%), not at the shadow's 0.4 times.
TEST(ScreenPicking, AutomaticPickIgnoresAPlantedShadow)
{
    const Colour backing{0.10f, 0.50f, 0.12f};
    Plate plate(200, 120);
    std::mt19937 rng(21);
    std::normal_distribution<float> noise(0.0f, 0.003f);
    for (int y = 0; y < plate.h; ++y)
        for (int x = 0; x < plate.w; ++x) {
            const bool subject = x >= 80 && x < 120 && y >= 30;
            const float light = x < 140 ? 1.0f : x < 170 ? 1.0f - 0.6f * static_cast<float>(x - 140) / 30.0f : 0.4f;
            const Colour lit{backing[0] * light + noise(rng), backing[1] * light + noise(rng),
                             backing[2] * light + noise(rng)};
            plate.set(x, y, subject ? Colour{0.5f, 0.45f, 0.4f} : lit);
        }
    const Colour picked = zav::pickScreenAuto(plate.planes());
    EXPECT_GE(picked[1], 0.9f * backing[1]);
    EXPECT_LE(picked[1], backing[1]);
    EXPECT_NEAR(picked[0] / picked[1], backing[0] / backing[1], 0.01f);
    EXPECT_NEAR(picked[2] / picked[1], backing[2] / backing[1], 0.01f);
    // The automatic map follows the shadow: the whole backing, lit and shaded,
    // keys clear, the subject stays solid.
    const zav::ScreenMap map = zav::screenMapAuto(plate.planes(), 1, plate.w, plate.h);
    const std::vector<float> alpha = plate.keyedAlpha(map);
    int dirty = 0, backingPixels = 0;
    for (int y = 0; y < plate.h; ++y) {
        for (int x = 0; x < plate.w; ++x) {
            const float a = alpha[static_cast<std::size_t>(y) * static_cast<std::size_t>(plate.w) + static_cast<std::size_t>(x)];
            if (x >= 80 && x < 120 && y >= 30) {
                ASSERT_EQ(a, 1.0f) << x << "," << y;
            } else if (x < 76 || x >= 124 || y < 26) {
                ++backingPixels;
                dirty += a > 0.05f;
            }
        }
    }
    EXPECT_LE(dirty, backingPixels / 100) << "of " << backingPixels;
}

// A clean plate keyed with its own map: a backing whose light, and with it
// its hue, drifts (green 0.3 + 0.3 x + 0.1 y, red 0.06, blue 0.1, x and y from
// 0 to 1 across the frame) keys clear to its very edges. A cell's median sits
// within half a pixel of its centre, at most 0.3 / 159 / 2 = 0.00094 of
// green off, against a strength of 0.22 at the dim corner: a matte up to
// 0.0043 may stay, no veil.
TEST(ScreenMap, ACleanPlateKeysClearWithItsOwnMap)
{
    Plate plate(160, 90);
    for (int y = 0; y < plate.h; ++y)
        for (int x = 0; x < plate.w; ++x) {
            const float fx = static_cast<float>(x) / 159.0f, fy = static_cast<float>(y) / 89.0f;
            plate.set(x, y, {0.06f, 0.3f + 0.3f * fx + 0.1f * fy, 0.1f});
        }
    const zav::ScreenMap map = zav::screenMapFromCleanPlate(plate.planes(), 1, plate.w, plate.h);
    // Sampled on every other pixel, the 160 x 90 samples cover a frame of
    // 319 x 179 (the last column and row are sampled) or 320 x 180, no more.
    EXPECT_EQ(zav::screenMapFromCleanPlate(plate.planes(), 2, 319, 179).width(), 319);
    EXPECT_EQ(zav::screenMapAuto(plate.planes(), 2, 320, 180).height(), 180);
    EXPECT_THROW(zav::screenMapFromCleanPlate(plate.planes(), 2, 321, 180), std::invalid_argument);
    EXPECT_THROW(zav::screenMapFromCleanPlate(plate.planes(), 2, 320, 178), std::invalid_argument);
    const std::vector<float> alpha = plate.keyedAlpha(map);
    const float most = *std::max_element(alpha.begin(), alpha.end());
    EXPECT_LE(most, 0.0043f);
}

// Clip levels on a plate whose matte is known. The screen is S = (0.1, 0.6,
// 0.1), so the keyer's screen difference is 0.5. A band of backing at `dim`
// times S has the matte 1 - dim; the subject's left half, (0.3, 0.4, 0.3),
// leans 0.4 - 0.3 = 0.1 towards the screen, a matte of 1 - 0.1 / 0.5 = 0.8
// (its foreground, P - 0.2 S = 0.28 grey, sets no higher floor); its right
// half is red, matte 1. The band is the darkest 12% of the backing, so Clip
// Black is its matte, capped at 0.3; Clip White is the subject's 0.8
// stretched as Clip Black stretches it, (0.8 - black) / (1 - black), never
// below 0.4.
TEST(ChooseClips, LevelsOfAPlateWithAKnownMatte)
{
    struct Case {
        float dim;
        float black, white;
    } const cases[] = {
        {1.0f, 0.0f, 0.8f},
        {0.8f, 0.2f, 0.75f},           // (0.8 - 0.2) / 0.8
        {0.5f, 0.3f, 0.5f / 0.7f},     // capped: (0.8 - 0.3) / 0.7
        {0.72f, 0.28f, 0.52f / 0.72f},
    };
    const Colour screen{0.1f, 0.6f, 0.1f};
    for (const Case& t : cases) {
        Plate plate(120, 80);
        for (int y = 0; y < plate.h; ++y)
            for (int x = 0; x < plate.w; ++x) {
                const float band = y >= 72 ? t.dim : 1.0f;
                Colour c{screen[0] * band, screen[1] * band, screen[2] * band};
                if (x >= 40 && x < 80 && y >= 10 && y < 70)
                    c = x < 60 ? Colour{0.3f, 0.4f, 0.3f} : Colour{0.7f, 0.1f, 0.1f};
                plate.set(x, y, c);
            }
        zav::KeyParams params;
        std::copy(screen.begin(), screen.end(), params.screenColor);
        params.clipBlack = 0.6f;  // the user's clips are no part of the reading
        params.clipWhite = 0.7f;
        const zav::ClipLevels clips = zav::chooseClips(plate.planes(), 1, params, nullptr);
        EXPECT_NEAR(clips.clipBlack, t.black, 1e-5f) << "band at " << t.dim;
        EXPECT_NEAR(clips.clipWhite, t.white, 1e-5f) << "band at " << t.dim;
        const zav::ScreenMap uniform = zav::ScreenMap::uniform(plate.w, plate.h, screen);
        const zav::ClipLevels mapped = zav::chooseClips(plate.planes(), 1, params, &uniform);
        EXPECT_EQ(mapped.clipBlack, clips.clipBlack);
        EXPECT_EQ(mapped.clipWhite, clips.clipWhite);
        EXPECT_EQ(mapped.screenBalance, clips.screenBalance);
    }
    // A map made for another frame is refused, not read beyond its end.
    const zav::ScreenMap narrow = zav::ScreenMap::uniform(60, 80, screen);
    Plate plain(120, 80);
    EXPECT_THROW(zav::chooseClips(plain.planes(), 1, zav::KeyParams{}, &narrow), std::invalid_argument);
    // A subject that keys thin everywhere, (0.2, 0.55, 0.2), leaning 0.35
    // towards the screen, a matte of 0.3: Clip White stops at 0.4.
    Plate thin(120, 80);
    for (int y = 0; y < thin.h; ++y)
        for (int x = 0; x < thin.w; ++x)
            thin.set(x, y, x >= 40 && x < 80 && y >= 10 && y < 70 ? Colour{0.2f, 0.55f, 0.2f} : screen);
    zav::KeyParams params;
    std::copy(screen.begin(), screen.end(), params.screenColor);
    EXPECT_EQ(zav::chooseClips(thin.planes(), 1, params, nullptr).clipWhite, 0.4f);
    // A pane of glass (0.8 S: a matte of 0.2) in a red subject is no part of
    // its solid core: it does not pull Clip White down, which only mattes of
    // at least 0.5 set.
    Plate glass(120, 80);
    for (int y = 0; y < glass.h; ++y)
        for (int x = 0; x < glass.w; ++x) {
            Colour c = screen;
            if (x >= 40 && x < 80 && y >= 10 && y < 70)
                c = x >= 52 && x < 64 && y >= 30 && y < 42 ? Colour{0.08f, 0.48f, 0.08f} : Colour{0.7f, 0.1f, 0.1f};
            glass.set(x, y, c);
        }
    EXPECT_GE(zav::chooseClips(glass.planes(), 1, params, nullptr).clipWhite, 0.5f);

    // Screen Balance: the screen (0.1, 0.6, 0.2) leans 0.5 - 0.1 b at balance
    // b (red the lesser, blue the greater); a subject (r, g, bl) leans
    // g - (1 - b) r - b bl. The balance chosen, among steps of 0.05, is the
    // one where the ratio of the two is least in size.
    struct Lean {
        Colour subject;
        float balance;
    } const leans[] = {
        {{0.2f, 0.35f, 0.4f}, 0.75f},  // 0.15 - 0.2 b: no lean at 0.75
        {{0.5f, 0.1f, 0.3f}, 1.0f},    // |0.2 b - 0.4| / (0.5 - 0.1 b) falls all the way to b = 1
        {{0.3f, 0.4f, 0.3f}, 0.0f},    // 0.1 / (0.5 - 0.1 b): least where the screen leans most
    };
    const Colour tinted{0.1f, 0.6f, 0.2f};
    std::copy(tinted.begin(), tinted.end(), params.screenColor);
    for (const Lean& t : leans) {
        Plate plate(120, 80);
        for (int y = 0; y < plate.h; ++y)
            for (int x = 0; x < plate.w; ++x)
                plate.set(x, y, x >= 40 && x < 80 && y >= 10 && y < 70 ? t.subject : tinted);
        EXPECT_EQ(zav::chooseClips(plate.planes(), 1, params, nullptr).screenBalance, t.balance)
            << t.subject[0] << "," << t.subject[1] << "," << t.subject[2];
    }
}

// With nothing to read them off, the clips stay 0 and 1 and Screen Balance
// stays the user's: a grey frame (no backing at all), a frame of backing
// alone (no subject, so no rim to weigh the balance on).
TEST(ChooseClips, NothingToReadKeepsTheUsersBalance)
{
    zav::KeyParams params;
    const Colour screen{0.1f, 0.6f, 0.1f};
    std::copy(screen.begin(), screen.end(), params.screenColor);
    params.screenBalance = 0.8f;
    params.clipBlack = 0.2f;
    params.clipWhite = 0.7f;
    Plate grey(120, 80), backing(120, 80);
    for (int y = 0; y < grey.h; ++y)
        for (int x = 0; x < grey.w; ++x) {
            grey.set(x, y, {0.3f, 0.3f, 0.3f});
            backing.set(x, y, screen);
        }
    for (const Plate* plate : {&grey, &backing}) {
        const zav::ScreenMap uniform = zav::ScreenMap::uniform(plate->w, plate->h, screen);
        for (const zav::ScreenMap* map : {static_cast<const zav::ScreenMap*>(nullptr), &uniform}) {
            const zav::ClipLevels clips = zav::chooseClips(plate->planes(), 1, params, map);
            EXPECT_EQ(clips.screenBalance, 0.8f) << (plate == &grey ? "grey" : "backing") << (map ? ", mapped" : "");
            EXPECT_EQ(clips.clipWhite, 1.0f);
            if (plate == &grey) {
                EXPECT_EQ(clips.clipBlack, 0.0f);
            }
        }
    }
}

// The fill under the subject is the smooth surface the backing around it
// spans: a backing that changes linearly across and down the grid is filled
// with that same plane (each cell the mean of its four neighbours), with no
// drift towards any side. A fill that left out one neighbour would lean
// towards the other three by a share of the step per cell.
TEST(ScreenMap, FillContinuesALinearBackingEvenly)
{
    constexpr int kNx = 16, kNy = 12;
    const auto plane = [](int x, int y, int c) { return 0.2f + 0.01f * static_cast<float>(x) * (c == 1 ? 1.0f : -0.5f) + 0.02f * static_cast<float>(y) * (c == 2 ? -1.0f : 1.0f); };
    // A wide hole and a tall narrow one, both inside the grid.
    struct Hole {
        int x0, y0, x1, y1;
    } const holes[] = {{4, 3, 11, 9}, {5, 2, 7, 10}};
    for (const Hole& hole : holes) {
        std::vector<float> cells(static_cast<std::size_t>(kNx * kNy * 3));
        std::vector<std::uint8_t> set(static_cast<std::size_t>(kNx * kNy), 1);
        for (int y = 0; y < kNy; ++y)
            for (int x = 0; x < kNx; ++x) {
                const std::size_t i = static_cast<std::size_t>(y * kNx + x);
                const bool inHole = x >= hole.x0 && x < hole.x1 && y >= hole.y0 && y < hole.y1;
                set[i] = !inHole;
                for (int c = 0; c < 3; ++c)
                    cells[3 * i + static_cast<std::size_t>(c)] = inHole ? 5.0f : plane(x, y, c);
            }
        zav::detail::fillGrid(cells, set, kNx, kNy);
        for (int y = 0; y < kNy; ++y)
            for (int x = 0; x < kNx; ++x)
                for (int c = 0; c < 3; ++c)
                    EXPECT_NEAR(cells[static_cast<std::size_t>((y * kNx + x) * 3 + c)], plane(x, y, c), 2e-5f)
                        << "cell " << x << "," << y << " channel " << c;
    }
}

// A clean plate found in the shot: a hot spot on the backing hidden by the
// subject in the last frame was seen in the frames before, as the subject
// moved across it. The map of the last frame from the shot knows the hot
// spot; the map found on that frame alone fills it from around and misses
// it. Frames of another size add nothing and a map for them ignores the
// plate; with no plate the map is the frame's own.
TEST(ShotPlate, BackingSeenInOtherFramesIsKnownUnderTheSubject)
{
    constexpr int kW = 160, kH = 96;
    const auto backing = [](int x, int y) {
        const float dx = static_cast<float>(x - 110), dy = static_cast<float>(y - 48);
        const float lift = 1.0f + 0.5f * std::exp(-(dx * dx + dy * dy) / (2.0f * 12.0f * 12.0f));
        return Colour{0.08f * lift, 0.5f * lift, 0.12f * lift};
    };
    const auto frameAt = [&](int left) {
        Plate plate(kW, kH);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                plate.set(x, y, x >= left && x < left + 44 && y >= 20 && y < 76 ? Colour{0.6f, 0.2f, 0.15f} : backing(x, y));
        return plate;
    };
    zav::ShotPlate shot;
    for (int left = 10; left <= 88; left += 13)
        EXPECT_TRUE(shot.add(frameAt(left).planes(), 1, kW, kH)) << left;
    const Plate last = frameAt(88);  // hides the hot spot's centre, 110,48
    const zav::ScreenMap fromShot = zav::screenMapShot(last.planes(), 1, kW, kH, &shot);
    const zav::ScreenMap alone = zav::screenMapAuto(last.planes(), 1, kW, kH);
    const auto green = [](const zav::ScreenMap& map, int x, int y) {
        std::vector<float> rgb[3];
        for (auto& v : rgb)
            v.resize(kW);
        map.sampleRow(y, 0, kW, rgb[0].data(), rgb[1].data(), rgb[2].data());
        return rgb[1][static_cast<std::size_t>(x)];
    };
    // The hot spot against the backing far from it, as the map of a true
    // clean plate has it (its cells smooth the peak of 1.5 a little).
    Plate clean(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            clean.set(x, y, backing(x, y));
    const zav::ScreenMap cleanMap = zav::screenMapFromCleanPlate(clean.planes(), 1, kW, kH);
    const float truth = green(cleanMap, 110, 48) / green(cleanMap, 10, 10);
    EXPECT_GT(truth, 1.3f);
    const float seen = green(fromShot, 110, 48) / green(fromShot, 10, 10);
    const float filled = green(alone, 110, 48) / green(alone, 10, 10);
    EXPECT_NEAR(seen, truth, 0.02f);
    EXPECT_LT(filled, truth - 0.15f);
    EXPECT_GT(shot.seenShare(), 0.9);
    // The subject keys solid and the backing clear with the shot's map.
    const std::vector<float> alpha = last.keyedAlpha(fromShot);
    EXPECT_LT(alpha[static_cast<std::size_t>(48 * kW + 140)], 0.02f);
    EXPECT_GT(alpha[static_cast<std::size_t>(48 * kW + 100)], 0.99f);

    Plate other(kW / 2, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW / 2; ++x)
            other.set(x, y, backing(x, y));
    EXPECT_FALSE(shot.add(other.planes(), 1, kW / 2, kH));
    EXPECT_EQ(shot.frames(), 7);
    const zav::ScreenMap otherMap = zav::screenMapShot(other.planes(), 1, kW / 2, kH, &shot);
    EXPECT_EQ(otherMap.width(), kW / 2);
    EXPECT_NO_THROW(zav::screenMapShot(last.planes(), 1, kW, kH, nullptr));
    // Clips chosen over the shot: the median of each frame's.
    std::vector<zav::RgbPlanes> samples;
    std::vector<Plate> frames;
    for (int left = 10; left <= 88; left += 39)
        frames.push_back(frameAt(left));
    for (const Plate& f : frames)
        samples.push_back(f.planes());
    zav::KeyParams params;
    params.screenBalance = 0.8f;
    const zav::ClipLevels clips = zav::chooseShotClips(samples, 1, params, {});
    EXPECT_GE(clips.clipWhite, 0.4f);
    Plate grey(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            grey.set(x, y, {0.3f, 0.3f, 0.3f});
    EXPECT_EQ(zav::chooseShotClips({grey.planes()}, 1, params, {}).screenBalance, 0.8f);
}

}  // namespace
