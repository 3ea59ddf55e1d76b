// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/ChannelSet.h"
#include "DDImage/Export.h"

#include <memory>

namespace DD::Image {

class Iop;

// One scan-line span x..r-1 of any number of channels. Pointers returned by
// operator[] and writable are indexed by pixel x, not by offset. A channel's
// buffer starts zero-filled, so a span nobody wrote reads as black.
class DDImage_API Row {
public:
    Row(int x, int r);
    ~Row();
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;

    int getLeft() const { return x_; }
    int getRight() const { return r_; }

    // Read-only pixels of channel z; a channel never written reads as zeros.
    const float* operator[](Channel z) const;
    // Writable pixels of channel z, made on first use.
    float* writable(Channel z);

    // Uses the caller's memory for channel z: `pixels` is indexed by pixel x
    // and must cover this row's span. The row neither clears nor frees it.
    // A host uses this to let operators write straight into its frame buffer.
    void attach(Channel z, float* pixels);

    // Lets channel z read the caller's `pixels` (indexed by pixel x, valid
    // for this row's span and life) without copying them, when the row has
    // no memory for z yet: nothing attached, nothing written. Returns false
    // otherwise, and the caller writes as usual. Asking for a lent channel
    // as writable first copies it into the row's own memory.
    bool lend(Channel z, const float* pixels);

    // Fills channels of pixels x..r-1 (clipped to this row's span) with row y
    // of `input`.
    void get(Iop& input, int y, int x, int r, const ChannelSet& channels);

private:
    int x_, r_;
    float* planes_[Chan_Last + 1] = {};  // indexed by pixel x
    const float* lent_[Chan_Last + 1] = {};
    std::unique_ptr<float[]> owned_[Chan_Last + 1];
    mutable std::unique_ptr<float[]> zeros_;

    std::unique_ptr<float[]> makePlane() const;
};

}  // namespace DD::Image
