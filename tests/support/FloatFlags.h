// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cfenv>

namespace zavtest {

// The five exceptions of IEEE 754; some libraries' FE_ALL_EXCEPT also holds
// x86's denormal-operand flag, which is no floating-point exception.
constexpr int kIeeeExceptions = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INEXACT;

// The floating-point exception flags a call raises, from a clean slate.
template <class F>
int flagsRaisedBy(F&& call)
{
    std::feclearexcept(kIeeeExceptions);
    call();
    const int raised = std::fetestexcept(kIeeeExceptions);
    std::feclearexcept(kIeeeExceptions);
    return raised;
}

}  // namespace zavtest
