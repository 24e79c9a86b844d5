// Shared by the peripheral tests: register scripts run against blocks mapped
// at their addresses, and reading a shared-data file.
#pragma once

#include "sim/sim_types.h"
#include "tests/test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace periph_test {

// Blocks at [base, base + size); the size may reach past a block's end so
// that its own refusal of an offset out of range shows.
struct Bus {
    struct Region { uint32_t base, size; SimMemPort port; };
    std::vector<Region> regions;
    const Region* at(uint32_t a) const {
        for (const Region& r : regions) if (a - r.base < r.size) return &r;
        return nullptr;
    }
    static bool rd(void* c, uint32_t a, unsigned s, uint32_t* v) {
        const Region* r = static_cast<Bus*>(c)->at(a);
        return r && r->port.read(r->port.ctx, a - r->base, s, v);
    }
    static bool wr(void* c, uint32_t a, unsigned s, uint32_t v) {
        const Region* r = static_cast<Bus*>(c)->at(a);
        return r && r->port.write(r->port.ctx, a - r->base, s, v);
    }
    SimMemPort port() { return SimMemPort{this, rd, wr}; }
};

// r: read `a` and expect `v`; w: write `v` to `a`, accepted; e / x: the read /
// write is refused. Other ops go to `other`, which checks what it wants.
struct Step { char op; uint32_t a = 0; uint64_t v = 0; unsigned size = 4; };
template <class F> void run(SimMemPort p, std::initializer_list<Step> steps, F other) {
    unsigned i = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "step " << i++ << " '" << s.op << "' 0x" << std::hex << s.a);
        uint32_t got = 0;
        switch (s.op) {
        case 'r': EXPECT_TRUE(p.read(p.ctx, s.a, s.size, &got)); EXPECT_EQ(got, s.v); break;
        case 'w': EXPECT_TRUE(p.write(p.ctx, s.a, s.size, uint32_t(s.v))); break;
        case 'e': EXPECT_FALSE(p.read(p.ctx, s.a, s.size, &got)); break;
        case 'x': EXPECT_FALSE(p.write(p.ctx, s.a, s.size, uint32_t(s.v))); break;
        default: other(s);
        }
    }
}

} // namespace periph_test
