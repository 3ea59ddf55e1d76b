// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace zavtest {

inline std::uint32_t bits(float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline float fromBits(std::uint32_t u)
{
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// Exact equality of results: the same bit pattern, except that any NaN equals
// any NaN (their sign and payload are not part of the keyer's contract).
inline bool sameResult(float a, float b)
{
    return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b);
}

}  // namespace zavtest
