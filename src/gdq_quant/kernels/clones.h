#pragma once
// Element loops compiled for several instruction sets, the best one chosen
// when the module loads (GCC function multiversioning): a public loop is one
// GDQ_CLONES function per dtype around a GDQ_ALWAYS_INLINE body, which is
// thereby vectorised in every clone. The project builds without
// floating-point contraction, so every operation of such a loop rounds as
// the tensor library's separate operations do.
#define GDQ_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#define GDQ_ALWAYS_INLINE __attribute__((always_inline)) inline
