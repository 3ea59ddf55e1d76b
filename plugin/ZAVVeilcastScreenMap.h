// SPDX-License-Identifier: Apache-2.0
#pragma once

// The screen keyer with a screen colour for every pixel, read from a second
// input (its red, green and blue), for backing no single colour fits. Without
// that input, or with Use Screen Map off, it keys exactly as ZAVVeilcast.

#include "KeyerOp.h"

namespace zav {

class ZAVVeilcastScreenMap : public KeyerOp {
public:
    explicit ZAVVeilcastScreenMap(DD::Image::Node* node);
    ~ZAVVeilcastScreenMap() override;

    void knobs(DD::Image::Knob_Closure& f) override;
    void engine(int y, int x, int r, const DD::Image::ChannelSet& channels,
                DD::Image::Row& out) override;
    void _request(int x, int y, int r, int t, const DD::Image::ChannelSet& channels,
                  int count) override;

private:
    // The map input when it is connected and in use; null otherwise.
    DD::Image::Iop* mapIop() const;

    bool useMap_ = true;
};

}  // namespace zav
