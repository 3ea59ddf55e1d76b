// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "veilcast/host/Controls.h"

#include "DDImage/Iop.h"

#include <memory>
#include <string>

namespace DD::Image {

// The host's node: what an operator's construction function receives. The
// library and operators only pass it around.
class Node {
public:
    explicit Node(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

}  // namespace DD::Image

namespace veilcast {

// A node of the host's graph: an operator created by its registered name,
// with its controls built.
class OperatorNode {
public:
    // Throws std::runtime_error when no operator is registered under the name,
    // or when its construction function yields nothing.
    explicit OperatorNode(const std::string& className);

    DD::Image::Iop& op() { return *op_; }
    const DD::Image::Iop& op() const { return *op_; }
    Controls& controls() { return controls_; }
    const Controls& controls() const { return controls_; }

private:
    struct OpDeleter {
        void operator()(DD::Image::Op* op) const { delete op; }  // the operator's own deleting destructor
    };

    DD::Image::Node node_;
    std::unique_ptr<DD::Image::Iop, OpDeleter> op_;
    Controls controls_;
};

}  // namespace veilcast
