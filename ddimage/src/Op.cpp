// SPDX-License-Identifier: Apache-2.0
#include "DDImage/Op.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace DD::Image {

namespace {

// The one registry of descriptions, shared by the host and every plugin
// because it lives in this shared library.
struct Registry {
    std::mutex mutex;
    std::vector<const Op::Description*> descriptions;
};

Registry& registry()
{
    static Registry r;
    return r;
}

}  // namespace

Op::Description::Description(const char* n, const char* m, Constructor c)
    : name(n), menu(m), constructor(c)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.descriptions.push_back(this);
}

Op::Description::~Description()
{
    // A plugin being unloaded takes its description with it.
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.descriptions.erase(std::remove(r.descriptions.begin(), r.descriptions.end(), this),
                         r.descriptions.end());
}

const Op::Description* Op::Description::find(const char* name)
{
    if (!name)
        return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    // The latest registration under a name wins, as a reloaded plugin replaces the old one.
    for (auto it = r.descriptions.rbegin(); it != r.descriptions.rend(); ++it)
        if ((*it)->name && std::strcmp((*it)->name, name) == 0)
            return *it;
    return nullptr;
}

void* Op::operator new(std::size_t size) noexcept
{
    return std::malloc(size);
}

void Op::operator delete(void* p) noexcept
{
    std::free(p);
}

Op::Op(Node* node) : node_(node), abortFlag_(std::make_shared<std::atomic<bool>>(false)) {}

Op::~Op() = default;

void Op::DDImage_ABI_14_1_1() {}

void Op::_validate(bool) {}

void Op::knobs(Knob_Closure&) {}

int Op::knob_changed(Knob*)
{
    return 0;
}

int Op::minimum_inputs() const
{
    return 1;
}

int Op::maximum_inputs() const
{
    return 1;
}

Op* Op::default_input(int) const
{
    return nullptr;
}

const char* Op::input_label(int, char*) const
{
    return nullptr;
}

void Op::clear_requests() {}

Op* Op::input(int n) const
{
    if (n < 0)
        return nullptr;
    if (n < inputs() && inputs_[static_cast<std::size_t>(n)])
        return inputs_[static_cast<std::size_t>(n)];
    return default_input(n);
}

void Op::set_input(int n, Op* op)
{
    if (n < 0)
        return;
    if (n >= inputs())
        inputs_.resize(static_cast<std::size_t>(n) + 1, nullptr);
    inputs_[static_cast<std::size_t>(n)] = op;
    if (op)
        op->shareAbortFlag(abortFlag_);
}

void Op::shareAbortFlag(const std::shared_ptr<std::atomic<bool>>& flag)
{
    abortFlag_ = flag;
    for (Op* in : inputs_)
        if (in)
            in->shareAbortFlag(flag);
}

void Op::validate(bool for_real)
{
    for (int i = 0; i < inputs(); ++i)
        if (Op* in = input(i))
            in->validate(for_real);
    clear_requests();
    _validate(for_real);
}

}  // namespace DD::Image
