// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/Controls.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace DD::Image;

const void* const kBegin = reinterpret_cast<const void*>(std::intptr_t(1));
const void* const kEnd = reinterpret_cast<const void*>(std::intptr_t(-1));

// One knobs() call and the group the host must file the control under.
struct Call {
    int type;
    const char* name;
    const void* extra;
    const char* group;
};

// Nested groups, controls right after each end, and an end with no group
// open. A group's begin and end controls sit where the group itself sits.
TEST(Controls, EachControlIsFiledUnderTheGroupOpenWhenItIsMade)
{
    float storage[9] = {};
    const Call calls[] = {
        {FLOAT_KNOB, "Before", nullptr, ""},
        {GROUP_KNOB, "Outer", kBegin, ""},
        {FLOAT_KNOB, "InOuter", nullptr, "Outer"},
        {GROUP_KNOB, "Inner", kBegin, "Outer"},
        {FLOAT_KNOB, "InInner", nullptr, "Inner"},
        {TEXT_KNOB, nullptr, "", "Inner"},
        {GROUP_KNOB, nullptr, kEnd, "Outer"},
        {FLOAT_KNOB, "AfterInner", nullptr, "Outer"},
        {GROUP_KNOB, nullptr, kEnd, ""},
        {FLOAT_KNOB, "AfterOuter", nullptr, ""},
        {GROUP_KNOB, nullptr, kEnd, ""},
        {FLOAT_KNOB, "AfterStrayEnd", nullptr, ""},
        {GROUP_KNOB, "Second", kBegin, ""},
        {FLOAT_KNOB, "InSecond", nullptr, "Second"},
        {GROUP_KNOB, nullptr, kEnd, ""},
        {FLOAT_KNOB, "Last", nullptr, ""},
    };
    veilcast::Controls controls;
    std::size_t bound = 0;
    for (const Call& c : calls) {
        const bool isFloat = c.type == FLOAT_KNOB;
        Knob* made = controls(c.type, isFloat ? FloatPtr : Custom, isFloat ? &storage[bound++] : nullptr, c.name,
                              c.name, c.extra);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(made, controls.lastKnob());
    }
    ASSERT_EQ(controls.all().size(), std::size(calls));
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1) + " " + (calls[i].name ? calls[i].name : "(unnamed)"));
        EXPECT_EQ(controls.all()[i].knob->type(), calls[i].type);
        EXPECT_EQ(controls.all()[i].group, calls[i].group);
    }
}

}  // namespace
