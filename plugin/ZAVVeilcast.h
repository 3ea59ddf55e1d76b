// SPDX-License-Identifier: Apache-2.0
#pragma once

// The screen keyer as a host operator: a thin adapter that binds the keying
// core's settings to the host's controls and feeds its rows to zav::keyRow.

#include "veilcast/core/KeyParams.h"

#include "DDImage/Iop.h"
#include "DDImage/Knob.h"

namespace zav {

class ZAVVeilcast : public DD::Image::Iop {
public:
    explicit ZAVVeilcast(DD::Image::Node* node);

    void _validate(bool for_real) override;
    void knobs(DD::Image::Knob_Closure& f) override;
    int knob_changed(DD::Image::Knob* k) override;
    ~ZAVVeilcast() override;
    int minimum_inputs() const override;
    int maximum_inputs() const override;
    DD::Image::Op* default_input(int input) const override;
    const char* node_help() const override;
    const char* Class() const override;
    const char* input_label(int input, char* buffer) const override;
    void engine(int y, int x, int r, const DD::Image::ChannelSet& channels,
                DD::Image::Row& out) override;
    void _request(int x, int y, int r, int t, const DD::Image::ChannelSet& channels,
                  int count) override;

private:
    DD::Image::Iop* sourceIop() const;

    KeyParams params_;
};

}  // namespace zav
