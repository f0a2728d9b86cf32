# C++ sources of the machine-code images (compiled once per image, linked into it and, for
# the AVX2 image, into the test library). The entry files are listed in kernels/CMakeLists.txt.
set(KORVANE_KERNEL_SOURCES
  token_step.cpp
  decoder_layer.cpp
  layer_block.cpp
  job_loop.cpp
  gemv.cpp
  gemm.cpp
  primitives.cpp
)

# The batched product's tiles, one file per instruction set: the AVX2 images take the first,
# the wide images the second, each beside KORVANE_KERNEL_SOURCES.
set(KORVANE_AVX2_SOURCES gemm_avx2.cpp)
set(KORVANE_WIDE_SOURCES gemm_wide.cpp)

# Extra flags of the wide images (processors with AVX-512): the same sources but for the tiles,
# whose batched product carries two chains per 512-bit register; automatic vectorisation stays
# at 256 bits.
set(KORVANE_WIDE_FLAGS -mavx512f -mavx512dq -mavx512vl -mavx512bw -mprefer-vector-width=256)
