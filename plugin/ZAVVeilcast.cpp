// SPDX-License-Identifier: Apache-2.0
#include "ZAVVeilcast.h"

#include "veilcast/core/ScreenKeyer.h"

#include "DDImage/Row.h"

#include <cstdint>

namespace zav {

using namespace DD::Image;

namespace {

const char* const kClass = "ZAVVeilcast";
const char* const kHelp = "Exploration of Veilcast concepts\n";
const char* const kInputLabel = "src";

const char* const kSourceAlphaItems[] = {"Ignore", "Add to Inside Mask", "Normal", nullptr};
const char* const kInsideReplaceItems[] = {"None", "Source", "Hard Color", "Soft Color", nullptr};

// Group controls carry their begin/end marker as a pointer-sized integer.
const void* const kGroupBegin = reinterpret_cast<const void*>(std::intptr_t(1));
const void* const kGroupEnd = reinterpret_cast<const void*>(std::intptr_t(-1));

Iop* build(Node* node)
{
    return new ZAVVeilcast(node);
}

const Op::Description description(kClass, nullptr, build);

}  // namespace

ZAVVeilcast::ZAVVeilcast(Node* node) : Iop(node) {}

ZAVVeilcast::~ZAVVeilcast() = default;

int ZAVVeilcast::knob_changed(Knob* k)
{
    return Op::knob_changed(k);
}

int ZAVVeilcast::minimum_inputs() const
{
    return 1;
}

int ZAVVeilcast::maximum_inputs() const
{
    return 1;
}

Op* ZAVVeilcast::default_input(int input) const
{
    return input == 0 ? Iop::default_input(input) : nullptr;
}

const char* ZAVVeilcast::node_help() const
{
    return kHelp;
}

const char* ZAVVeilcast::Class() const
{
    return kClass;
}

const char* ZAVVeilcast::input_label(int input, char*) const
{
    return input == 0 ? kInputLabel : nullptr;
}

void ZAVVeilcast::knobs(Knob_Closure& f)
{
    f(BOOL_KNOB, BoolPtr, &params_.checkAlpha, "CheckAlphaKnob", "Check Alpha", nullptr);
    f(TEXT_KNOB, Custom, nullptr, nullptr, " ", "");
    f(COLOR_KNOB, FloatPtr, params_.screenColor, "ScreenColorKnob", "Screen Color", nullptr);
    ClearFlags(f, Knob::MAGNITUDE);
    f(FLOAT_KNOB, FloatPtr, &params_.screenGain, "ScreenGainKnob", "Screen Gain", nullptr);
    SetRange(f, 0.0, 2.0);
    f(FLOAT_KNOB, FloatPtr, &params_.screenBalance, "ScreenBalanceKnob", "Screen Balance", nullptr);
    f(TEXT_KNOB, Custom, nullptr, nullptr, " ", "");
    f(GROUP_KNOB, Custom, nullptr, "ScreenMatteGroup", "Alpha Clipping", kGroupBegin);
    f(FLOAT_KNOB, FloatPtr, &params_.clipBlack, "ClipBlackKnob", "Clip Black", nullptr);
    f(FLOAT_KNOB, FloatPtr, &params_.clipWhite, "ClipWhiteKnob", "Clip White", nullptr);
    f(GROUP_KNOB, Custom, nullptr, nullptr, nullptr, kGroupEnd);
    f(GROUP_KNOB, Custom, nullptr, "InMaskGroup", "In Mask", kGroupBegin);
    f(ENUMERATION_KNOB, IntPtr, &params_.sourceAlpha, "SourceAlphaKnob", "Source Alpha",
      kSourceAlphaItems);
    f(ENUMERATION_KNOB, IntPtr, &params_.inMaskReplacementMode, "inMaskReplacementModeKnob",
      "Inside Replace", kInsideReplaceItems);
    f(COLOR_KNOB, FloatPtr, params_.inMaskReplacementColor, "inMaskReplacementColorKnob",
      "Inside Replace Color", nullptr);
    ClearFlags(f, Knob::MAGNITUDE);
    f(GROUP_KNOB, Custom, nullptr, nullptr, nullptr, kGroupEnd);
}

Iop* ZAVVeilcast::sourceIop() const
{
    return dynamic_cast<Iop*>(input(0));
}

void ZAVVeilcast::_validate(bool)
{
    copy_info(0);
    const ChannelSetInit out = params_.checkAlpha ? Mask_RGB : Mask_RGBA;
    info_.channels(out);
    set_out_channels(out);
}

void ZAVVeilcast::_request(int, int, int, int, const ChannelSet& channels, int count)
{
    ChannelSet wanted = channels;
    wanted &= Mask_RGBA;
    Iop* src = sourceIop();
    if (wanted.empty() || !src)
        return;
    src->request(usesSourceAlpha(params_) ? Mask_RGBA : Mask_RGB, count);
}

void ZAVVeilcast::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    ChannelSet wanted = channels;
    wanted &= Mask_RGBA;
    Iop* src = sourceIop();
    if (wanted.empty() || !src)
        return;
    const ChannelSet& available = src->info().channels();
    if (!available.contains(Mask_RGB))
        return;

    Row colour(x, r);
    colour.get(*src, y, x, r, Mask_RGB);
    if (aborted())
        return;

    Row alpha(x, r);
    const float* alphaIn = nullptr;
    if (available.contains(Chan_Alpha)) {
        alpha.get(*src, y, x, r, Mask_Alpha);
        alphaIn = alpha[Chan_Alpha];
    }
    if (aborted())
        return;

    float* alphaOut = params_.checkAlpha ? nullptr : out.writable(Chan_Alpha);
    keyRow(params_, x, r, colour[Chan_Red], colour[Chan_Green], colour[Chan_Blue], alphaIn,
           out.writable(Chan_Red), out.writable(Chan_Green), out.writable(Chan_Blue), alphaOut,
           [this] { return aborted(); });
}

}  // namespace zav
