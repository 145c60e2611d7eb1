// SPDX-License-Identifier: MIT
// The 8-point forward transform's flowgraph (Loeffler-Ligtenberg-Moschytz with 12-bit truncated
// constants), written once over an arithmetic of the caller's: Ops::V is a value (int32_t) or a
// vector of lanes, Ops::M the 12-bit fixed-point product (floor, low 32 bits), Ops::add,
// Ops::sub and Ops::neg plain 32-bit arithmetic, Ops::constant a multiplier from a constant.
#pragma once

#include <cstdint>

namespace kestrum {

// 12-bit constants, each trunc(value * 4096.0) toward zero (the inverse transform's constants
// are rounded to nearest instead: 3405 here against 3406 there).
inline constexpr int32_t kFdctK1 = 3405;   // trunc(cos(3pi/16) * 4096)
inline constexpr int32_t kFdctK2 = -1130;  // trunc((sin(3pi/16) - cos(3pi/16)) * 4096)
inline constexpr int32_t kFdctK3 = -5681;  // trunc(-(sin(3pi/16) + cos(3pi/16)) * 4096)
inline constexpr int32_t kFdctK4 = 4017;   // trunc(cos(pi/16) * 4096)
inline constexpr int32_t kFdctK5 = -3218;  // trunc((sin(pi/16) - cos(pi/16)) * 4096)
inline constexpr int32_t kFdctK6 = -4816;  // trunc(-(sin(pi/16) + cos(pi/16)) * 4096)
inline constexpr int32_t kFdctK7 = 5351;   // trunc(cos(pi/8) * sqrt(2) * 4096)
inline constexpr int32_t kFdctK8 = -3134;  // trunc((sin(pi/8) - cos(pi/8)) * sqrt(2) * 4096)
inline constexpr int32_t kFdctK9 = -7568;  // trunc(-(sin(pi/8) + cos(pi/8)) * sqrt(2) * 4096)
inline constexpr int32_t kFdctK10 = 5792;  // trunc(sqrt(2) * 4096)

// Ops may also take its inputs divided by 128, as a pass over level-shifted samples times 128
// can: then Ops::M_of_inputs(u, k) is the product of a sum u of such inputs (floor(128 u k /
// 4096) = floor(u k / 32)), and Ops::times_128 scales the sums that reach an output without a
// product. Where Ops has neither, the inputs are the values themselves.
template <typename Ops>
inline typename Ops::V product_of_inputs(typename Ops::V u, typename Ops::V k) {
  if constexpr (requires { Ops::M_of_inputs(u, k); }) {
    return Ops::M_of_inputs(u, k);
  } else {
    return Ops::M(u, k);
  }
}
template <typename Ops>
inline typename Ops::V sum_of_inputs(typename Ops::V u) {
  if constexpr (requires { Ops::times_128(u); }) {
    return Ops::times_128(u);
  } else {
    return u;
  }
}

// One transform in place: x[0..7] in, x[0..7] out (as many transforms as V has lanes). Output 0
// is the sum of the inputs, output k sqrt(2) * sum x_n cos((2n+1)k pi/16).
template <typename Ops>
inline void fdct_flowgraph(typename Ops::V* x) {
  using V = typename Ops::V;
  const auto M_in = product_of_inputs<Ops>;
  const V t0 = Ops::add(x[0], x[7]), d0 = Ops::sub(x[0], x[7]);
  const V t1 = Ops::add(x[1], x[6]), d1 = Ops::sub(x[1], x[6]);
  const V t2 = Ops::add(x[2], x[5]), d2 = Ops::sub(x[2], x[5]);
  const V t3 = Ops::add(x[3], x[4]), d3 = Ops::sub(x[3], x[4]);
  const V e0 = Ops::add(t0, t3), e3 = Ops::sub(t0, t3), e1 = Ops::add(t1, t2),
          e2 = Ops::sub(t1, t2);
  x[0] = sum_of_inputs<Ops>(Ops::add(e0, e1));
  x[4] = sum_of_inputs<Ops>(Ops::sub(e0, e1));
  const V z3 = M_in(Ops::add(e2, e3), Ops::constant(kFdctK7));
  x[2] = Ops::add(z3, M_in(e2, Ops::constant(kFdctK8)));
  x[6] = Ops::neg(Ops::add(z3, M_in(e3, Ops::constant(kFdctK9))));
  const V z1 = M_in(Ops::add(d0, d3), Ops::constant(kFdctK1));
  const V a = Ops::add(z1, M_in(d0, Ops::constant(kFdctK2)));
  const V b = Ops::add(z1, M_in(d3, Ops::constant(kFdctK3)));
  const V z2 = M_in(Ops::add(d1, d2), Ops::constant(kFdctK4));
  const V c = Ops::add(z2, M_in(d1, Ops::constant(kFdctK5)));
  const V d = Ops::add(z2, M_in(d2, Ops::constant(kFdctK6)));
  x[1] = Ops::add(Ops::add(b, c), Ops::add(d, a));
  x[7] = Ops::sub(Ops::add(b, c), Ops::add(d, a));
  x[3] = Ops::M(Ops::sub(b, c), Ops::constant(kFdctK10));
  x[5] = Ops::M(Ops::sub(a, d), Ops::constant(kFdctK10));
}

}  // namespace kestrum
