// SPDX-License-Identifier: MIT
// The 8-point inverse transform's flowgraph, written once over an arithmetic of the caller's:
// Ops::V is a value (int32_t) or a vector of lanes, Ops::S saturates to 22 bits, Ops::P is the
// saturated 12-bit fixed-point product, Ops::add / Ops::sub are plain 32-bit sums (operands are
// saturated, so they cannot overflow), Ops::constant makes a multiplier from a 12-bit constant.
#pragma once

#include <cstdint>

namespace kestrum {

// 12-bit constants, each round(value * 4096) (rounded to nearest, unlike the encoder's truncated
// forward constants).
inline constexpr int32_t kIdctSqrt2 = 5793;    // round(sqrt(2) * 4096)
inline constexpr int32_t kIdctC6Sqrt2 = 2217;  // round(sqrt(2) * cos(6pi/16) * 4096)
inline constexpr int32_t kIdctC2mC6Sqrt2 =
    3135;  // round(sqrt(2) * (cos(2pi/16) - cos(6pi/16)) * 4096)
inline constexpr int32_t kIdctNegC2pC6Sqrt2 =
    -7568;                                // round(-sqrt(2) * (cos(2pi/16) + cos(6pi/16)) * 4096)
inline constexpr int32_t kIdctC3 = 3406;  // round(cos(3pi/16) * 4096)
inline constexpr int32_t kIdctC1 = 4017;  // round(cos(pi/16) * 4096)
inline constexpr int32_t kIdctS3mC3 = -1130;     // round((sin(3pi/16) - cos(3pi/16)) * 4096)
inline constexpr int32_t kIdctNegS3pC3 = -5681;  // round(-(sin(3pi/16) + cos(3pi/16)) * 4096)
inline constexpr int32_t kIdctNegS1pC1 = -4816;  // round(-(sin(pi/16) + cos(pi/16)) * 4096)
inline constexpr int32_t kIdctS1mC1 = -3218;     // round((sin(pi/16) - cos(pi/16)) * 4096)

// One transform in place: x[0..7] in, x[0..7] out (as many transforms as V has lanes).
template <typename Ops>
inline void idct_flowgraph(typename Ops::V* x) {
  using V = typename Ops::V;
  // Even part.
  const V e0 = Ops::S(Ops::add(x[0], x[4]));
  const V e1 = Ops::S(Ops::sub(x[0], x[4]));
  const V z = Ops::P(Ops::S(Ops::add(x[2], x[6])), Ops::constant(kIdctC6Sqrt2));
  const V a = Ops::S(Ops::add(Ops::P(x[2], Ops::constant(kIdctC2mC6Sqrt2)), z));
  const V b = Ops::S(Ops::add(Ops::P(x[6], Ops::constant(kIdctNegC2pC6Sqrt2)), z));
  const V E0 = Ops::S(Ops::add(e0, a)), E3 = Ops::S(Ops::sub(e0, a)), E1 = Ops::S(Ops::add(e1, b)),
          E2 = Ops::S(Ops::sub(e1, b));
  // Odd part.
  const V r3 = Ops::P(x[3], Ops::constant(kIdctSqrt2));
  const V r5 = Ops::P(x[5], Ops::constant(kIdctSqrt2));
  const V s17 = Ops::S(Ops::add(x[1], x[7]));
  const V d17 = Ops::S(Ops::sub(x[1], x[7]));
  const V p = Ops::S(Ops::sub(d17, r5)), q = Ops::S(Ops::add(d17, r5)),
          r = Ops::S(Ops::sub(s17, r3)), s = Ops::S(Ops::add(s17, r3));
  const V u = Ops::P(Ops::S(Ops::add(s, q)), Ops::constant(kIdctC3));
  const V v = Ops::P(Ops::S(Ops::add(p, r)), Ops::constant(kIdctC1));
  const V Oa = Ops::S(Ops::add(Ops::P(q, Ops::constant(kIdctS3mC3)), u));
  const V Ob = Ops::S(Ops::add(u, Ops::P(s, Ops::constant(kIdctNegS3pC3))));
  const V Oc = Ops::S(Ops::add(Ops::P(p, Ops::constant(kIdctNegS1pC1)), v));
  const V Od = Ops::S(Ops::add(v, Ops::P(r, Ops::constant(kIdctS1mC1))));
  x[0] = Ops::S(Ops::add(E0, Oa));
  x[7] = Ops::S(Ops::sub(E0, Oa));
  x[1] = Ops::S(Ops::add(E1, Od));
  x[6] = Ops::S(Ops::sub(E1, Od));
  x[2] = Ops::S(Ops::add(E2, Oc));
  x[5] = Ops::S(Ops::sub(E2, Oc));
  x[3] = Ops::S(Ops::add(E3, Ob));
  x[4] = Ops::S(Ops::sub(E3, Ob));
}

}  // namespace kestrum
