// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/ImageSource.h"
#include "veilcast/host/RowRenderer.h"
#include "veilcast/host/ScreenMapSource.h"
#include "veilcast/core/ScreenMap.h"
#include "LoadedPlugin.h"
#include "veilcast/host/OperatorNode.h"
#include "ParamsFromControls.h"
#include "veilcast/core/ScreenKeyer.h"
#include "TestImages.h"

#include "FloatBits.h"

#include "DDImage/Row.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

using namespace DD::Image;
using veilcast::ControlValue;
using veilcast::OperatorNode;

class ZAVVeilcastTest : public ::testing::Test {
protected:
    void SetUp() override { zavtest::loadedPlugin(); }
};

TEST_F(ZAVVeilcastTest, RegistersByNameWithIdentityStrings)
{
    const Op::Description* d = Op::Description::find("ZAVVeilcast");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->name, "ZAVVeilcast");
    EXPECT_EQ(d->menu, nullptr);

    OperatorNode node("ZAVVeilcast");
    Iop& op = node.op();
    EXPECT_STREQ(op.Class(), d->name);
    EXPECT_STREQ(op.node_help(), "Exploration of Veilcast concepts\n");
    EXPECT_EQ(op.minimum_inputs(), 1);
    EXPECT_EQ(op.maximum_inputs(), 1);
    char buffer[8] = "unused";
    EXPECT_STREQ(op.input_label(0, buffer), "src");
    EXPECT_EQ(op.input_label(1, buffer), nullptr);
    EXPECT_STREQ(buffer, "unused");
    EXPECT_EQ(op.default_input(0), nullptr);  // the base's default
    EXPECT_EQ(op.default_input(1), nullptr);
    EXPECT_EQ(op.knob_changed(nullptr), 0);
}

struct ExpectedKnob {
    int type;
    StoreType store;
    bool bound;
    const char* name;
    const char* label;
    std::intptr_t extra;  // 0 null, 1 / -1 group markers, 2 item list, 3 empty text
    std::uint64_t flags;
    bool ranged;
    const char* group;  // as the host files it; a group's own markers sit outside it
};

TEST_F(ZAVVeilcastTest, KnobTableCallByCall)
{
    const ExpectedKnob expected[] = {
        {6, BoolPtr, true, "CheckAlphaKnob", "Check Alpha", 0, 1, false, ""},
        {26, Custom, false, nullptr, " ", 3, 1, false, ""},
        {18, FloatPtr, true, "ScreenColorKnob", "Screen Color", 0, 0, false, ""},
        {8, FloatPtr, true, "ScreenGainKnob", "Screen Gain", 0, 1, true, ""},
        {8, FloatPtr, true, "ScreenBalanceKnob", "Screen Balance", 0, 1, false, ""},
        {26, Custom, false, nullptr, " ", 3, 1, false, ""},
        {20, Custom, false, "ScreenMatteGroup", "Alpha Clipping", 1, 1, false, ""},
        {8, FloatPtr, true, "ClipBlackKnob", "Clip Black", 0, 1, false, "ScreenMatteGroup"},
        {8, FloatPtr, true, "ClipWhiteKnob", "Clip White", 0, 1, false, "ScreenMatteGroup"},
        {20, Custom, false, nullptr, nullptr, -1, 1, false, ""},
        {20, Custom, false, "InMaskGroup", "In Mask", 1, 1, false, ""},
        {4, IntPtr, true, "SourceAlphaKnob", "Source Alpha", 2, 1, false, "InMaskGroup"},
        {4, IntPtr, true, "inMaskReplacementModeKnob", "Inside Replace", 2, 1, false, "InMaskGroup"},
        {18, FloatPtr, true, "inMaskReplacementColorKnob", "Inside Replace Color", 0, 0, false, "InMaskGroup"},
        {20, Custom, false, nullptr, nullptr, -1, 1, false, ""},
    };
    OperatorNode node("ZAVVeilcast");
    const auto& all = node.controls().all();
    ASSERT_EQ(all.size(), std::size(expected));
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Knob& k = *all[i].knob;
        const ExpectedKnob& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_EQ(k.type(), e.type);
        EXPECT_EQ(k.storeType(), e.store);
        EXPECT_EQ(k.storage() != nullptr, e.bound);
        if (e.name)
            EXPECT_STREQ(k.name(), e.name);
        else
            EXPECT_EQ(k.name(), nullptr);
        if (e.label)
            EXPECT_STREQ(k.label(), e.label);
        else
            EXPECT_EQ(k.label(), nullptr);
        switch (e.extra) {
        case 0: EXPECT_EQ(k.extra(), nullptr); break;
        case 1: EXPECT_EQ(reinterpret_cast<std::uintptr_t>(k.extra()), 1u); break;
        case -1: EXPECT_EQ(reinterpret_cast<std::uintptr_t>(k.extra()), ~std::uintptr_t(0)); break;
        case 2: EXPECT_NE(k.extra(), nullptr); break;
        case 3: ASSERT_NE(k.extra(), nullptr); EXPECT_STREQ(static_cast<const char*>(k.extra()), ""); break;
        }
        EXPECT_EQ(k.flags(), e.flags);
        EXPECT_EQ(k.hasRange(), e.ranged);
        EXPECT_EQ(all[i].group, e.group);
    }
    EXPECT_EQ(all[3].knob->rangeMin(), 0.0);
    EXPECT_EQ(all[3].knob->rangeMax(), 2.0);
    EXPECT_EQ(all[11].items(), (std::vector<std::string>{"Ignore", "Add to Inside Mask", "Normal"}));
    EXPECT_EQ(all[12].items(), (std::vector<std::string>{"None", "Source", "Hard Color", "Soft Color"}));

    // Running knobs again makes the same calls against the same storage.
    veilcast::Controls again;
    node.op().knobs(again);
    ASSERT_EQ(again.all().size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(again.all()[i].knob->storage(), all[i].knob->storage());
}

TEST_F(ZAVVeilcastTest, NewNodeShowsDefaultsAndEditsLandInTheSettings)
{
    OperatorNode node("ZAVVeilcast");
    auto& c = node.controls();
    EXPECT_EQ(std::get<bool>(c.get("CheckAlphaKnob")), false);
    using Colour = std::array<float, 3>;
    EXPECT_EQ(std::get<Colour>(c.get("Screen Color")), Colour({0, 0, 0}));
    EXPECT_EQ(std::get<Colour>(c.get("inMaskReplacementColorKnob")), Colour({0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(std::get<float>(c.get("ClipBlackKnob")), 0.0f);
    EXPECT_EQ(std::get<float>(c.get("ClipWhiteKnob")), 1.0f);
    EXPECT_EQ(std::get<float>(c.get("ScreenGainKnob")), 1.0f);
    EXPECT_EQ(std::get<float>(c.get("ScreenBalanceKnob")), 0.5f);
    EXPECT_EQ(std::get<int>(c.get("inMaskReplacementModeKnob")), 3);
    EXPECT_EQ(std::get<int>(c.get("SourceAlphaKnob")), 0);

    c.set("screen gain", 2.5f);  // beyond the slider: nothing limits it
    c.set("SOURCEALPHAKNOB", 2);
    c.set("Screen Color", std::array<float, 3>{0.1f, 0.8f, 0.2f});
    c.set("Check Alpha", true);
    // The values land in the storage the operator bound.
    EXPECT_EQ(*static_cast<float*>(c.find("ScreenGainKnob")->knob->storage()), 2.5f);
    EXPECT_EQ(*static_cast<std::int32_t*>(c.find("SourceAlphaKnob")->knob->storage()), 2);
    EXPECT_EQ(static_cast<float*>(c.find("ScreenColorKnob")->knob->storage())[1], 0.8f);
    EXPECT_TRUE(*static_cast<bool*>(c.find("CheckAlphaKnob")->knob->storage()));
    EXPECT_THROW(c.set("ScreenGainKnob", true), std::invalid_argument);
    EXPECT_THROW(c.set("NoSuchKnob", 1.0f), std::invalid_argument);
    EXPECT_THROW(c.set("Inside Replace", 4), std::invalid_argument);
}

// A node wired to an in-memory source, as the host would set it up.
struct Wired {
    explicit Wired(veilcast::PlanarImage img) : image(std::move(img)), source(image), node("ZAVVeilcast")
    {
        node.op().set_input(0, &source);
    }
    void validate()
    {
        node.op().validate(true);
    }
    veilcast::PlanarImage image;
    veilcast::ImageSource source;
    OperatorNode node;
};

const Box kBox{0, 0, 24, 3};

TEST_F(ZAVVeilcastTest, OutputChannelsFollowCheckAlpha)
{
    Wired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha, Chan_Z}));
    w.validate();
    EXPECT_EQ(w.node.op().info().channels(), ChannelSet(Mask_RGBA));
    EXPECT_EQ(w.node.op().out_channels(), ChannelSet(Mask_RGBA));
    EXPECT_EQ(w.node.op().info().box().r, kBox.r);
    w.node.controls().set("CheckAlphaKnob", true);
    w.validate();
    EXPECT_EQ(w.node.op().info().channels(), ChannelSet(Mask_RGB));
    EXPECT_EQ(w.node.op().out_channels(), ChannelSet(Mask_RGB));
}

TEST_F(ZAVVeilcastTest, RequestsAlphaOnlyWhenItIsTheInsideMask)
{
    Wired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}));
    Iop& op = w.node.op();
    struct Case {
        int sourceAlpha;
        bool checkAlpha;
        ChannelSetInit wanted;
    } cases[] = {{0, false, Mask_RGB}, {1, false, Mask_RGBA}, {2, false, Mask_RGBA},
                 {2, true, Mask_RGBA}, {0, true, Mask_RGB},   {5, false, Mask_RGB}};
    for (const Case& c : cases) {
        w.node.controls().set("CheckAlphaKnob", c.checkAlpha);
        // Out-of-range values cannot be set through the control; write the field as a script might.
        *static_cast<std::int32_t*>(w.node.controls().find("SourceAlphaKnob")->knob->storage()) = c.sourceAlpha;
        w.validate();
        op.request(Mask_Red, 3);
        EXPECT_EQ(w.source.requested_channels(), ChannelSet(c.wanted)) << c.sourceAlpha;
        EXPECT_EQ(w.source.requested_count(), 3);
    }
    // A request for depth alone reaches no input.
    w.validate();
    op.request(Mask_Z, 1);
    EXPECT_TRUE(w.source.requested_channels().empty());
}

// An output row whose colour and alpha buffers are filled with a sentinel, so
// that untouched pixels are seen.
struct SentinelRow {
    static constexpr float kSentinel = -777.0f;
    SentinelRow(int x, int r) : row(x, r), storage(4 * static_cast<std::size_t>(r - x), kSentinel)
    {
        for (int c = 0; c < 4; ++c)
            row.attach(static_cast<Channel>(Chan_Red + c),
                       storage.data() + static_cast<std::size_t>(c * (r - x)) - x);
    }
    bool untouched() const
    {
        for (float v : storage)
            if (v != kSentinel)
                return false;
        return true;
    }
    Row row;
    std::vector<float> storage;
};

TEST_F(ZAVVeilcastTest, EngineWritesNothingWhenItCannotOrNeedNotWork)
{
    Wired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}));
    w.node.controls().set("ScreenColorKnob", std::array<float, 3>{0.2f, 0.7f, 0.2f});
    w.validate();
    {
        SentinelRow out(0, 24);
        w.node.op().get(1, 0, 24, Mask_Z, out.row);  // no colour or alpha asked for
        EXPECT_TRUE(out.untouched());
    }
    for (auto [x, r] : {std::pair{5, 5}, std::pair{9, 4}}) {
        SentinelRow out(0, 24);
        w.node.op().get(1, x, r, Mask_RGBA, out.row);
        EXPECT_TRUE(out.untouched());
    }
    // An input without green (alpha only, or red and blue only).
    for (auto channels : {std::vector<Channel>{Chan_Alpha}, std::vector<Channel>{Chan_Red, Chan_Blue}}) {
        Wired partial(zavtest::greenScreenImage(kBox, channels));
        partial.validate();
        SentinelRow out(0, 24);
        partial.node.op().get(0, 0, 24, Mask_RGBA, out.row);
        EXPECT_TRUE(out.untouched());
    }
    // Abandoned before the row is asked for: nothing written.
    w.node.op().abort();
    SentinelRow out(0, 24);
    w.node.op().get(1, 0, 24, Mask_RGBA, out.row);
    EXPECT_TRUE(out.untouched());
    w.node.op().cancel_abort();
}

// A source that abandons the computation from inside its own engine on its
// n-th call (never for 0), after serving that call's pixels.
class AbortingSource : public veilcast::ImageSource {
public:
    AbortingSource(const veilcast::PlanarImage& image, int abortOnCall)
        : ImageSource(image), abortOnCall_(abortOnCall)
    {
    }
    void engine(int y, int x, int r, const ChannelSet& channels, Row& out) override
    {
        ImageSource::engine(y, x, r, channels, out);
        if (++calls == abortOnCall_)
            abort();
    }
    int calls = 0;

private:
    int abortOnCall_;
};

// The operator's engine fetches colour, then alpha when the input has it; an
// abort raised by the input during either fetch reaches the operator, which
// then fetches nothing more and writes nothing.
TEST_F(ZAVVeilcastTest, AnInputAbortingInItsEngineLeavesTheRowUnwritten)
{
    struct Case {
        bool inputAlpha;
        int abortOnCall;
        int fetches;
    } cases[] = {{true, 1, 1}, {true, 2, 2}, {false, 1, 1}, {true, 0, 2}, {false, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("alpha in " + std::to_string(c.inputAlpha) + ", abort on call " +
                     std::to_string(c.abortOnCall));
        std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
        if (c.inputAlpha)
            channels.push_back(Chan_Alpha);
        const veilcast::PlanarImage image = zavtest::greenScreenImage(kBox, channels);
        AbortingSource source(image, c.abortOnCall);
        OperatorNode node("ZAVVeilcast");
        node.op().set_input(0, &source);
        node.controls().set("ScreenColorKnob", std::array<float, 3>{0.2f, 0.7f, 0.2f});
        node.op().validate(true);

        SentinelRow out(0, 24);
        node.op().get(1, 0, 24, Mask_RGBA, out.row);
        EXPECT_EQ(source.calls, c.fetches);
        const bool aborts = c.abortOnCall != 0;
        EXPECT_EQ(node.op().aborted(), aborts);
        EXPECT_EQ(out.untouched(), aborts);
    }
}

// The engine's rows equal keyRow on the same pixels, for inputs with and
// without alpha, every source alpha mode and both output forms.
TEST_F(ZAVVeilcastTest, EngineFeedsKeyRow)
{
    for (bool inputAlpha : {false, true}) {
        std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
        if (inputAlpha)
            channels.push_back(Chan_Alpha);
        Wired w(zavtest::greenScreenImage(kBox, channels));
        w.node.controls().set("ScreenColorKnob", std::array<float, 3>{0.2f, 0.7f, 0.2f});
        w.node.controls().set("Inside Replace", 2);
        for (int sourceAlpha : {0, 1, 2}) {
            for (bool checkAlpha : {false, true}) {
                w.node.controls().set("SourceAlphaKnob", sourceAlpha);
                w.node.controls().set("CheckAlphaKnob", checkAlpha);
                w.validate();
                const zav::KeyParams p = zavtest::paramsFromControls(w.node.controls());
                const int y = 2, x = 3, r = 21;
                SentinelRow out(0, 24);
                w.node.op().get(y, x, r, Mask_Red, out.row);  // one channel asked, all written
                float want[4][24];
                std::fill(&want[0][0], &want[0][0] + 4 * 24, SentinelRow::kSentinel);
                const auto& img = w.image;
                zav::keyRow(p, x, r, img.row(Chan_Red, y), img.row(Chan_Green, y), img.row(Chan_Blue, y),
                            inputAlpha ? img.row(Chan_Alpha, y) : nullptr, want[0], want[1], want[2],
                            checkAlpha ? nullptr : want[3], [] { return false; });
                for (int c = 0; c < 4; ++c)
                    for (int i = 0; i < 24; ++i)
                        ASSERT_EQ(zavtest::bits(out.storage[static_cast<std::size_t>(c * 24 + i)]),
                                  zavtest::bits(want[c][i]))
                            << "alpha in " << inputAlpha << " mode " << sourceAlpha << " check "
                            << checkAlpha << " channel " << c << " pixel " << i;
            }
        }
    }
}

// The screen-map keyer beside the plain one: the same controls in the same
// order plus Use Screen Map (on), a second input "screen"; it keys exactly
// as the plain one wherever the map cannot tell them apart (one colour
// everywhere, the Screen Color's; no map connected; Use Screen Map off,
// whatever the map holds), and otherwise pixel by pixel as keyRowMapped with
// the map's colours, counted from the plate's first pixel. Bit for bit,
// through the loaded module, for both output forms and an inside mask.
TEST_F(ZAVVeilcastTest, ScreenMapKeyerKeysAsThePlainOneUnlessTheMapSaysOtherwise)
{
    OperatorNode plain("ZAVVeilcast"), mapped("ZAVVeilcastScreenMap");
    Iop& op = mapped.op();
    EXPECT_STREQ(op.Class(), "ZAVVeilcastScreenMap");
    EXPECT_EQ(op.minimum_inputs(), 1);
    EXPECT_EQ(op.maximum_inputs(), 2);
    char buffer[8] = "";
    EXPECT_STREQ(op.input_label(0, buffer), "src");
    EXPECT_STREQ(op.input_label(1, buffer), "screen");
    const auto& shared = plain.controls().all();
    const auto& all = mapped.controls().all();
    ASSERT_EQ(all.size(), shared.size() + 1);
    for (std::size_t i = 0; i < shared.size(); ++i) {
        EXPECT_EQ(all[i].knob->type(), shared[i].knob->type()) << i;
        EXPECT_EQ(all[i].name(), shared[i].name()) << i;
        EXPECT_EQ(all[i].label(), shared[i].label()) << i;
        EXPECT_EQ(all[i].group, shared[i].group) << i;
    }
    EXPECT_EQ(all.back().name(), "UseScreenMapKnob");
    EXPECT_EQ(all.back().label(), "Use Screen Map");
    EXPECT_EQ(all.back().value(), ControlValue(true));

    const Box box{5, 2, 29, 6};  // the map counts from the plate's first pixel, not from 0
    const std::array<float, 3> screen{0.2f, 0.7f, 0.2f};
    const veilcast::PlanarImage image =
        zavtest::greenScreenImage(box, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha});
    veilcast::ImageSource source(image);
    const zav::ScreenMap uniform = zav::ScreenMap::uniform(box.w(), box.h(), screen);
    // Uneven backing: every cell another green.
    std::vector<float> cells;
    for (float i = 0; i < 6; ++i)
        cells.insert(cells.end(), {0.1f + 0.02f * i, 0.5f + 0.05f * i, 0.15f - 0.01f * i});
    const zav::ScreenMap uneven(box.w(), box.h(), 3, 2, cells);
    veilcast::ScreenMapSource uniformMap(uniform, box), unevenMap(uneven, box);
    const veilcast::PlanarImage noise = zavtest::greenScreenImage(box, {Chan_Red, Chan_Green, Chan_Blue}, 99);
    veilcast::ImageSource noiseMap(noise);
    struct Case {
        const char* what;
        Iop* map;
        bool use;
        const zav::ScreenMap* keyedBy;  // null: keys as the plain keyer
    } cases[] = {{"one colour", &uniformMap, true, nullptr},
                 {"no map", nullptr, true, nullptr},
                 {"map off", &noiseMap, false, nullptr},
                 {"uneven map", &unevenMap, true, &uneven}};
    plain.op().set_input(0, &source);
    op.set_input(0, &source);
    for (const Case& c : cases) {
        for (const bool checkAlpha : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (checkAlpha ? ", Check Alpha" : ""));
            for (veilcast::Controls* controls : {&plain.controls(), &mapped.controls()}) {
                controls->set("ScreenColorKnob", screen);
                controls->set("CheckAlphaKnob", checkAlpha);
                controls->set("Source Alpha", 1);
                controls->set("Inside Replace", 3);
                controls->set("Clip Black", 0.05f);
            }
            mapped.controls().set("UseScreenMapKnob", c.use);
            op.set_input(1, c.map);
            veilcast::PlanarImage want, got;
            for (auto [node, out] : {std::pair{&plain, &want}, std::pair{&mapped, &got}}) {
                veilcast::validateAndRequest(node->op(), Mask_RGBA);
                const ChannelSet channels = node->op().info().channels();
                std::vector<Channel> list;
                for (Channel z = channels.first(); z; z = channels.next(z))
                    list.push_back(z);
                *out = veilcast::PlanarImage(box, box, list, -1.0f);
                ASSERT_EQ(veilcast::renderRows(node->op(), *out), veilcast::RenderResult::Complete);
            }
            if (c.keyedBy) {
                const zav::KeyParams p = zavtest::paramsFromControls(mapped.controls());
                for (int y = box.y; y < box.t; ++y) {
                    std::vector<float> map[3];
                    for (auto& plane : map)
                        plane.resize(static_cast<std::size_t>(box.w()));
                    c.keyedBy->sampleRow(y - box.y, 0, box.w(), map[0].data(), map[1].data(), map[2].data());
                    const float* const screenRow[3] = {map[0].data() - box.x, map[1].data() - box.x,
                                                       map[2].data() - box.x};
                    float* rows[4];
                    for (int ch = 0; ch < 4; ++ch)
                        rows[ch] = checkAlpha && ch == 3 ? nullptr
                                                          : want.row(static_cast<Channel>(Chan_Red + ch), y);
                    const zav::RowArrays arrays{
                        {image.row(Chan_Red, y), image.row(Chan_Green, y), image.row(Chan_Blue, y)},
                        image.row(Chan_Alpha, y),
                        {rows[0], rows[1], rows[2]},
                        rows[3]};
                    zav::keyRowMapped(p, box.x, box.r, arrays, screenRow, [] { return false; });
                }
            }
            ASSERT_EQ(got.channels(), want.channels());
            std::size_t differ = 0;
            for (const Channel z : want.channels())
                for (int y = box.y; y < box.t; ++y)
                    for (int x = box.x; x < box.r; ++x)
                        differ += zavtest::bits(got.row(z, y)[x]) != zavtest::bits(want.row(z, y)[x]);
            EXPECT_EQ(differ, 0u);
        }
    }
    // A map that keys otherwise is seen: the uneven map does not key as the screen colour.
    op.set_input(1, &unevenMap);
    mapped.controls().set("UseScreenMapKnob", true);
    veilcast::validateAndRequest(op, Mask_RGBA);
    veilcast::PlanarImage byMap(box, box, {Chan_Red, Chan_Green, Chan_Blue});
    veilcast::validateAndRequest(plain.op(), Mask_RGBA);
    veilcast::PlanarImage byColour(box, box, {Chan_Red, Chan_Green, Chan_Blue});
    veilcast::renderRows(op, byMap);
    veilcast::renderRows(plain.op(), byColour);
    EXPECT_NE(std::memcmp(byMap.row(Chan_Red, box.y) + box.x, byColour.row(Chan_Red, box.y) + box.x,
                          sizeof(float) * static_cast<std::size_t>(box.w())),
              0);
}

// An input that records each row fetch the engine makes of it (the channels
// asked for), and that can raise the abort inside its own fetch of colour or
// of alpha, as an input that notices the user cancelling would.
class RecordingSource : public veilcast::ImageSource {
public:
    using veilcast::ImageSource::ImageSource;
    void engine(int y, int x, int r, const ChannelSet& channels, Row& out) override
    {
        fetches.push_back(channels);
        veilcast::ImageSource::engine(y, x, r, channels, out);
        if (abortOn && channels == ChannelSet(*abortOn))
            abort();
    }
    std::vector<ChannelSet> fetches;
    std::optional<ChannelSetInit> abortOn;
};

struct RecordingWired {
    explicit RecordingWired(veilcast::PlanarImage img) : image(std::move(img)), source(image), node("ZAVVeilcast")
    {
        node.op().set_input(0, &source);
        node.controls().set("ScreenColorKnob", std::array<float, 3>{0.2f, 0.7f, 0.2f});
    }
    veilcast::PlanarImage image;
    RecordingSource source;
    OperatorNode node;
};

// Engine steps 3 and 4: colour is fetched, then alpha whenever the
// input has it, whatever Source Alpha says (with Ignore it is fetched and then
// has no effect); an input without alpha is asked for colour only.
TEST_F(ZAVVeilcastTest, EngineFetchesAlphaWheneverTheInputHasIt)
{
    for (const bool inputAlpha : {true, false}) {
        std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
        if (inputAlpha)
            channels.push_back(Chan_Alpha);
        RecordingWired w(zavtest::greenScreenImage(kBox, channels));
        for (const int sourceAlpha : {0, 1, 2}) {
            for (const bool checkAlpha : {false, true}) {
                w.node.controls().set("SourceAlphaKnob", sourceAlpha);
                w.node.controls().set("CheckAlphaKnob", checkAlpha);
                w.node.op().validate(true);
                w.source.fetches.clear();
                SentinelRow out(0, 24);
                w.node.op().get(1, 2, 20, Mask_RGBA, out.row);
                std::vector<ChannelSet> want{ChannelSet(Mask_RGB)};
                if (inputAlpha)
                    want.push_back(ChannelSet(Mask_Alpha));
                EXPECT_EQ(w.source.fetches, want)
                    << "input alpha " << inputAlpha << " source alpha " << sourceAlpha << " check " << checkAlpha;
                EXPECT_FALSE(out.untouched());
            }
        }
    }
}

// Engine steps 3 and 5: abandonment is checked after each fetch.
// An input that raises the abort inside its own colour fetch is not asked for
// alpha, and nothing is written; one that raises it inside its alpha fetch
// leaves the row unwritten too. (Without the check after the alpha fetch the
// row would still stay unwritten, since keyRow asks the same abort flag before
// its first pixel: that check cannot be told apart from outside, and the
// second case guards only the outcome.)
TEST_F(ZAVVeilcastTest, EngineChecksAbandonmentAfterEachFetch)
{
    {
        RecordingWired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}));
        w.node.op().validate(true);
        w.source.abortOn = Mask_RGB;
        SentinelRow out(0, 24);
        w.node.op().get(1, 0, 24, Mask_RGBA, out.row);
        EXPECT_TRUE(w.node.op().aborted());
        EXPECT_EQ(w.source.fetches, std::vector<ChannelSet>{ChannelSet(Mask_RGB)}) << "alpha fetched after the abort";
        EXPECT_TRUE(out.untouched());
    }
    {
        RecordingWired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha}));
        w.node.controls().set("SourceAlphaKnob", 1);
        w.node.op().validate(true);
        w.source.abortOn = Mask_Alpha;
        SentinelRow out(0, 24);
        w.node.op().get(1, 0, 24, Mask_RGBA, out.row);
        EXPECT_TRUE(w.node.op().aborted());
        EXPECT_EQ(w.source.fetches.size(), 2u);
        EXPECT_TRUE(out.untouched());
    }
    {
        // No alpha in the input: the abort raised by the colour fetch stops the row.
        RecordingWired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue}));
        w.node.op().validate(true);
        w.source.abortOn = Mask_RGB;
        SentinelRow out(0, 24);
        w.node.op().get(1, 0, 24, Mask_RGBA, out.row);
        EXPECT_EQ(w.source.fetches.size(), 1u);
        EXPECT_TRUE(out.untouched());
    }
}

// A completed row writes red, green, blue and alpha (or the matte into red,
// green and blue) and nothing else: another channel of the output row, here
// depth, keeps what the host had there, even when it was asked for and the
// input carries it.
TEST_F(ZAVVeilcastTest, EngineLeavesOtherChannelsOfTheOutputRowUntouched)
{
    for (const bool checkAlpha : {false, true}) {
        RecordingWired w(zavtest::greenScreenImage(kBox, {Chan_Red, Chan_Green, Chan_Blue, Chan_Alpha, Chan_Z}));
        w.node.controls().set("CheckAlphaKnob", checkAlpha);
        w.node.op().validate(true);
        SentinelRow out(0, 24);
        std::vector<float> depth(24, SentinelRow::kSentinel);
        out.row.attach(Chan_Z, depth.data());
        ChannelSet all(Mask_RGBA);
        all += Chan_Z;
        w.node.op().get(1, 0, 24, all, out.row);
        for (float d : depth)
            EXPECT_EQ(d, SentinelRow::kSentinel) << "check alpha " << checkAlpha;
        EXPECT_FALSE(out.untouched());
        if (checkAlpha) {  // the alpha plane of the output row is not written either
            for (int i = 0; i < 24; ++i)
                EXPECT_EQ(out.storage[static_cast<std::size_t>(3 * 24 + i)], SentinelRow::kSentinel);
        }
    }
}
#ifdef _WIN32

// Entries in the export directory of a module as the loader mapped it.
unsigned exportCount(const wchar_t* moduleName)
{
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(moduleName));
    if (!base)
        throw std::runtime_error("module not loaded");
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        throw std::runtime_error("not a 64-bit PE image");
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (entry.Size == 0)
        return 0;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    return static_cast<unsigned>(exports->NumberOfFunctions + exports->NumberOfNames);
}

TEST_F(ZAVVeilcastTest, ModuleExportsNoFunctions)
{
    EXPECT_GT(exportCount(L"DDImage.dll"), 0u) << "the image library's API is exported";
    EXPECT_EQ(exportCount(L"ZAVVeilcast.dll"), 0u) << "the module exports symbols";
}

#else

TEST_F(ZAVVeilcastTest, ModuleExportsNoFunctions)
{
    const std::string command = "nm -D --defined-only '" + std::string(VEILCAST_PLUGIN_FILE) + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string exported;
    char line[512];
    while (fgets(line, sizeof line, pipe.get()))
        exported += line;
    EXPECT_EQ(pclose(pipe.release()), 0) << "nm failed";
    EXPECT_EQ(exported, "") << "the module exports symbols";
}

#endif

}  // namespace
