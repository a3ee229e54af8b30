// The vector instruction sets that the project's hand-written loops come in,
// and the one rule by which every such loop picks its variant: the best
// level that the running processor has, capped by a limit (the hot paths ask
// for the best; tests cap it to hold each variant against the scalar one).
//
// Shared by the bridges and the platform, so it lives outside both and
// depends on nothing but the compiler. Header-only; not installed.
// Thread-safety: a pure function of the processor; call from any thread.
#ifndef NORV_BASE_SIMD_LEVEL_H_
#define NORV_BASE_SIMD_LEVEL_H_

namespace Norv::Base {

// In increasing order, so that levels compare. kAvx512 means AVX-512F with
// AVX-512BW (the byte and word instructions every such loop needs).
enum class SimdLevel { kScalar, kSse2, kAvx2, kAvx512 };

// The best level, at most `limit`, that this processor runs.
inline SimdLevel ProcessorSimdLevel(SimdLevel limit = SimdLevel::kAvx512) noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (limit >= SimdLevel::kAvx512 && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512bw")) {
    return SimdLevel::kAvx512;
  }
  if (limit >= SimdLevel::kAvx2 && __builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
  // Every x86-64 processor has SSE2.
  if (limit >= SimdLevel::kSse2) return SimdLevel::kSse2;
#else
  (void)limit;
#endif
  return SimdLevel::kScalar;
}

}  // namespace Norv::Base

#endif  // NORV_BASE_SIMD_LEVEL_H_
