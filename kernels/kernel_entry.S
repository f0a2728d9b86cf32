// Entry table of the kernel image: 16-byte stubs, each a 5-byte relative jump padded with
// NOPs. Stub 0 is token_step, stub 1 the job loop, stub 2 gemv_f16 (entered only by tests,
// to run the product from the loaded copy), stub 3 layer_block (the batched layer over a
// block of prompt positions). The linker script places this section at byte 0
// of the image.
        .section .text.image_entry,"ax",@progbits
        .globl kernel_entry_table
kernel_entry_table:
        .macro entry target
        .byte 0xE9
        .long \target - (. + 4)
        .fill 11, 1, 0x90
        .endm
        entry token_step
        entry job_loop
        entry gemv_f16
        entry layer_block
        .section .note.GNU-stack,"",@progbits
