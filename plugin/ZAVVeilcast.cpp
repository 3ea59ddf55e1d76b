// SPDX-License-Identifier: Apache-2.0
#include "ZAVVeilcast.h"

#include "DDImage/Row.h"

namespace zav {

using namespace DD::Image;

namespace {

const char* const kInputLabels[] = {"src"};
const KeyerIdentity kIdentity{"ZAVVeilcast", "Exploration of Veilcast concepts\n", 1, kInputLabels};

const Op::Description description(kIdentity.className, nullptr, buildKeyer<ZAVVeilcast>);

}  // namespace

ZAVVeilcast::ZAVVeilcast(Node* node) : KeyerOp(node, kIdentity) {}

ZAVVeilcast::~ZAVVeilcast() = default;

void ZAVVeilcast::engine(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    Row colour(x, r);
    Row alpha(x, r);
    const float* alphaIn = nullptr;
    if (fetchSource(y, x, r, channels, colour, alpha, alphaIn))
        keyAgainstScreenColour(x, r, colour, alphaIn, out);
}

}  // namespace zav
