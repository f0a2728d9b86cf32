// Processor check: the kernels need AVX2, FMA and F16C, and the system must save the
// 256-bit register state across thread switches.
#pragma once

// Needs: nothing. Returns null when everything is present, else a text naming what is
// missing, e.g. "AVX2, F16C" (static storage).
const char* missing_cpu_features();

// Needs: nothing. True when the processor and the system support the wide kernel images
// (AVX-512 F, DQ, VL and BW, with the 512-bit register state saved by the system).
bool wide_kernels_supported();

// Needs: nothing. True on the processors where the wide tiles run products of up to eight
// vectors faster in passes of several column chunks (JobHeader::wide_passes): AMD's family 19h
// (with AVX-512, its 32 KiB first-level cache generation). Its successor (family 1Ah, 48 KiB,
// full-width 512-bit units) ran the batched step of eight 15-18 % slower so; processors not
// measured keep the chunks.
bool wide_passes_preferred();
