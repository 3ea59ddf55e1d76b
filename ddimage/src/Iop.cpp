// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Iop.h"

#include "DDImage/Row.h"

namespace DD::Image {

Iop::Iop(Node* node) : Op(node) {}

Iop::~Iop() = default;

void Iop::_validate(bool)
{
    copy_info(0);
}

Op* Iop::default_input(int) const
{
    return nullptr;
}

void Iop::clear_requests()
{
    requested_ = ChannelSet();
    requestedCount_ = 0;
}

void Iop::_request(int x, int y, int r, int t, const ChannelSet& channels, int count)
{
    if (auto* in = dynamic_cast<Iop*>(input(0)))
        in->request(x, y, r, t, channels, count);
}

void Iop::request(int x, int y, int r, int t, const ChannelSet& channels, int count)
{
    requested_ += channels;
    requestedCount_ += count;
    _request(x, y, r, t, channels, count);
}

void Iop::request(const ChannelSet& channels, int count)
{
    const Box& b = info_.box();
    request(b.x, b.y, b.r, b.t, channels, count);
}

void Iop::get(int y, int x, int r, const ChannelSet& channels, Row& out)
{
    engine(y, x, r, channels, out);
}

void Iop::copy_info(int n)
{
    if (auto* in = dynamic_cast<Iop*>(input(n)))
        info_ = in->info();
    else
        info_ = IopInfo();
}

}  // namespace DD::Image
