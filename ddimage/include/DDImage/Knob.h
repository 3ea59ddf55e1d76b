// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/Export.h"

#include <cstdint>
#include <string>

namespace DD::Image {

// How a control's value is stored in the operator.
enum StoreType : int {
    FloatPtr = 1,   // one float, or three consecutive floats for a colour
    IntPtr = 3,     // one 32-bit integer (an enumeration's item index)
    BoolPtr = 5,    // one bool
    Custom = 19,    // no storage (groups, text lines)
};

// Control kinds, as passed to Knob_Closure::operator().
enum KnobType : int {
    ENUMERATION_KNOB = 4,
    BOOL_KNOB = 6,
    FLOAT_KNOB = 8,
    COLOR_KNOB = 18,
    GROUP_KNOB = 20,  // extra 1 begins a group, extra -1 (all bits set) ends it
    TEXT_KNOB = 26,
};

// One control made by a Knob_Closure: what the operator declared about it.
class DDImage_API Knob {
public:
    // Flag bits. A colour control normally shows one magnitude slider until
    // expanded; cleared, its channels show separately from the start.
    static constexpr std::uint64_t MAGNITUDE = 1;
    static constexpr std::uint64_t kDefaultFlags = MAGNITUDE;

    Knob(int type, StoreType store, void* storage, const char* name, const char* label,
         const void* extra);

    int type() const { return type_; }
    StoreType storeType() const { return store_; }
    void* storage() const { return storage_; }
    const char* name() const { return name_; }    // may be null
    const char* label() const { return label_; }  // may be null
    const void* extra() const { return extra_; }
    std::uint64_t flags() const { return flags_; }
    bool hasRange() const { return hasRange_; }
    double rangeMin() const { return rangeMin_; }
    double rangeMax() const { return rangeMax_; }

    void clear_flag(std::uint64_t mask) { flags_ &= ~mask; }
    void set_range(double lo, double hi) { rangeMin_ = lo, rangeMax_ = hi, hasRange_ = true; }

private:
    int type_;
    StoreType store_;
    void* storage_;
    const char* name_;
    const char* label_;
    const void* extra_;
    std::uint64_t flags_ = kDefaultFlags;
    bool hasRange_ = false;
    double rangeMin_ = 0.0;
    double rangeMax_ = 1.0;
};

// The host's side of an operator's knobs(): every control the operator
// declares comes through operator(), in order.
class DDImage_API Knob_Closure {
public:
    virtual ~Knob_Closure() = default;

    Knob* operator()(int type, StoreType store, void* storage, const char* name, const char* label,
                     const void* extra);

    // The control made by the latest call, which ClearFlags and SetRange modify.
    Knob* lastKnob() const { return last_; }

protected:
    virtual Knob* makeKnob(int type, StoreType store, void* storage, const char* name,
                           const char* label, const void* extra) = 0;

private:
    Knob* last_ = nullptr;
};

DDImage_API void ClearFlags(Knob_Closure& f, std::uint64_t mask);
DDImage_API void SetRange(Knob_Closure& f, double lo, double hi);

}  // namespace DD::Image
