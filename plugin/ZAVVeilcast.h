// SPDX-License-Identifier: Apache-2.0
#pragma once

// The screen keyer as a host operator: a thin adapter that binds the keying
// core's settings to the host's controls and feeds its rows to zav::keyRow.

#include "KeyerOp.h"

namespace zav {

class ZAVVeilcast : public KeyerOp {
public:
    explicit ZAVVeilcast(DD::Image::Node* node);
    ~ZAVVeilcast() override;

    void engine(int y, int x, int r, const DD::Image::ChannelSet& channels,
                DD::Image::Row& out) override;
};

}  // namespace zav
