// Entry table of the kernel image: 16-byte stubs, each a 5-byte relative jump padded with
// NOPs. Stub 0 is token_step, stub 1 the job loop, stub 2 gemv_f16 (entered only by tests,
// to run the product from the loaded copy), stub 3 layer_block (the batched layer over a
// block of prompt positions). The linker script places this section at byte 0
// of the image.
        .section .text.image_entry,"ax",@progbits
        .globl kernel_entry_table
kernel_entry_table:
        .byte 0xE9
        .long token_step - (. + 4)
        .fill 11, 1, 0x90
        .byte 0xE9
        .long job_loop - (. + 4)
        .fill 11, 1, 0x90
        .byte 0xE9
        .long gemv_f16 - (. + 4)
        .fill 11, 1, 0x90
        .byte 0xE9
        .long layer_block - (. + 4)
        .fill 11, 1, 0x90
        .section .note.GNU-stack,"",@progbits
