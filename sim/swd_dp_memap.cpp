#include "sim/swd_dp_memap.h"

void sim_memap_default_config(SimMemApConfig* c) {
    c->idr = 0x24770011u;
    c->base = 0xE00FF003u;
    c->csw_reset = 0x23000040u;
    c->packed = true;
}

void sim_memap_init(SimMemAp* ap, const SimMemApConfig* c, SimMemPort bus) {
    ap->cfg = *c;
    ap->bus = bus;
    sim_memap_reset(ap);
}

void sim_memap_reset(SimMemAp* ap) {
    ap->csw = ap->cfg.csw_reset;
    ap->tar = 0;
}

static unsigned size_bytes(uint32_t csw) {
    switch (csw & SIM_CSW_SIZE_MASK) {
    case SIM_CSW_SIZE8: return 1;
    case SIM_CSW_SIZE16: return 2;
    default: return 4;
    }
}

// Only TAR[9:0] counts: auto-increment is guaranteed within a 1 KB block and
// real AHB-APs wrap there rather than carry into TAR[31:10].
static void tar_advance(SimMemAp* ap, unsigned by) {
    ap->tar = (ap->tar & ~0x3FFu) | ((ap->tar + by) & 0x3FFu);
}

// One bus item at addr. The bus address is aligned down to the size (an
// AHB-AP drives aligned transfers; unaligned TAR bits only pick the byte
// lane), and the data sits on the DRW lanes of that address.
static bool item_read(SimMemAp* ap, uint32_t addr, unsigned size, uint32_t* lanes) {
    uint32_t a = addr & ~(uint32_t)(size - 1);
    uint32_t v = 0;
    if (!ap->bus.read || !ap->bus.read(ap->bus.ctx, a, size, &v)) return false;
    if (size == 4) {
        *lanes = v;
    } else {
        uint32_t mask = size == 1 ? 0xFFu : 0xFFFFu;
        *lanes = (v & mask) << (8 * (a & 3));
    }
    return true;
}

static bool item_write(SimMemAp* ap, uint32_t addr, unsigned size, uint32_t lanes) {
    uint32_t a = addr & ~(uint32_t)(size - 1);
    uint32_t v = lanes;
    if (size != 4) v = (lanes >> (8 * (a & 3))) & (size == 1 ? 0xFFu : 0xFFFFu);
    return ap->bus.write && ap->bus.write(ap->bus.ctx, a, size, v);
}

static bool packed_mode(const SimMemAp* ap, unsigned size) {
    return size < 4 && ap->cfg.packed && (ap->csw & SIM_CSW_ADDRINC_MASK) == SIM_CSW_ADDRINC_PACKED;
}

static bool drw_read(SimMemAp* ap, uint32_t* value) {
    unsigned size = size_bytes(ap->csw);
    if (packed_mode(ap, size)) {
        // Packed: 32/size items from successive addresses, each on its own lane.
        uint32_t acc = 0;
        for (unsigned i = 0; i < 4 / size; ++i) {
            uint32_t lanes = 0;
            if (!item_read(ap, ap->tar, size, &lanes)) {
                *value = acc;
                return false;
            }
            acc |= lanes;
            tar_advance(ap, size);
        }
        *value = acc;
        return true;
    }
    uint32_t lanes = 0;
    if (!item_read(ap, ap->tar, size, &lanes)) {
        *value = 0;
        return false;
    }
    *value = lanes;
    if ((ap->csw & SIM_CSW_ADDRINC_MASK) != SIM_CSW_ADDRINC_OFF) tar_advance(ap, size);
    return true;
}

static bool drw_write(SimMemAp* ap, uint32_t value) {
    unsigned size = size_bytes(ap->csw);
    if (packed_mode(ap, size)) {
        for (unsigned i = 0; i < 4 / size; ++i) {
            if (!item_write(ap, ap->tar, size, value)) return false;
            tar_advance(ap, size);
        }
        return true;
    }
    if (!item_write(ap, ap->tar, size, value)) return false;
    if ((ap->csw & SIM_CSW_ADDRINC_MASK) != SIM_CSW_ADDRINC_OFF) tar_advance(ap, size);
    return true;
}

// Banked data: always a word at TAR[31:4] + n*4, TAR unchanged.
static uint32_t bd_addr(const SimMemAp* ap, uint8_t reg) { return (ap->tar & ~0xFu) | (reg & 0xCu); }

bool sim_memap_read(SimMemAp* ap, uint8_t reg, uint32_t* value) {
    reg &= 0xFC;
    *value = 0;
    switch (reg) {
    case SIM_AP_CSW: *value = ap->csw; return true;
    case SIM_AP_TAR: *value = ap->tar; return true;
    case SIM_AP_DRW: return drw_read(ap, value);
    case SIM_AP_CFG: return true;  // little-endian, 32-bit addresses only
    case SIM_AP_BASE: *value = ap->cfg.base; return true;
    case SIM_AP_IDR: *value = ap->cfg.idr; return true;
    default: break;
    }
    if (reg >= SIM_AP_BD0 && reg < SIM_AP_BD0 + 16) return item_read(ap, bd_addr(ap, reg), 4, value);
    return true;  // reserved: reads as zero
}

bool sim_memap_write(SimMemAp* ap, uint8_t reg, uint32_t value) {
    reg &= 0xFC;
    switch (reg) {
    case SIM_AP_CSW: {
        // Writable: Prot/DbgSwEnable [31:24], AddrInc, Size. DeviceEn and
        // TrInProg are read-only. A reserved Size or AddrInc value is ignored
        // (the field keeps its old value) so reading CSW back shows what the
        // AP really does.
        uint32_t csw = (ap->csw & 0x00FFFFC8u) | (value & 0xFF000000u);
        uint32_t size = value & SIM_CSW_SIZE_MASK;
        csw |= size <= SIM_CSW_SIZE32 ? size : (ap->csw & SIM_CSW_SIZE_MASK);
        uint32_t inc = value & SIM_CSW_ADDRINC_MASK;
        bool inc_ok = inc == SIM_CSW_ADDRINC_OFF || inc == SIM_CSW_ADDRINC_SINGLE ||
                      (inc == SIM_CSW_ADDRINC_PACKED && ap->cfg.packed);
        csw |= inc_ok ? inc : (ap->csw & SIM_CSW_ADDRINC_MASK);
        ap->csw = csw;
        return true;
    }
    case SIM_AP_TAR: ap->tar = value; return true;
    case SIM_AP_DRW: return drw_write(ap, value);
    default: break;
    }
    if (reg >= SIM_AP_BD0 && reg < SIM_AP_BD0 + 16) return item_write(ap, bd_addr(ap, reg), 4, value);
    return true;  // read-only or reserved: write ignored
}

bool sim_memap_compare(SimMemAp* ap, uint32_t value, uint8_t lane_mask, bool* equal) {
    uint32_t got = 0;
    *equal = false;
    if (!drw_read(ap, &got)) return false;
    uint32_t m = 0;
    for (unsigned i = 0; i < 4; ++i)
        if (lane_mask & (1u << i)) m |= 0xFFu << (8 * i);
    *equal = (got & m) == (value & m);
    return true;
}
