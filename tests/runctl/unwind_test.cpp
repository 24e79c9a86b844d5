// The unwinder on exception frames as the Cortex-M hardware stacks them, with
// the demo image's call frame information, and where its walk must end.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

#include "runctl/stack_unwind.h"
#include "symbols/elf_dwarf.h"

namespace {

// Target memory as a map of words; every other read fails.
std::map<uint32_t, uint32_t> s_mem;
bool read_mem(void*, uint32_t addr, uint8_t* buf, uint32_t len) {
    for (uint32_t i = 0; i < len; i += 4) {
        auto it = s_mem.find(addr + i);
        if (it == s_mem.end()) return false;
        memcpy(buf + i, &it->second, 4);
    }
    return true;
}

}  // namespace

TEST(Unwind, ExceptionFramesOnEitherStackAndWhereTheWalkMustEnd) {
    std::unique_ptr<ElfDwarf, void (*)(ElfDwarf*)> elf(elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"), elf_dwarf_free);
    ASSERT_NE(elf, nullptr);
    auto sym = [&](const char* name) {
        uint32_t a = 0;
        EXPECT_TRUE(elf_dwarf_find_function(elf.get(), name, &a)) << name;
        return a & ~1u;
    };
    UnwindFrame f[8];
    auto unwind = [&](const ElfDwarf* e, const UnwindRegs& r) { return stack_unwind(e, &r, &read_mem, nullptr, f, 8); };
    // On SysTick_Handler's first instruction, having interrupted main's line 100.
    const uint32_t interrupted = (elf_dwarf_line_to_addr(elf.get(), "main.c", 100) & ~1u) + 2;
    const uint32_t msp = 0x2001FF00, psp = 0x20008000;
    // EXC_RETURN, xPSR bit 9 (the entry added a word to align the frame), and what the return pops.
    const struct { uint32_t exc_return; bool aligned; uint32_t popped; } cases[] = {
        {0xFFFFFFF9, false, 0x20},  // thread mode, MSP, basic frame
        {0xFFFFFFFD, true, 0x24},   // PSP, aligned
        {0xFFFFFFED, false, 0x68},  // PSP with the FP context
        {0xFFFFFFE9, true, 0x6C},   // MSP, FP context, aligned
    };
    UnwindRegs r{};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.exc_return);
        const uint32_t frame = c.exc_return & 4 ? psp : msp;
        const uint32_t stacked[8] = {1, 2, 3, 4, 12, 0x08000401, interrupted, 0x01000000u | (c.aligned ? 0x200u : 0u)};
        for (uint32_t i = 0; i < 8; ++i) s_mem[frame + 4 * i] = stacked[i];
        r = UnwindRegs{.r = {}, .msp = msp, .psp = psp, .banked_valid = true, .hide_inline = 0};
        r.r[13] = msp, r.r[14] = c.exc_return, r.r[15] = sym("SysTick_Handler");
        // main ends the walk: its own saved registers are not needed.
        ASSERT_EQ(unwind(elf.get(), r), 3);
        EXPECT_TRUE(f[1].is_exception && !strcmp(f[1].func, "<exception frame>") && f[1].sp == frame);
        EXPECT_STREQ(f[2].func, "main");
        EXPECT_EQ(f[2].pc, interrupted) << "the stacked PC itself, not a return address";
        EXPECT_EQ(f[2].line, 100u);
        EXPECT_EQ(f[2].sp, frame + c.popped);
    }
    // Walks that stop at the current frame: out of reset (LR 0xFFFFFFFF, though a frame is there),
    // the banked stack pointers unknown, fibonacci's LR on an unreadable stack, no image.
    s_mem.clear();
    for (uint32_t i = 0; i < 8; ++i) s_mem[psp + 4 * i] = i == 6 ? sym("main") : 0;
    r.r[13] = r.msp = r.psp = psp, r.r[14] = 0xFFFFFFFF, r.r[15] = sym("Reset_Handler");
    EXPECT_EQ(unwind(elf.get(), r), 1);
    r.r[14] = 0xFFFFFFFD, r.r[15] = sym("SysTick_Handler"), r.banked_valid = false;
    EXPECT_EQ(unwind(elf.get(), r), 1);
    r.r[15] = elf_dwarf_line_to_addr(elf.get(), "wave.c", 28) & ~1u;
    r.r[7] = r.r[13] = 0x20010000;
    EXPECT_EQ(unwind(elf.get(), r), 1);
    EXPECT_EQ(unwind(nullptr, r), 1);
    EXPECT_STREQ(f[0].func, "??");
}
