// Processor check: the kernels need AVX2, FMA and F16C, and the system must save the
// 256-bit register state across thread switches.
#pragma once

// Needs: nothing. Returns null when everything is present, else a text naming what is
// missing, e.g. "AVX2, F16C" (static storage).
const char* missing_cpu_features();

// Needs: nothing. True when the processor and the system support the wide kernel images
// (AVX-512 F, DQ, VL and BW, with the 512-bit register state saved by the system).
bool wide_kernels_supported();
