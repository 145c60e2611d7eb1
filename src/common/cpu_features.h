// SPDX-License-Identifier: MIT
// What the processor offers the vector kernels, asked once.
#pragma once

namespace kestrum {

// True where the build has AVX2 kernels (x86-64 and i686) and the processor and the operating
// system's saved state support AVX2.
bool cpu_has_avx2() noexcept;

// True where the build has AVX-512 kernels (x86-64 and i686) and the processor and the operating
// system's saved state support AVX-512 F and BW.
bool cpu_has_avx512() noexcept;

}  // namespace kestrum
