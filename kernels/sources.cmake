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
