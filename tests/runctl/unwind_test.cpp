// The unwinder on stacks laid out as the Cortex-M hardware stacks them on
// exception entry, against the demo image's call frame information: where
// the interrupted code's frame is (MSP or PSP, basic or FP-extended frame,
// the alignment word) and where the walk must end.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "runctl/stack_unwind.h"
#include "symbols/elf_dwarf.h"

namespace {

// Target memory as a map of words; every other read fails.
struct Memory {
    std::map<uint32_t, uint32_t> words;
    static bool read(void* user, uint32_t addr, uint8_t* buf, uint32_t len) {
        auto* m = static_cast<Memory*>(user);
        for (uint32_t i = 0; i < len; i += 4) {
            auto it = m->words.find(addr + i);
            if (it == m->words.end()) return false;
            memcpy(buf + i, &it->second, 4);
        }
        return true;
    }
};

class Unwind : public ::testing::Test {
protected:
    void SetUp() override {
        elf_ = elf_dwarf_load(KORVANE_DEMO_FW_DIR "/demo_O0_dwarf4.elf");
        ASSERT_NE(elf_, nullptr);
    }
    void TearDown() override { elf_dwarf_free(elf_); }
    uint32_t sym(const char* name) {
        uint32_t a = 0;
        EXPECT_TRUE(elf_dwarf_find_function(elf_, name, &a)) << name;
        return a & ~1u;
    }
    ElfDwarf* elf_ = nullptr;
};

}  // namespace

TEST_F(Unwind, ExceptionFramesOnEitherStackWithAndWithoutFpState) {
    // Halted on SysTick_Handler's first instruction (nothing pushed yet),
    // having interrupted main somewhere in its loop.
    const uint32_t handler = sym("SysTick_Handler"), interrupted = (elf_dwarf_line_to_addr(elf_, "main.c", 100) & ~1u) + 2;
    struct Case {
        uint32_t exc_return;
        bool aligned;      // xPSR bit 9: the hardware added a word to align the frame
        uint32_t popped;   // what the return pops: the frame, and the alignment word
    } cases[] = {
        {0xFFFFFFF9, false, 0x20},  // thread mode, MSP, basic frame
        {0xFFFFFFFD, true, 0x24},   // thread mode, PSP, aligned
        {0xFFFFFFED, false, 0x68},  // PSP with the FP context
        {0xFFFFFFE9, true, 0x6C},   // MSP, FP context, aligned
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.exc_return);
        const uint32_t msp = 0x2001FF00, psp = 0x20008000;
        const bool on_psp = c.exc_return & 4;
        const uint32_t frame = on_psp ? psp : msp;
        Memory m;
        const uint32_t stacked[8] = {1, 2, 3, 4, 12, 0x08000401, interrupted, 0x01000000u | (c.aligned ? 0x200u : 0u)};
        for (int i = 0; i < 8; ++i) m.words[frame + 4 * (uint32_t)i] = stacked[i];
        UnwindRegs regs{};
        regs.r[13] = msp;
        regs.r[14] = c.exc_return;
        regs.r[15] = handler;
        regs.msp = msp;
        regs.psp = psp;
        regs.banked_valid = true;
        UnwindFrame f[8];
        int n = stack_unwind(elf_, &regs, &Memory::read, &m, f, 8);
        // main is where the walk ends: it does not need main's own saved registers.
        ASSERT_EQ(n, 3);
        EXPECT_STREQ(f[0].func, "SysTick_Handler");
        EXPECT_TRUE(f[1].is_exception);
        EXPECT_STREQ(f[1].func, "<exception frame>");
        EXPECT_EQ(f[1].sp, frame);
        EXPECT_STREQ(f[2].func, "main");
        EXPECT_EQ(f[2].pc, interrupted) << "the stacked PC itself, not a return address";
        EXPECT_EQ(f[2].line, 100u);
        EXPECT_EQ(f[2].sp, frame + c.popped);
    }
}

TEST_F(Unwind, TheWalkEndsWhereNothingCanBeTrusted) {
    Memory m;
    UnwindRegs regs{};
    UnwindFrame f[8];
    // Out of reset: LR holds 0xFFFFFFFF, which is no exception return.
    regs.r[13] = 0x20020000;
    regs.r[14] = 0xFFFFFFFF;
    regs.r[15] = sym("Reset_Handler");
    EXPECT_EQ(stack_unwind(elf_, &regs, &Memory::read, &m, f, 8), 1);
    // A PSP frame without the banked stack pointers known.
    regs.r[14] = 0xFFFFFFFD;
    regs.r[15] = sym("SysTick_Handler");
    EXPECT_EQ(stack_unwind(elf_, &regs, &Memory::read, &m, f, 8), 1);
    // Unreadable stack below a frame whose return address is saved there.
    regs.r[15] = elf_dwarf_line_to_addr(elf_, "wave.c", 28) & ~1u;  // fibonacci's body: LR is on the stack
    regs.r[7] = regs.r[13] = 0x20010000;
    EXPECT_EQ(stack_unwind(elf_, &regs, &Memory::read, &m, f, 8), 1);
    // No image: the current frame alone.
    EXPECT_EQ(stack_unwind(nullptr, &regs, &Memory::read, &m, f, 8), 1);
    EXPECT_STREQ(f[0].func, "??");
}
