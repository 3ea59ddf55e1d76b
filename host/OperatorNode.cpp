// SPDX-License-Identifier: Apache-2.0
#include "veilcast/host/OperatorNode.h"

#include <stdexcept>

namespace veilcast {

using namespace DD::Image;

namespace {

Iop* construct(const std::string& className, Node* node)
{
    const Op::Description* d = Op::Description::find(className.c_str());
    if (!d || !d->constructor)
        throw std::runtime_error("no operator named \"" + className + "\" is registered");
    Iop* op = d->constructor(node);
    if (!op)
        throw std::runtime_error("operator \"" + className + "\" could not be created");
    return op;
}

}  // namespace

OperatorNode::OperatorNode(const std::string& className)
    : node_(className + "1"), op_(construct(className, &node_))
{
    op_->knobs(controls_);
}

}  // namespace veilcast
