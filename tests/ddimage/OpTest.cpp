// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Iop.h"
#include "DDImage/Op.h"
#include "DDImage/Row.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace DD::Image;

// No other test or module registers this name.
const char* const kProbeName = "ZavRegistryProbe";

Iop* constructNothing(Node*)
{
    return nullptr;
}

// A script of registrations and destructions under one name, with what find
// must return after each step: the description numbered `found`, or none (-1).
struct Step {
    enum Action { Register, Destroy } action;
    int description;
    int found;
};

struct Script {
    const char* what;
    std::vector<Step> steps;
};

TEST(OpDescription, FindGivesTheLatestLivingRegistration)
{
    using S = Step;
    const Script scripts[] = {
        {"a newer registration replaces an older one, which returns when the newer goes",
         {{S::Register, 0, 0}, {S::Register, 1, 1}, {S::Destroy, 1, 0}, {S::Destroy, 0, -1}}},
        {"destroying the older one leaves the newer",
         {{S::Register, 0, 0}, {S::Register, 1, 1}, {S::Destroy, 0, 1}, {S::Destroy, 1, -1}}},
        {"three deep, the middle one destroyed first",
         {{S::Register, 0, 0},
          {S::Register, 1, 1},
          {S::Register, 2, 2},
          {S::Destroy, 1, 2},
          {S::Destroy, 2, 0},
          {S::Destroy, 0, -1}}},
        {"a registration after one has come back",
         {{S::Register, 0, 0},
          {S::Register, 1, 1},
          {S::Destroy, 1, 0},
          {S::Register, 2, 2},
          {S::Destroy, 0, 2},
          {S::Destroy, 2, -1}}},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        ASSERT_EQ(Op::Description::find(kProbeName), nullptr);
        std::array<std::unique_ptr<Op::Description>, 3> descriptions;
        // Each registration holds its own copy of the name: find compares text.
        std::array<std::string, 3> names;
        for (std::size_t n = 0; n < names.size(); ++n)
            names[n] = kProbeName;
        for (std::size_t i = 0; i < script.steps.size(); ++i) {
            const Step& step = script.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            auto& d = descriptions[static_cast<std::size_t>(step.description)];
            if (step.action == Step::Register)
                d = std::make_unique<Op::Description>(names[static_cast<std::size_t>(step.description)].c_str(),
                                                      nullptr, constructNothing);
            else
                d.reset();
            const Op::Description* want =
                step.found < 0 ? nullptr : descriptions[static_cast<std::size_t>(step.found)].get();
            ASSERT_EQ(Op::Description::find(std::string(kProbeName).c_str()), want);
        }
    }
}

TEST(OpDescription, NamesAreKeptApart)
{
    const Op::Description a("ZavRegistryProbeA", "Probe/A", constructNothing);
    const Op::Description b("ZavRegistryProbeB", nullptr, constructNothing);
    const Op::Description unnamed(nullptr, nullptr, constructNothing);
    EXPECT_EQ(Op::Description::find("ZavRegistryProbeA"), &a);
    EXPECT_EQ(Op::Description::find("ZavRegistryProbeB"), &b);
    EXPECT_EQ(Op::Description::find("ZavRegistryProbe"), nullptr);
    EXPECT_EQ(Op::Description::find(nullptr), nullptr);
    EXPECT_STREQ(a.menu, "Probe/A");
}

// An input that serves a constant and, when told to, aborts the computation
// from inside its own engine after writing its pixels.
class AbortingInput : public Iop {
public:
    static constexpr float kValue = 0.25f;

    AbortingInput() : Iop(nullptr) {}
    const char* Class() const override { return "AbortingInput"; }
    const char* node_help() const override { return "Test input.\n"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void _validate(bool) override
    {
        info_.box(Box{0, 0, 8, 4});
        info_.channels(Mask_RGB);
    }
    void engine(int, int x, int r, const ChannelSet& channels, Row& out) override
    {
        for (Channel z = channels.first(); z; z = channels.next(z))
            for (int i = x; i < r; ++i)
                out.writable(z)[i] = kValue;
        if (abortInEngine)
            abort();
    }

    bool abortInEngine = false;
};

// An operator that behaves as an operator must on abandonment: it fetches its
// input's row, then writes only if the computation has not been abandoned.
class DoublingOp : public Iop {
public:
    DoublingOp() : Iop(nullptr) {}
    const char* Class() const override { return "DoublingOp"; }
    const char* node_help() const override { return "Test operator.\n"; }
    void engine(int y, int x, int r, const ChannelSet& channels, Row& out) override
    {
        Row in(x, r);
        in.get(*dynamic_cast<Iop*>(input(0)), y, x, r, channels);
        if (aborted())
            return;
        for (Channel z = channels.first(); z; z = channels.next(z))
            for (int i = x; i < r; ++i)
                out.writable(z)[i] = 2.0f * in[z][i];
    }
};

TEST(OpAbort, AnInputAbortingInsideItsEngineStopsTheOperatorPullingIt)
{
    for (const bool abortInEngine : {false, true}) {
        SCOPED_TRACE(abortInEngine ? "input aborts" : "input runs through");
        AbortingInput source;
        DoublingOp op;
        op.set_input(0, &source);
        op.validate(true);
        source.abortInEngine = abortInEngine;

        constexpr float kUntouched = -3.0f;
        std::vector<float> red(8, kUntouched);
        Row out(0, 8);
        out.attach(Chan_Red, red.data());
        op.get(1, 0, 8, Mask_Red, out);

        EXPECT_EQ(op.aborted(), abortInEngine);
        for (float v : red)
            ASSERT_EQ(v, abortInEngine ? kUntouched : 2.0f * AbortingInput::kValue);
    }
}

// Connections made in either order, and at any input index, join one flag.
class PlainOp : public Iop {
public:
    PlainOp() : Iop(nullptr) {}
    const char* Class() const override { return "PlainOp"; }
    const char* node_help() const override { return "Test operator.\n"; }
    int maximum_inputs() const override { return 3; }
    void engine(int, int, int, const ChannelSet&, Row&) override {}
};

enum class Wiring { TopDown, BottomUp, ThirdInput };

TEST(OpAbort, ConnectedOperatorsShareOneAbortFlag)
{
    for (const Wiring wiring : {Wiring::TopDown, Wiring::BottomUp, Wiring::ThirdInput}) {
        SCOPED_TRACE(static_cast<int>(wiring));
        PlainOp top, middle, bottom, bystander;
        const int n = wiring == Wiring::ThirdInput ? 2 : 0;
        if (wiring == Wiring::BottomUp) {
            middle.set_input(n, &bottom);
            top.set_input(n, &middle);
        } else {
            top.set_input(n, &middle);
            middle.set_input(n, &bottom);
        }
        const PlainOp* const chain[] = {&top, &middle, &bottom};
        for (const PlainOp* aborter : chain) {
            aborter->abort();
            for (const PlainOp* op : chain)
                EXPECT_TRUE(op->aborted());
            EXPECT_FALSE(bystander.aborted()) << "an unconnected operator saw the abort";
            aborter->cancel_abort();
            for (const PlainOp* op : chain)
                EXPECT_FALSE(op->aborted());
        }
        bystander.abort();
        EXPECT_FALSE(top.aborted());
        EXPECT_FALSE(bottom.aborted());
    }
}

}  // namespace
