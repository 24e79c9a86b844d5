#include "sim/periph_stm32.h"

namespace {

bool access_ok(uint32_t offset, unsigned size, uint32_t limit) {
    return (size == 1 || size == 2 || size == 4) && offset % size == 0 && offset < limit;
}

uint32_t lanes_of(uint32_t offset, unsigned size) {
    const uint32_t m = size == 4 ? 0xFFFFFFFFu : ((1u << (8 * size)) - 1u);
    return m << (8 * (offset & 3u));
}

uint32_t extract(uint32_t word, uint32_t offset, unsigned size) {
    return (word & lanes_of(offset, size)) >> (8 * (offset & 3u));
}

// ---- RCC: reset values and writable bits of RM0090's register map.

struct RccReg {
    uint32_t offset, reset, writable;
};
constexpr RccReg RCC_REGS[] = {
    {0x00, 0x00000083, 0x050D00F9}, // CR: HSION, HSITRIM, HSEON, HSEBYP, CSSON, PLLON, PLLI2SON
    {0x04, 0x24003010, 0x0F437FFF}, // PLLCFGR
    {0x08, 0x00000000, 0xFFFFFCF3}, // CFGR (SWS is read-only)
    {0x0C, 0x00000000, 0x00003F00}, // CIR: interrupt enables (flags never set here)
    {0x10, 0x00000000, 0x226011FF}, // AHB1RSTR
    {0x14, 0x00000000, 0x000000C1}, // AHB2RSTR: DCMI, RNG, OTGFS (no crypto on F405/407)
    {0x18, 0x00000000, 0x00000001}, // AHB3RSTR
    {0x20, 0x00000000, 0x36FEC9FF}, // APB1RSTR
    {0x24, 0x00000000, 0x00075933}, // APB2RSTR
    {0x30, 0x00100000, 0x7E7411FF}, // AHB1ENR (CCMDATARAMEN set at reset)
    {0x34, 0x00000000, 0x000000C1}, // AHB2ENR
    {0x38, 0x00000000, 0x00000001}, // AHB3ENR
    {0x40, 0x00000000, 0x36FEC9FF}, // APB1ENR
    {0x44, 0x00000000, 0x00075F33}, // APB2ENR
    {0x50, 0x7E6791FF, 0x7E6791FF}, // AHB1LPENR
    {0x54, 0x000000F1, 0x000000C1}, // AHB2LPENR (bits 4, 5 of the reset value stay)
    {0x58, 0x00000001, 0x00000001}, // AHB3LPENR
    {0x60, 0x36FEC9FF, 0x36FEC9FF}, // APB1LPENR
    {0x64, 0x00075F33, 0x00075F33}, // APB2LPENR
    {0x70, 0x00000000, 0x00018305}, // BDCR: LSEON, LSEBYP, RTCSEL, RTCEN, BDRST
    {0x74, 0x0E000000, 0x00000001}, // CSR: LSION (RMVF handled apart)
    {0x80, 0x00000000, 0xCFFFFFFF}, // SSCGR
    {0x84, 0x20003000, 0x70007FC0}, // PLLI2SCFGR
};

const RccReg* rcc_reg(uint32_t word_offset) {
    for (const RccReg& r : RCC_REGS) {
        if (r.offset == word_offset) return &r;
    }
    return nullptr;
}

uint32_t& rcc(SimStm32Periph* p, uint32_t off) { return p->rcc[off / 4]; }

// Oscillators and PLLs are ready as soon as they are switched on: nothing
// here models start-up time, and firmware polling a RDY bit must not hang.
void rcc_settle(SimStm32Periph* p) {
    uint32_t& cr = rcc(p, 0x00);
    const uint32_t cfgr_sw = rcc(p, 0x08) & 3u;
    const uint32_t sws = (rcc(p, 0x08) >> 2) & 3u;
    // The oscillator or PLL that clocks the system cannot be switched off.
    if (sws == 0) cr |= 1u;
    if (sws == 1) cr |= 1u << 16;
    if (sws == 2) cr |= 1u << 24;
    cr = (cr & ~((1u << 1) | (1u << 17) | (1u << 25) | (1u << 27))) | ((cr & 1u) << 1) | ((cr & (1u << 16)) << 1) |
         ((cr & (1u << 24)) << 1) | ((cr & (1u << 26)) << 1);
    const bool ready[3] = {(cr & (1u << 1)) != 0, (cr & (1u << 17)) != 0, (cr & (1u << 25)) != 0};
    // SW = 3 is "not allowed"; a switch to a source that is not ready does
    // not happen, and SWS keeps showing the clock actually in use.
    if (cfgr_sw < 3 && ready[cfgr_sw]) rcc(p, 0x08) = (rcc(p, 0x08) & ~0xCu) | (cfgr_sw << 2);
    uint32_t& bdcr = rcc(p, 0x70);
    bdcr = (bdcr & ~2u) | ((bdcr & 1u) << 1);
    uint32_t& csr = rcc(p, 0x74);
    csr = (csr & ~2u) | ((csr & 1u) << 1);
}

// ---- GPIO

struct GpioReset {
    uint32_t moder, ospeedr, pupdr;
};
// Port A and B come out of reset with the debug pins (PA13/14/15, PB3/4) in
// their alternate function, pulled as RM0090 lists.
GpioReset gpio_reset_values(unsigned port) {
    if (port == 0) return {0xA8000000, 0x0C000000, 0x64000000};
    if (port == 1) return {0x00000280, 0x000000C0, 0x00000100};
    return {0, 0, 0};
}

void gpio_reset_port(SimGpioPort* g, unsigned port) {
    const GpioReset r = gpio_reset_values(port);
    g->moder = r.moder;
    g->otyper = 0;
    g->ospeedr = r.ospeedr;
    g->pupdr = r.pupdr;
    g->odr = 0;
    g->afr[0] = g->afr[1] = 0;
    g->lckr = 0;
    g->lock_stage = 0;
}

uint16_t gpio_idr(const SimGpioPort* g) {
    uint16_t idr = 0;
    for (unsigned pin = 0; pin < 16; ++pin) {
        const unsigned mode = (g->moder >> (2 * pin)) & 3u;
        if (mode == 3) continue; // analog: the input trigger is off, reads 0
        const bool odr = (g->odr >> pin) & 1u;
        const bool open_drain = (g->otyper >> pin) & 1u;
        bool level;
        if (mode == 1 && !(open_drain && odr)) {
            level = odr;
        } else if ((g->ext_driven >> pin) & 1u) {
            level = (g->ext_level >> pin) & 1u;
        } else {
            level = ((g->pupdr >> (2 * pin)) & 3u) == 1; // pull-up; floating reads 0 here
        }
        if (level) idr = static_cast<uint16_t>(idr | (1u << pin));
    }
    return idr;
}

// Bits of a pin-configuration register that belong to locked pins.
uint32_t locked_bits(const SimGpioPort* g, unsigned bits_per_pin, unsigned first_pin) {
    if (!(g->lckr & (1u << 16))) return 0;
    uint32_t m = 0;
    for (unsigned i = 0; i < 32 / bits_per_pin; ++i) {
        const unsigned pin = first_pin + i;
        if (pin < 16 && ((g->lckr >> pin) & 1u)) m |= ((1u << bits_per_pin) - 1u) << (bits_per_pin * i);
    }
    return m;
}

void update_locked(uint32_t* reg, uint32_t v, uint32_t lanes, uint32_t locked) {
    const uint32_t m = lanes & ~locked;
    *reg = (*reg & ~m) | (v & m);
}

// LCKR: LCKK=1, LCKK=0, LCKK=1 with the same LCK[15:0], as whole words.
// Simplified: the read that closes the sequence in RM0090 is not required;
// the lock takes effect on the third write.
void gpio_write_lckr(SimGpioPort* g, unsigned size, uint32_t v) {
    if (g->lckr & (1u << 16)) return; // locked until reset
    const uint32_t lck = v & 0xFFFFu;
    const bool lckk = v & (1u << 16);
    if (size != 4) { g->lock_stage = 0; return; }
    const bool same = lck == (g->lckr & 0xFFFFu);
    if (g->lock_stage == 1 && !lckk && same) {
        g->lock_stage = 2;
    } else if (g->lock_stage == 2 && lckk && same) {
        g->lock_stage = 0;
        g->lckr = lck | (1u << 16);
        return;
    } else {
        g->lock_stage = lckk ? 1 : 0;
    }
    g->lckr = lck;
}

bool gpio_clock_on(const SimStm32Periph* p, unsigned port) { return (p->rcc[0x30 / 4] >> port) & 1u; }

// ---- Ports


bool rcc_r(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_rcc_read(static_cast<SimStm32Periph*>(c), a, s, v); }
bool rcc_w(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_rcc_write(static_cast<SimStm32Periph*>(c), a, s, v); }
bool gpio_r(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_gpio_read(static_cast<SimStm32Periph*>(c), a, s, v); }
bool gpio_w(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_gpio_write(static_cast<SimStm32Periph*>(c), a, s, v); }
bool dbg_r(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_dbgmcu_read(static_cast<SimStm32Periph*>(c), a, s, v); }
bool dbg_w(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_dbgmcu_write(static_cast<SimStm32Periph*>(c), a, s, v); }
bool sys_r(void* c, uint32_t a, unsigned s, uint32_t* v) { return sim_sysinfo_read(static_cast<SimStm32Periph*>(c), a, s, v); }
bool sys_w(void* c, uint32_t a, unsigned s, uint32_t v) { return sim_sysinfo_write(static_cast<SimStm32Periph*>(c), a, s, v); }

constexpr uint32_t DBGMCU_CR_MASK = 0x000000E7;      // DBG_SLEEP/STOP/STANDBY, TRACE_IOEN, TRACE_MODE
constexpr uint32_t DBGMCU_APB1_MASK = 0x06E01DFF;
constexpr uint32_t DBGMCU_APB2_MASK = 0x00070003;

} // namespace

void sim_stm32_init(SimStm32Periph* p, const uint8_t* uid) {
    static const uint8_t default_uid[12] = {0x33, 0x00, 0x2A, 0x00, 0x0D, 0x47, 0x36, 0x31,
                                            0x37, 0x38, 0x39, 0x30};
    for (unsigned i = 0; i < 12; ++i) p->uid[i] = uid ? uid[i] : default_uid[i];
    p->flash_kb = 1024;
    p->dbgmcu_cr = p->dbgmcu_apb1_fz = p->dbgmcu_apb2_fz = 0;
    for (SimGpioPort& g : p->gpio) g.ext_driven = g.ext_level = 0;
    sim_stm32_reset(p, SimStm32ResetCause::power_on);
}

void sim_stm32_reset(SimStm32Periph* p, SimStm32ResetCause cause) {
    const uint32_t old_csr = p->rcc[0x74 / 4];
    for (uint32_t& w : p->rcc) w = 0;
    for (const RccReg& r : RCC_REGS) p->rcc[r.offset / 4] = r.reset;
    // CSR reset flags: POR sets BORRSTF, PINRSTF and PORRSTF (the reset value);
    // other resets add to what software has not cleared yet, and the pin flag
    // is set for them too since the reset drives NRST.
    if (cause == SimStm32ResetCause::power_on) {
        p->dbgmcu_cr = p->dbgmcu_apb1_fz = p->dbgmcu_apb2_fz = 0;
    } else {
        uint32_t flags = (old_csr & 0xFE000000u) | (1u << 26);
        if (cause == SimStm32ResetCause::software) flags |= 1u << 28;
        p->rcc[0x74 / 4] = flags;
    }
    for (unsigned i = 0; i < SIM_GPIO_PORTS; ++i) gpio_reset_port(&p->gpio[i], i);
    rcc_settle(p);
}

bool sim_rcc_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value) {
    if (!access_ok(offset, size, SIM_RCC_SIZE)) return false;
    const uint32_t w = offset & ~3u;
    *value = rcc_reg(w) ? extract(p->rcc[w / 4], offset, size) : 0u;
    return true;
}

bool sim_rcc_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value) {
    if (!access_ok(offset, size, SIM_RCC_SIZE)) return false;
    const uint32_t w = offset & ~3u;
    const RccReg* r = rcc_reg(w);
    if (!r) return true; // reserved: ignored
    const uint32_t lanes = lanes_of(offset, size);
    const uint32_t v = (value << (8 * (offset & 3u))) & lanes;
    uint32_t& reg = p->rcc[w / 4];
    if (w == 0x04 && (p->rcc[0] & (1u << 24))) return true; // PLLCFGR holds while the PLL runs
    if (w == 0x74 && (v & (1u << 24))) reg &= ~0xFE000000u;   // RMVF clears the reset flags
    reg = (reg & ~(lanes & r->writable)) | (v & r->writable);
    if (w == 0x10) {
        // A port held in reset returns to its reset values.
        for (unsigned i = 0; i < SIM_GPIO_PORTS; ++i) {
            if ((reg >> i) & 1u) gpio_reset_port(&p->gpio[i], i);
        }
    }
    rcc_settle(p);
    return true;
}

SimMemPort sim_rcc_port(SimStm32Periph* p) { return SimMemPort{p, rcc_r, rcc_w}; }

bool sim_gpio_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value) {
    if (!access_ok(offset, size, SIM_GPIO_STRIDE * SIM_GPIO_PORTS)) return false;
    const unsigned port = offset / SIM_GPIO_STRIDE;
    const uint32_t reg = offset % SIM_GPIO_STRIDE;
    const SimGpioPort* g = &p->gpio[port];
    uint32_t w = 0;
    // Held in reset through AHB1RSTR, the registers read their reset values.
    if (gpio_clock_on(p, port)) {
        switch (reg & ~3u) {
        case SIM_GPIO_MODER: w = g->moder; break;
        case SIM_GPIO_OTYPER: w = g->otyper; break;
        case SIM_GPIO_OSPEEDR: w = g->ospeedr; break;
        case SIM_GPIO_PUPDR: w = g->pupdr; break;
        case SIM_GPIO_IDR: w = gpio_idr(g); break;
        case SIM_GPIO_ODR: w = g->odr; break;
        case SIM_GPIO_LCKR: w = g->lckr; break;
        case SIM_GPIO_AFRL: w = g->afr[0]; break;
        case SIM_GPIO_AFRH: w = g->afr[1]; break;
        default: w = 0; break; // BSRR is write-only; the rest reserved
        }
    }
    *value = extract(w, reg, size);
    return true;
}

bool sim_gpio_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value) {
    if (!access_ok(offset, size, SIM_GPIO_STRIDE * SIM_GPIO_PORTS)) return false;
    const unsigned port = offset / SIM_GPIO_STRIDE;
    const uint32_t reg = offset % SIM_GPIO_STRIDE;
    if (!gpio_clock_on(p, port) || ((p->rcc[0x10 / 4] >> port) & 1u)) return true;
    SimGpioPort* g = &p->gpio[port];
    const uint32_t lanes = lanes_of(reg, size);
    const uint32_t v = (value << (8 * (reg & 3u))) & lanes;
    switch (reg & ~3u) {
    case SIM_GPIO_MODER: update_locked(&g->moder, v, lanes, locked_bits(g, 2, 0)); break;
    case SIM_GPIO_OTYPER: update_locked(&g->otyper, v, lanes & 0xFFFFu, locked_bits(g, 1, 0)); break;
    case SIM_GPIO_OSPEEDR: update_locked(&g->ospeedr, v, lanes, locked_bits(g, 2, 0)); break;
    case SIM_GPIO_PUPDR: update_locked(&g->pupdr, v, lanes, locked_bits(g, 2, 0)); break;
    case SIM_GPIO_ODR: update_locked(&g->odr, v, lanes & 0xFFFFu, 0); break;
    case SIM_GPIO_BSRR: {
        // Set wins when a pin is both set and reset in one write.
        const uint32_t set = v & 0xFFFFu, clr = v >> 16;
        g->odr = ((g->odr & ~clr) | set) & 0xFFFFu;
        break;
    }
    case SIM_GPIO_LCKR: gpio_write_lckr(g, size, value); break;
    case SIM_GPIO_AFRL: update_locked(&g->afr[0], v, lanes, locked_bits(g, 4, 0)); break;
    case SIM_GPIO_AFRH: update_locked(&g->afr[1], v, lanes, locked_bits(g, 4, 8)); break;
    default: break; // IDR is read-only; the rest reserved
    }
    return true;
}

SimMemPort sim_gpio_port(SimStm32Periph* p) { return SimMemPort{p, gpio_r, gpio_w}; }

uint16_t sim_gpio_odr(const SimStm32Periph* p, unsigned port) {
    return port < SIM_GPIO_PORTS ? static_cast<uint16_t>(p->gpio[port].odr) : 0;
}

uint16_t sim_gpio_idr(const SimStm32Periph* p, unsigned port) {
    return port < SIM_GPIO_PORTS ? gpio_idr(&p->gpio[port]) : 0;
}

bool sim_gpio_drive_input(SimStm32Periph* p, unsigned port, unsigned pin, bool driven, bool level) {
    if (port >= SIM_GPIO_PORTS || pin >= 16) return false;
    SimGpioPort* g = &p->gpio[port];
    const uint16_t bit = static_cast<uint16_t>(1u << pin);
    g->ext_driven = static_cast<uint16_t>(driven ? (g->ext_driven | bit) : (g->ext_driven & ~bit));
    g->ext_level = static_cast<uint16_t>(level ? (g->ext_level | bit) : (g->ext_level & ~bit));
    return true;
}

bool sim_dbgmcu_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value) {
    if (!access_ok(offset, size, SIM_DBGMCU_SIZE)) return false;
    uint32_t w = 0;
    switch (offset & ~3u) {
    case 0x0: w = SIM_DBGMCU_IDCODE_F405; break;
    case 0x4: w = p->dbgmcu_cr; break;
    case 0x8: w = p->dbgmcu_apb1_fz; break;
    case 0xC: w = p->dbgmcu_apb2_fz; break;
    default: break;
    }
    *value = extract(w, offset, size);
    return true;
}

bool sim_dbgmcu_write(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t value) {
    if (!access_ok(offset, size, SIM_DBGMCU_SIZE)) return false;
    const uint32_t lanes = lanes_of(offset, size);
    const uint32_t v = (value << (8 * (offset & 3u))) & lanes;
    auto upd = [&](uint32_t* r, uint32_t mask) { *r = (*r & ~(lanes & mask)) | (v & mask); };
    switch (offset & ~3u) {
    case 0x4: upd(&p->dbgmcu_cr, DBGMCU_CR_MASK); break;
    case 0x8: upd(&p->dbgmcu_apb1_fz, DBGMCU_APB1_MASK); break;
    case 0xC: upd(&p->dbgmcu_apb2_fz, DBGMCU_APB2_MASK); break;
    default: break; // IDCODE is read-only
    }
    return true;
}

SimMemPort sim_dbgmcu_port(SimStm32Periph* p) { return SimMemPort{p, dbg_r, dbg_w}; }

bool sim_sysinfo_read(SimStm32Periph* p, uint32_t offset, unsigned size, uint32_t* value) {
    if (!access_ok(offset, size, SIM_SYSINFO_SIZE)) return false;
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) {
        const uint32_t o = offset + i;
        uint8_t b = 0xFF; // 0x1FFF7A1C-0x1FFF7A21: unprogrammed system memory
        if (o < 12) b = p->uid[o];
        else if (o == 0x12) b = static_cast<uint8_t>(p->flash_kb & 0xFF);
        else if (o == 0x13) b = static_cast<uint8_t>(p->flash_kb >> 8);
        v |= uint32_t(b) << (8 * i);
    }
    *value = v;
    return true;
}

bool sim_sysinfo_write(SimStm32Periph*, uint32_t, unsigned, uint32_t) { return false; }

SimMemPort sim_sysinfo_port(SimStm32Periph* p) { return SimMemPort{p, sys_r, sys_w}; }
