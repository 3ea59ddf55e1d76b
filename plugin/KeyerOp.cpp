// SPDX-License-Identifier: Apache-2.0
#include "KeyerOp.h"

#include "veilcast/common/KnobNames.h"
#include "veilcast/core/ScreenKeyer.h"

#include "DDImage/Row.h"

#include <cstdint>

namespace zav {

using namespace DD::Image;

namespace {

const char* const kSourceAlphaItems[] = {"Ignore", "Add to Inside Mask", "Normal", nullptr};
const char* const kInsideReplaceItems[] = {"None", "Source", "Hard Color", "Soft Color", nullptr};

// Group controls carry their begin/end marker as a pointer-sized integer.
const void* const kGroupBegin = reinterpret_cast<const void*>(std::intptr_t(1));
const void* const kGroupEnd = reinterpret_cast<const void*>(std::intptr_t(-1));

}  // namespace

KeyerOp::KeyerOp(Node* node, const KeyerIdentity& identity) : Iop(node), identity_(identity) {}

int KeyerOp::maximum_inputs() const
{
    return identity_.inputs;
}

const char* KeyerOp::node_help() const
{
    return identity_.help;
}

const char* KeyerOp::Class() const
{
    return identity_.className;
}

const char* KeyerOp::input_label(int input, char*) const
{
    return input >= 0 && input < identity_.inputs ? identity_.labels[input] : nullptr;
}

int KeyerOp::knob_changed(Knob* k)
{
    return Op::knob_changed(k);
}

int KeyerOp::minimum_inputs() const
{
    return 1;
}

Op* KeyerOp::default_input(int input) const
{
    return input == 0 ? Iop::default_input(input) : nullptr;
}

void KeyerOp::knobs(Knob_Closure& f)
{
    f(BOOL_KNOB, BoolPtr, &params_.checkAlpha, veilcast::knob::kCheckAlpha, "Check Alpha", nullptr);
    f(TEXT_KNOB, Custom, nullptr, nullptr, " ", "");
    f(COLOR_KNOB, FloatPtr, params_.screenColor, veilcast::knob::kScreenColor, "Screen Color", nullptr);
    ClearFlags(f, Knob::MAGNITUDE);
    f(FLOAT_KNOB, FloatPtr, &params_.screenGain, veilcast::knob::kScreenGain, "Screen Gain", nullptr);
    SetRange(f, 0.0, 2.0);
    f(FLOAT_KNOB, FloatPtr, &params_.screenBalance, veilcast::knob::kScreenBalance, "Screen Balance", nullptr);
    f(TEXT_KNOB, Custom, nullptr, nullptr, " ", "");
    f(GROUP_KNOB, Custom, nullptr, "ScreenMatteGroup", "Alpha Clipping", kGroupBegin);
    f(FLOAT_KNOB, FloatPtr, &params_.clipBlack, veilcast::knob::kClipBlack, "Clip Black", nullptr);
    f(FLOAT_KNOB, FloatPtr, &params_.clipWhite, veilcast::knob::kClipWhite, "Clip White", nullptr);
    f(GROUP_KNOB, Custom, nullptr, nullptr, nullptr, kGroupEnd);
    f(GROUP_KNOB, Custom, nullptr, "InMaskGroup", "In Mask", kGroupBegin);
    f(ENUMERATION_KNOB, IntPtr, &params_.sourceAlpha, veilcast::knob::kSourceAlpha, "Source Alpha",
      kSourceAlphaItems);
    f(ENUMERATION_KNOB, IntPtr, &params_.inMaskReplacementMode, veilcast::knob::kInsideReplace,
      "Inside Replace", kInsideReplaceItems);
    f(COLOR_KNOB, FloatPtr, params_.inMaskReplacementColor, veilcast::knob::kInsideReplaceColor,
      "Inside Replace Color", nullptr);
    ClearFlags(f, Knob::MAGNITUDE);
    f(GROUP_KNOB, Custom, nullptr, nullptr, nullptr, kGroupEnd);
}

Iop* KeyerOp::sourceIop() const
{
    return dynamic_cast<Iop*>(input(0));
}

void KeyerOp::_validate(bool)
{
    copy_info(0);
    const ChannelSetInit out = params_.checkAlpha ? Mask_RGB : Mask_RGBA;
    info_.channels(out);
    set_out_channels(out);
}

bool KeyerOp::keys(const ChannelSet& channels) const
{
    ChannelSet wanted = channels;
    wanted &= Mask_RGBA;
    return !wanted.empty() && sourceIop();
}

void KeyerOp::_request(int, int, int, int, const ChannelSet& channels, int count)
{
    if (keys(channels))
        sourceIop()->request(usesSourceAlpha(params_) ? Mask_RGBA : Mask_RGB, count);
}

bool KeyerOp::fetchSource(int y, int x, int r, const ChannelSet& channels, Row& colour, Row& alpha,
                          const float*& alphaIn)
{
    alphaIn = nullptr;
    if (!keys(channels))
        return false;
    Iop* src = sourceIop();
    const ChannelSet& available = src->info().channels();
    if (!available.contains(Mask_RGB))
        return false;

    colour.get(*src, y, x, r, Mask_RGB);
    if (aborted())
        return false;

    if (available.contains(Chan_Alpha)) {
        alpha.get(*src, y, x, r, Mask_Alpha);
        alphaIn = alpha[Chan_Alpha];
    }
    return !aborted();
}

float* KeyerOp::alphaOut(Row& out) const
{
    return params_.checkAlpha ? nullptr : out.writable(Chan_Alpha);
}

void KeyerOp::keyAgainstScreenColour(int x, int r, Row& colour, const float* alphaIn, Row& out)
{
    keyRow(params_, x, r, colour[Chan_Red], colour[Chan_Green], colour[Chan_Blue], alphaIn,
           out.writable(Chan_Red), out.writable(Chan_Green), out.writable(Chan_Blue), alphaOut(out),
           [this] { return aborted(); });
}

}  // namespace zav
