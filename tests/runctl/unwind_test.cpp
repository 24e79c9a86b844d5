// The unwinder on exception frames as the Cortex-M hardware stacks them, with
// the demo image's call frame information, and where its walk must end.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

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

class Unwind : public ::testing::Test {
protected:
    void SetUp() override {
        s_mem.clear();
        ASSERT_NE(elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf"), nullptr);
    }
    void TearDown() override { elf_dwarf_free(elf_); }
    uint32_t sym(const char* name) {
        uint32_t a = 0;
        EXPECT_TRUE(elf_dwarf_find_function(elf_, name, &a)) << name;
        return a & ~1u;
    }
    int unwind(const ElfDwarf* e, const UnwindRegs& r) { return stack_unwind(e, &r, &read_mem, nullptr, f_, 8); }
    ElfDwarf* elf_ = nullptr;
    UnwindFrame f_[8];
};

}  // namespace

TEST_F(Unwind, ExceptionFramesOnEitherStackWithAndWithoutFpState) {
    // On SysTick_Handler's first instruction, having interrupted main's line 100.
    const uint32_t interrupted = (elf_dwarf_line_to_addr(elf_, "main.c", 100) & ~1u) + 2;
    const uint32_t msp = 0x2001FF00, psp = 0x20008000;
    // EXC_RETURN, xPSR bit 9 (an alignment word added), and what the return pops.
    const struct { uint32_t exc_return; bool aligned; uint32_t popped; } cases[] = {
        {0xFFFFFFF9, false, 0x20},  // thread mode, MSP, basic frame
        {0xFFFFFFFD, true, 0x24},   // PSP, aligned
        {0xFFFFFFED, false, 0x68},  // PSP with the FP context
        {0xFFFFFFE9, true, 0x6C},   // MSP, FP context, aligned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.exc_return);
        const uint32_t frame = c.exc_return & 4 ? psp : msp;
        const uint32_t stacked[8] = {1, 2, 3, 4, 12, 0x08000401, interrupted, 0x01000000u | (c.aligned ? 0x200u : 0u)};
        for (uint32_t i = 0; i < 8; ++i) s_mem[frame + 4 * i] = stacked[i];
        UnwindRegs r{};
        r.r[13] = r.msp = msp;
        r.psp = psp;
        r.r[14] = c.exc_return;
        r.r[15] = sym("SysTick_Handler");
        r.banked_valid = true;
        // main ends the walk: its own saved registers are not needed.
        ASSERT_EQ(unwind(elf_, r), 3);
        EXPECT_TRUE(f_[1].is_exception);
        EXPECT_STREQ(f_[1].func, "<exception frame>");
        EXPECT_EQ(f_[1].sp, frame);
        EXPECT_STREQ(f_[2].func, "main");
        EXPECT_EQ(f_[2].pc, interrupted) << "the stacked PC itself, not a return address";
        EXPECT_EQ(f_[2].line, 100u);
        EXPECT_EQ(f_[2].sp, frame + c.popped);
    }
}

TEST_F(Unwind, TheWalkEndsWhereNothingCanBeTrusted) {
    UnwindRegs r{};
    for (uint32_t i = 0; i < 8; ++i) s_mem[0x20008000 + 4 * i] = i == 6 ? sym("main") : 0;  // a frame on both stacks
    r.r[13] = r.msp = r.psp = 0x20008000;
    r.banked_valid = true;
    r.r[14] = 0xFFFFFFFF;  // out of reset: no exception return
    r.r[15] = sym("Reset_Handler");
    EXPECT_EQ(unwind(elf_, r), 1);
    r.r[14] = 0xFFFFFFFD;  // a PSP frame, the banked stack pointers unknown
    r.r[15] = sym("SysTick_Handler");
    r.banked_valid = false;
    EXPECT_EQ(unwind(elf_, r), 1);
    r.r[15] = elf_dwarf_line_to_addr(elf_, "wave.c", 28) & ~1u;  // fibonacci's LR is on the unreadable stack
    r.r[7] = r.r[13] = 0x20010000;
    EXPECT_EQ(unwind(elf_, r), 1);
    EXPECT_EQ(unwind(nullptr, r), 1);  // no image: the current frame alone
    EXPECT_STREQ(f_[0].func, "??");
}
