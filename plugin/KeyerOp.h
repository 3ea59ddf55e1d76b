// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the module's keyers share: their controls, their description of the
// output, what they ask of the source and how they fetch its rows. Each
// keyer adds only how a fetched row is keyed.

#include "veilcast/core/KeyParams.h"

#include "DDImage/Iop.h"
#include "DDImage/Knob.h"

namespace zav {

// How a keyer presents itself to the host.
struct KeyerIdentity {
    const char* className;
    const char* help;
    int inputs;                 // the source first, then what the keyer adds
    const char* const* labels;  // one per input
};

class KeyerOp : public DD::Image::Iop {
public:
    void _validate(bool for_real) override;
    void knobs(DD::Image::Knob_Closure& f) override;
    int knob_changed(DD::Image::Knob* k) override;
    int minimum_inputs() const override;
    int maximum_inputs() const override;
    DD::Image::Op* default_input(int input) const override;
    const char* node_help() const override;
    const char* Class() const override;
    const char* input_label(int input, char* buffer) const override;
    void _request(int x, int y, int r, int t, const DD::Image::ChannelSet& channels,
                  int count) override;

protected:
    KeyerOp(DD::Image::Node* node, const KeyerIdentity& identity);

    DD::Image::Iop* sourceIop() const;
    // True when `channels` asks for something a keyer writes and there is a source to key.
    bool keys(const DD::Image::ChannelSet& channels) const;
    // Fetches pixels x..r-1 of row y of the source: colour, then alpha when
    // the source has it (`alphaIn` null otherwise). False when there is
    // nothing to key (see keys), the source lacks colour, or the computation
    // was abandoned during a fetch; nothing is to be written then.
    bool fetchSource(int y, int x, int r, const DD::Image::ChannelSet& channels, DD::Image::Row& colour,
                     DD::Image::Row& alpha, const float*& alphaIn);
    // Where the key goes: alpha is left out when Check Alpha puts the matte in the colour.
    float* alphaOut(DD::Image::Row& out) const;
    // Keys a fetched row against the one Screen Color into `out`.
    void keyAgainstScreenColour(int x, int r, DD::Image::Row& colour, const float* alphaIn, DD::Image::Row& out);

    KeyParams params_;

private:
    const KeyerIdentity& identity_;
};

// What the host calls to make a keyer of class T for a node: the one
// function each keyer's registration names.
template <class T>
DD::Image::Iop* buildKeyer(DD::Image::Node* node)
{
    return new T(node);
}

}  // namespace zav
