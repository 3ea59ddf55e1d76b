// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DDImage/Export.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace DD::Image {

class Iop;
class Knob;
class Knob_Closure;
class Node;  // the host's node; opaque to the library and to operators

// Base of every operator. Operators are allocated and released through the
// library's allocator (operator new/delete below), so that a host and plugins
// built separately agree on who frees what.
class DDImage_API Op {
public:
    // Registration record: a plugin defines one static Description per operator;
    // building it at load time makes the operator known to the host by name.
    struct DDImage_API Description {
        using Constructor = Iop* (*)(Node*);
        Description(const char* name, const char* menu, Constructor constructor);
        ~Description();
        Description(const Description&) = delete;
        Description& operator=(const Description&) = delete;

        const char* name;
        const char* menu;
        Constructor constructor;

        // The description registered under `name`, or null.
        static const Description* find(const char* name);
    };

    // Non-throwing: a failed allocation yields null and no object is built.
    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* p) noexcept;

    explicit Op(Node* node);

    virtual void DDImage_ABI_14_1_1();
    virtual void _validate(bool for_real);
    virtual void knobs(Knob_Closure& f);
    virtual int knob_changed(Knob* k);
    virtual ~Op();
    virtual int minimum_inputs() const;
    virtual int maximum_inputs() const;
    virtual Op* default_input(int input) const;
    virtual const char* node_help() const = 0;
    virtual const char* Class() const = 0;
    virtual const char* input_label(int input, char* buffer) const;

    // Called on every operator of the tree before _validate: forgets the
    // requests made for the previous computation.
    virtual void clear_requests();

    Op(const Op&) = delete;
    Op& operator=(const Op&) = delete;

    Node* node() const { return node_; }

    int inputs() const { return static_cast<int>(inputs_.size()); }
    Op* input(int n) const;
    // Connects `op` to input n (null: disconnected, the default input is used).
    // The inputs join this operator's abort flag.
    void set_input(int n, Op* op);

    // Validates the inputs, then this operator.
    void validate(bool for_real = true);

    // Abandonment of the current computation, shared by the operator and its inputs.
    void abort() const { abortFlag_->store(true, std::memory_order_relaxed); }
    void cancel_abort() const { abortFlag_->store(false, std::memory_order_relaxed); }
    bool aborted() const { return abortFlag_->load(std::memory_order_relaxed); }

private:
    void shareAbortFlag(const std::shared_ptr<std::atomic<bool>>& flag);

    Node* node_;
    std::vector<Op*> inputs_;
    std::shared_ptr<std::atomic<bool>> abortFlag_;
};

}  // namespace DD::Image
