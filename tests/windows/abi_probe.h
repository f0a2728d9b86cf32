// A call into machine code in the Microsoft x64 convention that records the callee-saved
// registers afterwards (abi_probe.S).
#pragma once

#include <cstddef>
#include <cstdint>

struct AbiCall {
  const void* fn;            // entry point to call
  uint64_t args[6];          // arguments 1-4 in rcx, rdx, r8, r9; 5 and 6 on the stack
  uint64_t align;            // 32: rsp is 32-byte aligned at the call; else 16 but not 32
  uint64_t result;           // rax after the call
  uint64_t gpr_after[8];     // rbx, rbp, rdi, rsi, r12, r13, r14, r15 after the call
  uint8_t xmm_after[10][16]; // xmm6 .. xmm15 after the call
};
static_assert(offsetof(AbiCall, align) == 56 && offsetof(AbiCall, result) == 64);
static_assert(offsetof(AbiCall, gpr_after) == 72 && offsetof(AbiCall, xmm_after) == 136);

extern "C" {
// Needs: call->fn and its arguments. Calls it as described above; writes result and the
// registers' values after the call. Returns the result.
uint64_t abi_probe_call(AbiCall* call);
extern const uint64_t abi_gpr_patterns[8];  // what the harness puts in rbx .. r15
extern const uint8_t abi_xmm_patterns[10][16];  // what it puts in xmm6 .. xmm15
// Returns its first argument, zeroing rbx and xmm6 on the way: a convention breaker.
uint64_t abi_clobbering_routine(uint64_t value);
}
