// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/ChannelSet.h"
#include "DDImage/Export.h"
#include "DDImage/Op.h"

namespace DD::Image {

class Row;

// A rectangle of pixels: x..r-1 by y..t-1.
struct Box {
    int x = 0, y = 0, r = 0, t = 0;
    int w() const { return r - x; }
    int h() const { return t - y; }
};

// An image operator's description of its output.
class IopInfo {
public:
    const Box& format() const { return format_; }  // the picture's full frame
    const Box& box() const { return box_; }        // where pixels are defined
    void format(const Box& b) { format_ = b; }
    void box(const Box& b) { box_ = b; }

    const ChannelSet& channels() const { return channels_; }
    void channels(ChannelSetInit mask) { channels_ = ChannelSet(mask); }
    void channels(const ChannelSet& set) { channels_ = set; }

private:
    Box format_;
    Box box_;
    ChannelSet channels_;
};

// An operator producing an image one scan-line span at a time.
class DDImage_API Iop : public Op {
public:
    explicit Iop(Node* node);
    ~Iop() override;

    void _validate(bool for_real) override;  // default: copy input 0's description
    Op* default_input(int input) const override;
    void clear_requests() override;

    virtual void engine(int y, int x, int r, const ChannelSet& channels, Row& out) = 0;
    virtual void _request(int x, int y, int r, int t, const ChannelSet& channels, int count);

    const IopInfo& info() const { return info_; }
    // The channels this operator changes, as recorded by set_out_channels.
    const ChannelSet& out_channels() const { return outChannels_; }

    // Asks this operator for the region and channels it will be pulled for;
    // accumulates over calls until the next validate.
    void request(int x, int y, int r, int t, const ChannelSet& channels, int count);
    // The form with no region: the whole of the operator's box.
    void request(const ChannelSet& channels, int count);
    const ChannelSet& requested_channels() const { return requested_; }
    int requested_count() const { return requestedCount_; }

    // Pulls pixels x..r-1 of row y for `channels` into `out`, whose buffers for
    // those channels must exist (Row::get makes them). Safe on several threads.
    void get(int y, int x, int r, const ChannelSet& channels, Row& out);

protected:
    void copy_info(int input);
    void set_out_channels(const ChannelSet& changed) { outChannels_ = changed; }

    IopInfo info_;

private:
    ChannelSet outChannels_;
    ChannelSet requested_;
    int requestedCount_ = 0;
};

}  // namespace DD::Image
