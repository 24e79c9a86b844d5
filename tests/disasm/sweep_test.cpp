// Any value the disassembler is given decodes or is shown as data, within the
// line's 128 bytes: every 16-bit Thumb value with several second halfwords,
// then random Thumb-2 and ARM words (KORVANE_SWEEP_VALUES of them, half each;
// 100 million by default), with every column on and symbols around the
// addresses so that comments are written; and the single-instruction entry
// with buffers of every small size. Meant for the sanitizer build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "disasm/arm_disasm.h"
#include "disasm/thumb2_disasm.h"
#include "tests/test_util.h"

namespace {


long sweep_values() {
    const char* env = getenv("KORVANE_SWEEP_VALUES");
    return env ? atol(env) : 100000000L;
}

constexpr uint32_t kWindow = 0x08010000;  // where the values are decoded, symbols around it
constexpr int kBlock = 64;                // values between two clearings of the markers

// Names long enough that a comment holding one must be cut.
std::string symbol_name(uint32_t addr) {
    char head[24];
    snprintf(head, sizeof head, "sym_%08x_", addr);
    return head + std::string(100, 'x');
}

struct Sweep {
    ARMSTATE st{};
    long values = 0, bad = 0, refused = 0, named = 0, cut = 0;
    std::string first_bad;
    uint32_t base = kWindow;

    Sweep() { reset(); }
    ~Sweep() { disasm_cleanup(&st); }

    // A fresh record now and then: a BLX's target joins the symbols, which
    // keep growing over millions of random values as they would not in a view.
    void reset() {
        disasm_cleanup(&st);
        disasm_init(&st, DISASM_ADD_ADDR | DISASM_ADD_BIN | DISASM_ADD_CMT);
        // A symbol on every halfword from 8 KiB below to 24 KiB above the
        // window: literal loads and short branches land on one.
        for (uint32_t a = kWindow - 0x2000; a < kWindow + 0x6000; a += 2) disasm_symbol(&st, symbol_name(a).c_str(), a, a & 2 ? 0 : 2);
    }

    // Before value i: markers cleared now and then (guessed ones pile up),
    // with a small data island from the image's mapping symbols; every
    // sixteenth block runs over the top of the address space.
    void at(long i, int step) {
        if (i % (1 << 20) == 0 && i) reset();
        if (i % kBlock == 0) {
            disasm_clear_codepool(&st);
            base = (i / kBlock) % 16 == 15 ? 0u - (uint32_t)(kBlock * step / 2) : kWindow + (uint32_t)((i / kBlock) % 256) * kBlock * step;
            disasm_symbol(&st, "$d", base + 8 * (uint32_t)step, 0);
            disasm_symbol(&st, step == 4 ? "$a" : "$t", base + 10 * (uint32_t)step, 0);
        }
        disasm_address(&st, base + (uint32_t)(i % kBlock) * (uint32_t)step);
    }

    void report(const char* what) {
        printf("%s: %ld values, %ld refused, %ld with a symbol named (%ld cut), %ld bad\n", what, values, refused, named, cut, bad);
    }

    void check(bool ok, uint32_t value, bool arm) {
        ++values;
        int size = 0;
        const char* text = disasm_result(&st, &size);
        const char* end = (const char*)memchr(st.text, 0, sizeof st.text);
        refused += !ok;
        named += strstr(st.text, "sym_") != nullptr;
        cut += strstr(st.text, " ...") != nullptr;
        bool good = end != nullptr && text == st.text && (arm ? size == 4 : size == 2 || size == 4) &&
                    (ok ? end > st.text : strstr(st.text, ".word") || strstr(st.text, ".hword"));
        if (good) return;
        if (++bad <= 10) {
            char line[64];
            snprintf(line, sizeof line, "%s %08x (size %d, %s): ", arm ? "arm" : "thumb", value, size, ok ? "decoded" : "refused");
            first_bad += line + (end ? std::string(st.text) : std::string(st.text, sizeof st.text) + "<no NUL>") + "\n";
        }
    }
};

}  // namespace

TEST(DisasmSweep, EveryThumbHalfwordWithSeveralSecondHalfwords) {
    Sweep s;
    Rng rng{1};
    const uint16_t seconds[] = {0x0000, 0xFFFF, 0x8000, 0x0F0F, 0xF0F0, 0};
    long i = 0;
    for (uint16_t hw2 : seconds)
        for (uint32_t hw = 0; hw < 0x10000; ++hw, ++i) {
            uint16_t second = hw2 ? hw2 : (uint16_t)rng.next();
            s.at(i, 2);
            s.check(disasm_thumb(&s.st, (uint16_t)hw, second), hw << 16 | second, false);
        }
    EXPECT_EQ(s.bad, 0) << s.first_bad;
    s.report("thumb halfwords");
}

// Random encodings of one instruction set: each decodes or shows as data.
static void random_sweep(uint64_t seed, bool arm, const char* what) {
    Sweep s;
    Rng rng{seed};
    const long n = sweep_values() / 2;
    for (long i = 0; i < n; ++i) {
        if (arm) {
            uint32_t w = rng.next() << 16 | (rng.next() & 0xFFFF);
            s.at(i, 4);
            s.check(disasm_arm(&s.st, w), w, true);
        } else {
            // A first halfword of 0xE800 to 0xFFFF: the 32-bit prefixes.
            uint16_t hw = (uint16_t)(0xE800 + rng.next() % 0x1800), hw2 = (uint16_t)rng.next();
            s.at(i, 2);
            s.check(disasm_thumb(&s.st, hw, hw2), (uint32_t)hw << 16 | hw2, false);
        }
    }
    EXPECT_EQ(s.bad, 0) << s.first_bad;
    s.report(what);
}

TEST(DisasmSweep, RandomThumb2) { random_sweep(2, false, "thumb-2"); }

TEST(DisasmSweep, RandomArm) { random_sweep(3, true, "arm"); }

// The entry the stepping engine and the view use: the text cut to the
// caller's buffer, whatever its size, and the other queries on the same bytes.
// Buffers are exactly their size on the heap, so a write past one is caught.
TEST(DisasmSweep, SingleInstructionEntryWithSmallBuffers) {
    thumb2_init();
    static const std::string long_name(300, 's');
    auto sym = [](uint32_t pc, void*) -> const char* { return pc & 4 ? long_name.c_str() : nullptr; };
    auto read = [](uint32_t, uint8_t* b, uint32_t len, void* user) {
        memcpy(b, user, len < 4 ? len : 4);
        return true;
    };
    Rng rng{4};
    long bad = 0;
    std::string first_bad;
    for (long i = 0; i < 400000; ++i) {
        uint32_t w = rng.next() << 16 | (rng.next() & 0xFFFF);
        std::unique_ptr<uint8_t[]> code(new uint8_t[4]);
        memcpy(code.get(), &w, 4);
        const uint32_t pc = kWindow + (uint32_t)(i % 1024) * 2;
        const size_t len = (size_t)(i % 40);  // 0 to 39 bytes
        std::unique_ptr<char[]> buf(len ? new char[len] : nullptr);
        int insn_len = -1;
        const char* text = thumb2_disasm(pc, code.get(), buf.get(), len, &insn_len, sym, nullptr);
        bool good = text && (len == 0 ? text[0] == 0 : text == buf.get() && memchr(buf.get(), 0, len)) &&
                    (len == 0 || insn_len == 2 || insn_len == 4) && thumb2_insn_len(code.get()) == ((w & 0xFFFF) >> 11 >= 0x1D ? 4 : 2);
        thumb2_classify(pc, code.get());
        thumb2_branch_target(pc, code.get());
        thumb2_literal_addr();
        good &= thumb2_it_block_len(pc, code.get(), read, code.get()) <= 18;
        if (!good && ++bad <= 10) first_bad += std::to_string(i) + ": " + std::to_string(w) + "\n";
    }
    thumb2_fini();
    EXPECT_EQ(bad, 0) << first_bad;
}
