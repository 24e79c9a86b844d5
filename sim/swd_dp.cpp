#include "sim/swd_dp.h"

#include <cstring>

void sim_swd_default_config(SimSwdConfig* c) {
    c->dpidr = 0x2BA01477u;
    c->targetid = 0x00413041u;  // TPARTNO 0x413, TDESIGNER 0x020 (ST), as an STM32F4 would give
    c->dlpidr = 0x00000001u;
    sim_memap_default_config(&c->ap0);
    c->ap1_present = false;
    sim_memap_default_config(&c->ap1);
}

static unsigned dp_version(const SimSwd* s) { return (s->cfg.dpidr >> 12) & 0xF; }

bool sim_swd_init(SimSwd* s, const SimSwdConfig* c, SimMemPort bus, SimTargetLines lines) {
    std::memset(s, 0, sizeof *s);
    s->cfg = *c;
    s->lines = lines;
    sim_memap_init(&s->ap0, &c->ap0, bus);
    sim_memap_init(&s->ap1, &c->ap1, bus);
    s->line = SimSwdLine::Jtag;
    s->need_line_reset = true;
    return bus.read != nullptr && bus.write != nullptr;
}

void sim_swd_arm_faults(SimSwd* s, const SimSwdFaults* f) { sim_swd_arm_faults_from(s, f, 0); }

void sim_swd_arm_faults_from(SimSwd* s, const SimSwdFaults* f, uint32_t waits_from) {
    s->faults = *f;
    s->since_armed = 0;
    s->waits_from = waits_from;
    s->fault_pending = false;
}

SimSwdLine sim_swd_line(const SimSwd* s) { return s->line; }

// --- line level ------------------------------------------------------------

static void push_bit(SimSwd* s, unsigned bit) {
    s->hist[s->hist_total % 256] = (uint8_t)bit;
    s->hist_total++;
    s->ones_run = bit ? s->ones_run + 1 : 0;
}

// Bit k positions back from the newest (k = 0 is the newest).
static unsigned back(const SimSwd* s, unsigned k) { return s->hist[(s->hist_total - 1 - k) % 256]; }

// The newest nbits equal pattern (sent LSB of pattern[0] first).
static bool tail_is(const SimSwd* s, const uint8_t* pattern, unsigned nbits) {
    if (s->hist_total < nbits) return false;
    for (unsigned i = 0; i < nbits; ++i) {
        unsigned want = (pattern[i / 8] >> (i % 8)) & 1u;
        if (back(s, nbits - 1 - i) != want) return false;
    }
    return true;
}

// At least `want` ones directly before the newest `skip` bits.
static bool ones_before(const SimSwd* s, unsigned skip, unsigned want) {
    if (s->hist_total < skip + want) return false;
    for (unsigned k = 0; k < want; ++k)
        if (!back(s, skip + k)) return false;
    return true;
}

static const uint8_t kJtagToSwd[] = {0x9E, 0xE7};
static const uint8_t kSwdToJtag[] = {0x3C, 0xE7};
static const uint8_t kSwdToDormant[] = {0xBC, 0xE3};
static const uint8_t kJtagToDormant[] = {0xBA, 0xBB, 0xBB, 0x33};  // 31 bits
// Selection alert (128 bits), 4 low cycles, SWD activation code 0x1A.
static const uint8_t kWakeSwd[] = {0x92, 0xF3, 0x09, 0x62, 0x95, 0x2D, 0x85, 0x86, 0xE9,
                                   0xAF, 0xDD, 0xE3, 0xA2, 0x0E, 0xBC, 0x19, 0xA0, 0x01};

static void line_reset(SimSwd* s) {
    s->need_line_reset = false;
    s->need_dpidr = true;
    s->deselected = false;
}

static void step_line(SimSwd* s) {
    switch (s->line) {
    case SimSwdLine::Jtag:
        if (tail_is(s, kJtagToSwd, 16) && ones_before(s, 16, 50)) {
            s->line = SimSwdLine::Swd;
            s->need_line_reset = true;
        } else if (tail_is(s, kJtagToDormant, 31) && ones_before(s, 31, 5)) {
            s->line = SimSwdLine::Dormant;
        }
        break;
    case SimSwdLine::Swd:
        if (s->ones_run == 50) line_reset(s);
        if (tail_is(s, kSwdToDormant, 16) && ones_before(s, 16, 50)) {
            s->line = SimSwdLine::Dormant;
            s->need_line_reset = true;
        } else if (tail_is(s, kSwdToJtag, 16) && ones_before(s, 16, 50)) {
            s->line = SimSwdLine::Jtag;
            s->need_line_reset = true;
        }
        break;
    case SimSwdLine::Dormant:
        if (tail_is(s, kWakeSwd, 140) && ones_before(s, 140, 8)) {
            s->line = SimSwdLine::Swd;
            s->need_line_reset = true;
        }
        break;
    }
}

void sim_swd_sequence(SimSwd* s, const uint8_t* bits, unsigned nbits) {
    for (unsigned i = 0; i < nbits; ++i) {
        push_bit(s, (bits[i / 8] >> (i % 8)) & 1u);
        step_line(s);
    }
}

// --- registers -------------------------------------------------------------

static const uint32_t kSticky = SIM_DP_STICKYORUN | SIM_DP_STICKYCMP | SIM_DP_STICKYERR | SIM_DP_WDATAERR;

bool sim_swd_exempt(uint8_t request) {
    if (request & SIM_SWD_APNDP) return false;
    unsigned a = request & SIM_SWD_A_MASK;
    if (request & SIM_SWD_RNW) return a == 0x0 || a == 0x4;
    return a == 0x0;
}

static uint32_t ctrl_stat_value(const SimSwd* s) {
    uint32_t v = s->ctrl_stat;
    if (s->dbg_ack) v |= SIM_DP_CDBGPWRUPACK;
    if (s->sys_ack) v |= SIM_DP_CSYSPWRUPACK;
    if (v & SIM_DP_CDBGRSTREQ) v |= SIM_DP_CDBGRSTACK;
    return v;
}

static void write_ctrl_stat(SimSwd* s, uint32_t value) {
    // Over SWD the sticky flags are cleared through ABORT only; READOK is
    // read-only. Keep them, take the rest.
    const uint32_t writable = SIM_DP_ORUNDETECT | SIM_DP_TRNMODE_MASK | SIM_DP_MASKLANE_MASK |
                              SIM_DP_TRNCNT_MASK | SIM_DP_CDBGRSTREQ | SIM_DP_CDBGPWRUPREQ |
                              SIM_DP_CSYSPWRUPREQ;
    s->ctrl_stat = (s->ctrl_stat & (kSticky | SIM_DP_READOK)) | (value & writable);
    bool dreq = (value & SIM_DP_CDBGPWRUPREQ) != 0;
    bool sreq = (value & SIM_DP_CSYSPWRUPREQ) != 0;
    bool dack = dreq, sack = sreq;
    if (s->lines.power_request) s->lines.power_request(s->lines.ctx, dreq, sreq, &dack, &sack);
    s->dbg_ack = dack;
    s->sys_ack = sack;
}

static void write_abort(SimSwd* s, uint32_t value) {
    if (value & SIM_DP_DAPABORT) s->faults.wait_next = 0;  // the stalled AP access is abandoned
    if (value & SIM_DP_STKCMPCLR) s->ctrl_stat &= ~SIM_DP_STICKYCMP;
    if (value & SIM_DP_STKERRCLR) s->ctrl_stat &= ~SIM_DP_STICKYERR;
    if (value & SIM_DP_WDERRCLR) s->ctrl_stat &= ~SIM_DP_WDATAERR;
    if (value & SIM_DP_ORUNERRCLR) s->ctrl_stat &= ~SIM_DP_STICKYORUN;
}

static SimMemAp* selected_ap(SimSwd* s) {
    unsigned apsel = s->select >> 24;
    if (apsel == 0) return &s->ap0;
    if (apsel == 1 && s->cfg.ap1_present) return &s->ap1;
    return nullptr;  // no AP there: reads as zero, writes ignored
}

static uint8_t dp_read(SimSwd* s, unsigned a, uint32_t* data) {
    unsigned bank = dp_version(s) >= 1 ? (s->select & 0xF) : 0;
    switch (a) {
    case 0x0: *data = s->cfg.dpidr; break;
    case 0x4:
        if (dp_version(s) < 2 && bank > 1) bank = 0;  // DPv1 banks: CTRL/STAT and WCR only
        switch (bank) {
        case 0: *data = ctrl_stat_value(s); break;
        case 1: *data = s->dlcr; break;
        case 2: *data = dp_version(s) >= 2 ? s->cfg.targetid : 0; break;
        case 3: *data = dp_version(s) >= 2 ? s->cfg.dlpidr : 0; break;
        case 4: *data = 1; break;  // EVENTSTAT: no event
        default: *data = 0; break;
        }
        break;
    case 0x8: *data = s->resend; break;
    default:
        *data = s->rdbuff;
        s->resend = s->rdbuff;
        s->ctrl_stat |= SIM_DP_READOK;
        break;
    }
    return SIM_SWD_ACK_OK;
}

static uint8_t dp_write(SimSwd* s, unsigned a, uint32_t value) {
    unsigned bank = s->select & 0xF;
    switch (a) {
    case 0x0: write_abort(s, value); break;
    case 0x4:
        if (bank == 0 || dp_version(s) < 1) write_ctrl_stat(s, value);
        else if (bank == 1) s->dlcr = value & 0x300u;
        break;
    case 0x8: s->select = value; break;
    default: break;
    }
    return SIM_SWD_ACK_OK;
}

static uint8_t ap_access(SimSwd* s, uint8_t request, uint32_t* data) {
    if (!s->dbg_ack) {
        // The AP sits in the debug power domain; with it down nothing answers.
        s->ctrl_stat |= SIM_DP_STICKYERR;
        return SIM_SWD_ACK_FAULT;
    }
    SimMemAp* ap = selected_ap(s);
    uint8_t reg = (uint8_t)((s->select & 0xF0u) | (request & SIM_SWD_A_MASK));
    if (request & SIM_SWD_RNW) {
        uint32_t v = 0;
        // Posted: this answer carries the previous AP read; the new value
        // lands in RDBUFF. A bus error shows on the next transaction.
        if (ap && !sim_memap_read(ap, reg, &v)) s->ctrl_stat |= SIM_DP_STICKYERR;
        *data = s->rdbuff;
        s->resend = s->rdbuff;
        s->rdbuff = v;
        s->ctrl_stat |= SIM_DP_READOK;
        return SIM_SWD_ACK_OK;
    }
    if (!ap) return SIM_SWD_ACK_OK;
    unsigned mode = (s->ctrl_stat & SIM_DP_TRNMODE_MASK) >> 2;
    if (reg == SIM_AP_DRW && (mode == 1 || mode == 2)) {
        // Pushed verify (1) flags a difference, pushed compare (2) a match.
        uint8_t lanes = (uint8_t)((s->ctrl_stat & SIM_DP_MASKLANE_MASK) >> 8);
        bool equal = false;
        if (!sim_memap_compare(ap, *data, lanes, &equal)) s->ctrl_stat |= SIM_DP_STICKYERR;
        else if ((mode == 1) != equal) s->ctrl_stat |= SIM_DP_STICKYCMP;
        return SIM_SWD_ACK_OK;
    }
    if (!sim_memap_write(ap, reg, *data)) s->ctrl_stat |= SIM_DP_STICKYERR;
    return SIM_SWD_ACK_OK;
}

static uint8_t answered(SimSwd* s, uint8_t ack) {
    if ((ack == SIM_SWD_ACK_WAIT || ack == SIM_SWD_ACK_FAULT) && (s->ctrl_stat & SIM_DP_ORUNDETECT))
        s->ctrl_stat |= SIM_DP_STICKYORUN;
    return ack;
}

uint8_t sim_swd_transfer(SimSwd* s, uint8_t request, uint32_t* data) {
    push_bit(s, 0);  // a transaction ends any run of ones on the line
    s->since_armed++;
    if (s->line != SimSwdLine::Swd || s->need_line_reset || s->deselected) return SIM_SWD_ACK_NONE;

    bool is_read = (request & SIM_SWD_RNW) != 0;
    bool is_ap = (request & SIM_SWD_APNDP) != 0;
    unsigned a = request & SIM_SWD_A_MASK;
    if (!is_ap && !is_read && a == 0xC) {
        // TARGETSEL: never answered; a value naming another target deselects
        // this one until the next line reset.
        if (dp_version(s) >= 2 && s->need_dpidr) s->deselected = *data != s->cfg.targetid;
        return SIM_SWD_ACK_NONE;
    }
    if (s->need_dpidr) {
        if (is_ap || !is_read || a != 0x0) return SIM_SWD_ACK_NONE;
        s->need_dpidr = false;
    }
    if (s->faults.no_ack_at && s->since_armed == s->faults.no_ack_at) return SIM_SWD_ACK_NONE;

    bool exempt = sim_swd_exempt(request);
    if (s->faults.fault_at && s->since_armed == s->faults.fault_at) s->fault_pending = true;
    if (!exempt) {
        if (s->fault_pending) {
            s->fault_pending = false;
            s->ctrl_stat |= SIM_DP_STICKYERR;
            return answered(s, SIM_SWD_ACK_FAULT);
        }
        if (s->faults.wait_next && s->since_armed >= s->waits_from) {
            s->faults.wait_next--;
            return answered(s, SIM_SWD_ACK_WAIT);
        }
        if (s->ctrl_stat & kSticky) {
            if (is_read) s->ctrl_stat &= ~SIM_DP_READOK;
            return answered(s, SIM_SWD_ACK_FAULT);
        }
    }
    if (!is_read && s->faults.parity_error_at && s->since_armed == s->faults.parity_error_at) {
        // The ACK went out before the data: OK is answered, the write is
        // dropped and WDATAERR makes the loss visible.
        s->ctrl_stat |= SIM_DP_WDATAERR;
        return SIM_SWD_ACK_OK;
    }
    if (is_ap) return answered(s, ap_access(s, request, data));
    return is_read ? dp_read(s, a, data) : dp_write(s, a, *data);
}
