# C++ sources of the machine-code images (compiled once, linked into both images and into
# the test library). The entry files are listed in kernels/CMakeLists.txt.
set(KORVANE_KERNEL_SOURCES
  token_step.cpp
  decoder_layer.cpp
  layer_block.cpp
  job_loop.cpp
  gemv.cpp
  gemm.cpp
  primitives.cpp
)

# Extra flags of the wide images (processors with AVX-512): the same sources, whose batched
# product carries two chains per 512-bit register; automatic vectorisation stays at 256 bits.
set(KORVANE_WIDE_FLAGS -mavx512f -mavx512dq -mavx512vl -mavx512bw -mprefer-vector-width=256)
