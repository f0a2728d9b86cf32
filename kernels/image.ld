/* Links a machine-code image: one section from the base address, the entry section first,
   then code, then read-only constants. Anything writable or needing relocation fails. */
ENTRY(image_start)
SECTIONS
{
  . = DEFINED(IMAGE_BASE) ? IMAGE_BASE : 0;
  .image : {
    image_start = .;
    KEEP(*(.text.image_entry))
    *(.text .text.*)
    *(.rodata .rodata.* .rodata.cst* .rodata.str*)
    image_end = .;
  }
  .forbidden : {
    *(.data .data.* .bss .bss.* COMMON .tdata .tdata.* .tbss .tbss.*)
    *(.got .got.* .plt .plt.* .igot .igot.* .iplt .rela.* .rel.*)
    *(.init_array* .fini_array* .ctors* .dtors* .preinit_array*)
  }
  /DISCARD/ : { *(.comment) *(.note .note.*) *(.eh_frame .eh_frame_hdr) }
}
ASSERT(SIZEOF(.forbidden) == 0, "image holds writable data, a GOT, a PLT or relocations");
