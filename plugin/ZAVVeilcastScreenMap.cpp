// SPDX-License-Identifier: Apache-2.0
#include "ZAVVeilcastScreenMap.h"

#include "veilcast/common/KnobNames.h"
#include "veilcast/core/ScreenKeyer.h"
#include "veilcast/core/ScreenMap.h"

#include "DDImage/Row.h"

namespace zav {

using namespace DD::Image;

namespace {

const char* const kInputLabels[] = {"src", "screen"};
const KeyerIdentity kIdentity{"ZAVVeilcastScreenMap",
                              "Veilcast keying with a screen colour per pixel, read from the screen input\n", 2,
                              kInputLabels};

const Op::Description description(kIdentity.className, nullptr, buildKeyer<ZAVVeilcastScreenMap>);

}  // namespace

ZAVVeilcastScreenMap::ZAVVeilcastScreenMap(Node* node) : KeyerOp(node, kIdentity) {}

ZAVVeilcastScreenMap::~ZAVVeilcastScreenMap() = default;

void ZAVVeilcastScreenMap::knobs(Knob_Closure& f)
{
    KeyerOp::knobs(f);
    f(BOOL_KNOB, BoolPtr, &useMap_, veilcast::knob::kUseScreenMap, "Use Screen Map", nullptr);
}

Iop* ZAVVeilcastScreenMap::mapIop() const
{
    return useMap_ ? dynamic_cast<Iop*>(input(1)) : nullptr;
}

void ZAVVeilcastScreenMap::_request(int x, int y, int r, int t, const ChannelSet& channels, int count)
{
    KeyerOp::_request(x, y, r, t, channels, count);
    Iop* map = mapIop();
    if (map && keys(channels))
        map->request(Mask_RGB, count);
}

void ZAVVeilcastScreenMap::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    Row colour(x, r);
    Row alpha(x, r);
    const float* alphaIn = nullptr;
    if (!fetchSource(y, x, r, channels, colour, alpha, alphaIn))
        return;
    Iop* map = mapIop();
    if (!map) {
        keyAgainstScreenColour(x, r, colour, alphaIn, out);
        return;
    }
    Row screen(x, r);
    screen.get(*map, y, x, r, Mask_RGB);
    if (aborted())
        return;
    const float* const screenRow[3] = {screen[Chan_Red], screen[Chan_Green], screen[Chan_Blue]};
    const RowArrays arrays{{colour[Chan_Red], colour[Chan_Green], colour[Chan_Blue]},
                           alphaIn,
                           {out.writable(Chan_Red), out.writable(Chan_Green), out.writable(Chan_Blue)},
                           alphaOut(out)};
    keyRowMapped(params_, x, r, arrays, screenRow, [this] { return aborted(); });
}

}  // namespace zav
