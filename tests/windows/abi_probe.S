// Calls a function in the Microsoft x64 convention with six arguments (four in registers,
// two on the stack above the 32-byte home area) from a stack pointer aligned to 16 bytes
// but not 32, or to 32, with known values in every callee-saved register, and records what
// those registers hold when the function returns.
//
// uint64_t abi_probe_call(AbiCall* call)  -- offsets of AbiCall (tests/windows/abi_probe.h):
//   0 fn, 8 args[6], 56 align (16 or 32), 64 result, 72 gpr_after[8], 136 xmm_after[10][16]
        .text
        .globl abi_probe_call
abi_probe_call:
        push    %rbx
        push    %rbp
        push    %rdi
        push    %rsi
        push    %r12
        push    %r13
        push    %r14
        push    %r15
        sub     $168, %rsp
        movdqu  %xmm6, 0(%rsp)
        movdqu  %xmm7, 16(%rsp)
        movdqu  %xmm8, 32(%rsp)
        movdqu  %xmm9, 48(%rsp)
        movdqu  %xmm10, 64(%rsp)
        movdqu  %xmm11, 80(%rsp)
        movdqu  %xmm12, 96(%rsp)
        movdqu  %xmm13, 112(%rsp)
        movdqu  %xmm14, 128(%rsp)
        movdqu  %xmm15, 144(%rsp)

        // Frame of the call: home area, arguments 5 and 6, the record, the saved stack pointer.
        mov     %rsp, %rax
        and     $-32, %rsp
        sub     $64, %rsp
        cmpq    $32, 56(%rcx)
        je      1f
        sub     $16, %rsp
1:      mov     %rax, 56(%rsp)
        mov     %rcx, 48(%rsp)
        mov     40(%rcx), %rdx
        mov     %rdx, 32(%rsp)
        mov     48(%rcx), %rdx
        mov     %rdx, 40(%rsp)

        lea     abi_xmm_patterns(%rip), %r10
        movdqu  0(%r10), %xmm6
        movdqu  16(%r10), %xmm7
        movdqu  32(%r10), %xmm8
        movdqu  48(%r10), %xmm9
        movdqu  64(%r10), %xmm10
        movdqu  80(%r10), %xmm11
        movdqu  96(%r10), %xmm12
        movdqu  112(%r10), %xmm13
        movdqu  128(%r10), %xmm14
        movdqu  144(%r10), %xmm15
        lea     abi_gpr_patterns(%rip), %r10
        mov     0(%r10), %rbx
        mov     8(%r10), %rbp
        mov     16(%r10), %rdi
        mov     24(%r10), %rsi
        mov     32(%r10), %r12
        mov     40(%r10), %r13
        mov     48(%r10), %r14
        mov     56(%r10), %r15

        mov     0(%rcx), %rax
        mov     16(%rcx), %rdx
        mov     24(%rcx), %r8
        mov     32(%rcx), %r9
        mov     8(%rcx), %rcx
        call    *%rax

        mov     48(%rsp), %rcx
        mov     %rax, 64(%rcx)
        mov     %rbx, 72(%rcx)
        mov     %rbp, 80(%rcx)
        mov     %rdi, 88(%rcx)
        mov     %rsi, 96(%rcx)
        mov     %r12, 104(%rcx)
        mov     %r13, 112(%rcx)
        mov     %r14, 120(%rcx)
        mov     %r15, 128(%rcx)
        movdqu  %xmm6, 136(%rcx)
        movdqu  %xmm7, 152(%rcx)
        movdqu  %xmm8, 168(%rcx)
        movdqu  %xmm9, 184(%rcx)
        movdqu  %xmm10, 200(%rcx)
        movdqu  %xmm11, 216(%rcx)
        movdqu  %xmm12, 232(%rcx)
        movdqu  %xmm13, 248(%rcx)
        movdqu  %xmm14, 264(%rcx)
        movdqu  %xmm15, 280(%rcx)

        mov     56(%rsp), %rsp
        movdqu  0(%rsp), %xmm6
        movdqu  16(%rsp), %xmm7
        movdqu  32(%rsp), %xmm8
        movdqu  48(%rsp), %xmm9
        movdqu  64(%rsp), %xmm10
        movdqu  80(%rsp), %xmm11
        movdqu  96(%rsp), %xmm12
        movdqu  112(%rsp), %xmm13
        movdqu  128(%rsp), %xmm14
        movdqu  144(%rsp), %xmm15
        add     $168, %rsp
        pop     %r15
        pop     %r14
        pop     %r13
        pop     %r12
        pop     %rsi
        pop     %rdi
        pop     %rbp
        pop     %rbx
        ret

        .section .rdata,"dr"
        .balign 16
        .globl abi_gpr_patterns
abi_gpr_patterns:       // rbx, rbp, rdi, rsi, r12, r13, r14, r15
        .quad 0x0B0B1111C0DE0001, 0x0B0B2222C0DE0002, 0x0B0B3333C0DE0003, 0x0B0B4444C0DE0004
        .quad 0x0B0B5555C0DE0005, 0x0B0B6666C0DE0006, 0x0B0B7777C0DE0007, 0x0B0B8888C0DE0008
        .globl abi_xmm_patterns
abi_xmm_patterns:       // xmm6 .. xmm15, two quadwords each
        .quad 0x3F8000063F800006, 0x4000000640000006, 0x3F8000073F800007, 0x4000000740000007
        .quad 0x3F8000083F800008, 0x4000000840000008, 0x3F8000093F800009, 0x4000000940000009
        .quad 0x3F80000A3F80000A, 0x4000000A4000000A, 0x3F80000B3F80000B, 0x4000000B4000000B
        .quad 0x3F80000C3F80000C, 0x4000000C4000000C, 0x3F80000D3F80000D, 0x4000000D4000000D
        .quad 0x3F80000E3F80000E, 0x4000000E4000000E, 0x3F80000F3F80000F, 0x4000000F4000000F

        .text
// A routine that breaks the convention on purpose (rbx and xmm6 lost), to show that the
// harness sees it.
        .globl abi_clobbering_routine
abi_clobbering_routine:
        xor     %ebx, %ebx
        pxor    %xmm6, %xmm6
        mov     %rcx, %rax
        ret
