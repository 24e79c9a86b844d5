// The call stack of a halted core, from the image's call frame information:
// each frame's caller is found from the registers its function saved, through
// exception entries (EXC_RETURN in LR) onto the interrupted code's stack.
// Code without call frame information is scanned for return addresses, and
// such frames are marked as guessed.
#pragma once

#include <cstdint>

#include "symbols/elf_dwarf.h"

enum : int { UNWIND_MAX_FRAMES = 32 };

struct UnwindFrame {
    uint32_t pc;     // bit 0 clear; in outer frames the return address
    char func[128];  // "??" when unknown; "<exception frame>" for an exception entry
    char file[256];  // empty when unknown
    uint32_t line;   // 0 when unknown; outer frames: the line of the call
    bool is_current;
    bool guessed;       // found by scanning the stack, not from call frame information
    bool is_exception;  // the entry between a handler and the code it interrupted
    bool is_inlined;    // a function inlined into the frame below it: same pc and SP
    bool is_tailcall;   // left by a tail call: no return comes back to it (pc is the branch)
    uint32_t sp;        // SP in this frame (outer frames: once the callee has returned)
    uint32_t cfa;       // the frame's canonical frame address, 0 when unknown
};

// The halted core's registers: R0-R15, and the banked stack pointers when
// known (an exception frame on the process stack needs PSP).
struct UnwindRegs {
    uint32_t r[16];
    uint32_t msp, psp;
    bool banked_valid;
    // Inlined calls at the PC not shown yet (a step stopped where their code
    // starts: the call's line is shown, as gdb does).
    int hide_inline;
};

// The inlined calls holding pc, and how many of the innermost start there:
// at the entry of an inlined call, or where a range of it is entered from
// code outside it.
struct InlineView {
    ElfInline chain[ELF_MAX_INLINE];
    int depth;
    int starting;
};
void inline_view_at(const ElfDwarf* elf, uint32_t pc, InlineView* v);

// Reads target memory; false when it cannot.
typedef bool (*UnwindReadFn)(void* user, uint32_t addr, uint8_t* buf, uint32_t len);

// Fills at most max_frames (capped at UNWIND_MAX_FRAMES) and returns how many
// (0 only without frames or a reader). Stack memory is read in 256-byte blocks,
// each once. The walk ends after main, at code without a function, or where
// the stack stops growing towards older frames.
int stack_unwind(const ElfDwarf* elf, const UnwindRegs* regs, UnwindReadFn read, void* user, UnwindFrame* frames,
                 int max_frames);
