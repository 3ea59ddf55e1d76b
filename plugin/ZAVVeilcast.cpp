// SPDX-License-Identifier: Apache-2.0
#include "ZAVVeilcast.h"

#include "veilcast/core/ScreenKeyer.h"

#include "DDImage/Row.h"

namespace zav {

using namespace DD::Image;

namespace {

const char* const kInputLabels[] = {"src"};
const KeyerIdentity kIdentity{"ZAVVeilcast", "Exploration of Veilcast concepts\n", 1, kInputLabels};

Iop* build(Node* node)
{
    return new ZAVVeilcast(node);
}

const Op::Description description(kIdentity.className, nullptr, build);

}  // namespace

ZAVVeilcast::ZAVVeilcast(Node* node) : KeyerOp(node, kIdentity) {}

ZAVVeilcast::~ZAVVeilcast() = default;

void ZAVVeilcast::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    Row colour(x, r);
    Row alpha(x, r);
    const float* alphaIn = nullptr;
    if (!fetchSource(y, x, r, channels, colour, alpha, alphaIn))
        return;
    keyRow(params_, x, r, colour[Chan_Red], colour[Chan_Green], colour[Chan_Blue], alphaIn,
           out.writable(Chan_Red), out.writable(Chan_Green), out.writable(Chan_Blue), alphaOut(out),
           [this] { return aborted(); });
}

}  // namespace zav
