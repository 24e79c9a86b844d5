/* The entry table at the start of the plain-binary algorithm, so that a
   target INI can name each function by a fixed offset from load_addr. */
    .syntax unified
    .thumb
    .section .entry, "ax"
    .global blob_entry
blob_entry:
    b.w Init          /* +0x00 */
    b.w UnInit        /* +0x04 */
    b.w EraseSector   /* +0x08 */
    b.w ProgramPage   /* +0x0C */
    b.w EraseChip     /* +0x10 */
