// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Knob.h"

namespace DD::Image {

Knob::Knob(int type, StoreType store, void* storage, const char* name, const char* label,
           const void* extra)
    : type_(type), store_(store), storage_(storage), name_(name), label_(label), extra_(extra)
{
}

Knob* Knob_Closure::operator()(int type, StoreType store, void* storage, const char* name,
                               const char* label, const void* extra)
{
    last_ = makeKnob(type, store, storage, name, label, extra);
    return last_;
}

void ClearFlags(Knob_Closure& f, std::uint64_t mask)
{
    if (Knob* k = f.lastKnob())
        k->clear_flag(mask);
}

void SetRange(Knob_Closure& f, double lo, double hi)
{
    if (Knob* k = f.lastKnob())
        k->set_range(lo, hi);
}

}  // namespace DD::Image
