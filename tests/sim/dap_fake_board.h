// Stand-in for the board in probe-side tests: RAM with holes that answer
// bus errors, a power-request that acks (or not), an nRESET recorder and a
// plain clock. Each test owns its own instance.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/sim_types.h"

struct DapFakeBoard {
    static constexpr uint32_t kRamBase = 0x20000000u;
    static constexpr uint32_t kRamSize = 0x20000u;  // 128 KB
    static constexpr uint32_t kHoleBase = 0x20008080u;  // 256 bytes that fault, inside a 1 KB block
    static constexpr uint32_t kHoleSize = 0x100u;

    std::vector<uint8_t> ram = std::vector<uint8_t>(kRamSize);
    bool power_acks = true;
    bool nreset_asserted = false;
    unsigned nreset_calls = 0;
    unsigned bus_reads = 0, bus_writes = 0;
    unsigned bad_size_or_align = 0;  // accesses the port contract forbids
    SimPlainClock clock;

    DapFakeBoard() { sim_plain_clock_init(&clock); }

    static bool mapped(uint32_t a, unsigned size) {
        if (a < kRamBase || a + size > kRamBase + kRamSize) return false;
        return !(a + size > kHoleBase && a < kHoleBase + kHoleSize);
    }
    static bool rd(void* ctx, uint32_t a, unsigned size, uint32_t* v) {
        auto* b = static_cast<DapFakeBoard*>(ctx);
        b->bus_reads++;
        if ((size != 1 && size != 2 && size != 4) || (a & (size - 1))) b->bad_size_or_align++;
        if (!mapped(a, size)) return false;
        uint32_t x = 0;
        for (unsigned i = 0; i < size; ++i) x |= (uint32_t)b->ram[a - kRamBase + i] << (8 * i);
        *v = x;
        return true;
    }
    static bool wr(void* ctx, uint32_t a, unsigned size, uint32_t v) {
        auto* b = static_cast<DapFakeBoard*>(ctx);
        b->bus_writes++;
        if ((size != 1 && size != 2 && size != 4) || (a & (size - 1))) b->bad_size_or_align++;
        if (!mapped(a, size)) return false;
        for (unsigned i = 0; i < size; ++i) b->ram[a - kRamBase + i] = (uint8_t)(v >> (8 * i));
        return true;
    }
    static void nreset(void* ctx, bool asserted) {
        auto* b = static_cast<DapFakeBoard*>(ctx);
        b->nreset_asserted = asserted;
        b->nreset_calls++;
    }
    static void power(void* ctx, bool dbg, bool sys, bool* dack, bool* sack) {
        auto* b = static_cast<DapFakeBoard*>(ctx);
        *dack = dbg && b->power_acks;
        *sack = sys && b->power_acks;
    }
    SimMemPort port() { return SimMemPort{this, rd, wr}; }
    SimTargetLines lines() { return SimTargetLines{this, nreset, power}; }
    uint32_t word(uint32_t a) const {
        uint32_t x = 0;
        for (unsigned i = 0; i < 4; ++i) x |= (uint32_t)ram[a - kRamBase + i] << (8 * i);
        return x;
    }
    void set_word(uint32_t a, uint32_t v) {
        for (unsigned i = 0; i < 4; ++i) ram[a - kRamBase + i] = (uint8_t)(v >> (8 * i));
    }
};

// SWJ sequences as a host sends them, bytes LSB first.
namespace dap_seq {
inline const std::vector<uint8_t> kLineReset = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // 56 ones
inline const std::vector<uint8_t> kJtagToSwd = {0x9E, 0xE7};
inline const std::vector<uint8_t> kSwdToDormant = {0xBC, 0xE3};
inline const std::vector<uint8_t> kAlert = {0x92, 0xF3, 0x09, 0x62, 0x95, 0x2D, 0x85, 0x86,
                                             0xE9, 0xAF, 0xDD, 0xE3, 0xA2, 0x0E, 0xBC, 0x19};
}  // namespace dap_seq
