// Bringing a Cortex-M target under debug over SWD, and controlling its core.
#include <cstdio>

#include "platform/clock.h"
#include "probe/dap_priv.h"
#include "platform/log_store.h"

static const uint8_t s_seq_line_reset[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07};
static const uint8_t s_seq_jtag_to_swd[] = {0x9E, 0xE7};
static const uint8_t s_seq_alert[] = {0xFF, 0x92, 0xF3, 0x09, 0x62, 0x95, 0x2D, 0x85, 0x86,
                                      0xE9, 0xAF, 0xDD, 0xE3, 0xA2, 0x0E, 0xBC, 0x19};
static const uint8_t s_seq_act_swd[] = {0xA0, 0x01};
static const uint8_t s_seq_idle8[] = {0x00};
static const uint8_t s_seq_idle2[] = {0x00};

static const uint32_t kDbgKey = 0xA05F0000;
static const uint32_t kSwdBoostHz = 4000000;


static bool seq(DapContext* ctx, int bits, const uint8_t* data, int bytes) {
    return dap_cmd_swj_sequence(ctx, (uint8_t)(bits == 256 ? 0 : bits), data, bytes);
}

static bool swj_legacy(DapContext* ctx) {
    return seq(ctx, 51, s_seq_line_reset, 7) && seq(ctx, 16, s_seq_jtag_to_swd, 2) && seq(ctx, 51, s_seq_line_reset, 7) &&
           seq(ctx, 8, s_seq_idle8, 1);
}

static bool swj_dormant(DapContext* ctx) {
    return seq(ctx, 136, s_seq_alert, 17) && seq(ctx, 12, s_seq_act_swd, 2) && seq(ctx, 51, s_seq_line_reset, 7) &&
           seq(ctx, 2, s_seq_idle2, 1);
}

static uint32_t read_or_zero(DapContext* ctx, uint32_t addr) {
    uint32_t v = 0;
    if (!dap_read_mem32(ctx, addr, &v)) v = 0;
    return v;
}

bool dap_read_dhcsr(DapContext* ctx, uint32_t* dhcsr) { return dap_read_mem32(ctx, DAP_DHCSR, dhcsr); }

bool dap_connect(DapContext* ctx, uint32_t swd_freq_hz, bool halt_on_connect) {
    // Whatever the breakpoint unit held belongs to an earlier session.
    dap_invalidate_fpb_state();
    if (!ctx || !ctx->open) return false;
    ctx->disconnected = false;
    uint16_t psize;
    // Batches are sized from what the probe says it takes.
    ctx->packet_size = dap_cmd_info_packet_size(ctx, &psize) ? psize : 64;
    if (!ctx->is_v2 && ctx->packet_size > 64) ctx->packet_size = 64;
    uint8_t pcount = 1;
    ctx->packet_count = dap_cmd_info_packet_count(ctx, &pcount) ? pcount : 1;

    if (!dap_cmd_swj_clock(ctx, swd_freq_hz)) {
        log_add_line(&logv, "[DAP] FAIL: SWJ_Clock (pre-connect)");
        return false;
    }
    log_addf(&logv, "[DAP] OK: SWJ_Clock %u Hz", swd_freq_hz);
    if (!dap_cmd_connect(ctx)) {
        log_add_line(&logv, "[DAP] FAIL: DAP_Connect(SWD)");
        return false;
    }
    log_add_line(&logv, "[DAP] OK: DAP_Connect(SWD)");
    dap_cmd_swj_clock(ctx, swd_freq_hz);
    if (!dap_cmd_transfer_configure(ctx)) {
        log_add_line(&logv, "[DAP] FAIL: Transfer_Configure");
        return false;
    }
    if (!dap_cmd_swd_configure(ctx, 0)) {
        log_add_line(&logv, "[DAP] FAIL: SWD_Configure");
        return false;
    }
    log_add_line(&logv, "[DAP] OK: SWD_Configure + Transfer_Configure");
    seq(ctx, 8, s_seq_idle8, 1);

    uint32_t dpidr = 0;
    bool have_id = false;
    for (int attempt = 0; attempt < 4 && !have_id; ++attempt) {
        bool ok = attempt < 2 ? swj_legacy(ctx) : swj_dormant(ctx);
        if (!ok) {
            log_add_line(&logv, "[DAP] SWJ sequence failed, retrying");
            continue;
        }
        uint8_t pins = 0;
        dap_swj_pins(ctx, 0, 0, 0, &pins);
        log_addf(&logv, "[DAP] SWJ pins after sequence: 0x%02X (SWDCLK=%d SWDIO=%d nRESET=%d)", pins, pins & 1,
                 (pins >> 1) & 1, (pins >> 7) & 1);
        for (int r = 0; r < 3; ++r) {
            uint32_t v = 0;
            if (dp_read(ctx, 0x00, &v) && v != 0 && v != 0xFFFFFFFF) {
                dpidr = v;
                have_id = true;
                break;
            }
            dpidr = v;
            log_addf(&logv, "[DAP] DPIDR attempt %d failed: val=0x%08X pkt_in[1..4]=%02X %02X %02X %02X", r, v,
                     ctx->pkt_in[1], ctx->pkt_in[2], ctx->pkt_in[3], ctx->pkt_in[4]);
            dp_write(ctx, 0x00, DAP_ABORT_ALL);
            plat_sleep_ms(5);
        }
        if (have_id) {
            dp_write(ctx, 0x00, DAP_ABORT_ALL);
            dp_write(ctx, 0x08, 0);
            ap_cache_invalidate(ctx);
            uint32_t boosted = swd_freq_hz > kSwdBoostHz ? swd_freq_hz : kSwdBoostHz;
            if (boosted != swd_freq_hz && dap_cmd_swj_clock(ctx, boosted))
                log_addf(&logv, "[DAP] OK: SWJ_Clock boosted to %u Hz", boosted);
        }
    }
    if (!have_id) {
        log_addf(&logv, "[DAP] FAIL: DPIDR read after all attempts (last=0x%08X)", dpidr);
        return false;
    }
    log_addf(&logv, "[DAP] OK: DPIDR=0x%08X", dpidr);

    if (!dp_write(ctx, 0x04, 0x50000000)) return false;
    uint32_t ctrl = 0;
    bool acked = false;
    for (int i = 0; i < 100; ++i) {
        if (!dp_read(ctx, 0x04, &ctrl)) return false;
        if ((ctrl & 0xA0000000) == 0xA0000000) {
            acked = true;
            break;
        }
        plat_sleep_ms(10);
    }
    if (!acked) {
        log_addf(&logv, "[DAP] FAIL: power-up ack timeout (CTRL=0x%08X)", ctrl);
        return false;
    }
    plat_sleep_ms(10);

    DapXfer idr_x[3] = {{DAP_REQ_DP_SELECT_W, 0x000000F0}, {dap_ap_req(0x0C, true), 0}, {DAP_REQ_DP_RDBUFF_R, 0}};
    uint32_t idr_v[3] = {};
    dap_transfer_n(ctx, idr_x, 3, idr_v);
    DapXfer cfg_x[2] = {{dap_ap_req(0x04, true), 0}, {DAP_REQ_DP_RDBUFF_R, 0}};
    uint32_t cfg_v[2] = {};
    dap_transfer_n(ctx, cfg_x, 2, cfg_v);
    dp_write(ctx, 0x08, 0);
    ap_cache_invalidate(ctx);
    log_addf(&logv, "[DAP] OK: AP IDR=0x%08X CFG=0x%08X", idr_v[2], cfg_v[1]);
    if (cfg_v[1] & 4) ap_write(ctx, 0x08, 0);

    if (debug_mailbox_enable(ctx)) {
        log_add_line(&logv, "[DAP] OK: NXP MCX Debug Mailbox enabled");
        ctx->mcu.has_debug_mailbox = true;
    }

    uint32_t csw = 0;
    if (!ap_read(ctx, 0x00, &csw)) {
        log_add_line(&logv, "[DAP] FAIL: AP CSW read");
        return false;
    }
    dap_set_csw_base(csw);
    uint32_t want = (csw & ~0x3Fu) | DAP_CSW_WORD;
    if (!ap_write(ctx, 0x00, want)) {
        log_add_line(&logv, "[DAP] FAIL: AP CSW write");
        return false;
    }
    ctx->cur_csw = want;
    ctx->csw_valid = true;
    log_add_line(&logv, "[DAP] OK: AP CSW");

    // C_DEBUGEN alone would let a core that an earlier session left halted run
    // on: connecting does not change whether the target runs.
    const bool was_halted = (read_or_zero(ctx, DAP_DHCSR) & DAP_DHCSR_S_HALT) != 0;
    if (!dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | (halt_on_connect || was_halted ? 3u : 1u))) {
        if (ctx->mcu.has_debug_mailbox) {
            log_add_line(&logv, "[DAP] WARN: DHCSR C_DEBUGEN write failed (MCX: ROM still running, use Reset+Continue)");
        } else {
            log_add_line(&logv, "[DAP] FAIL: DHCSR C_DEBUGEN write");
            return false;
        }
    }
    dap_write_mem32(ctx, DAP_DEMCR, read_or_zero(ctx, DAP_DEMCR) | DAP_DEMCR_TRCENA);
    dap_write_mem32(ctx, DAP_DWT_CTRL, read_or_zero(ctx, DAP_DWT_CTRL) | 1u);
    log_add_line(&logv, "[DAP] OK: DEMCR.TRCENA + DWT_CTRL.CYCCNTENA set — DWT_PCSR enabled");
    log_add_line(&logv, "[DAP] OK: dap_connect complete");
    return true;
}

bool debug_mailbox_enable(DapContext* ctx) {
    DapXfer x[3] = {{DAP_REQ_DP_SELECT_W, 0x010000F0}, {dap_ap_req(0x0C, true), 0}, {DAP_REQ_DP_RDBUFF_R, 0}};
    uint32_t v[3] = {};
    dap_transfer_n(ctx, x, 3, v);
    ap_cache_invalidate(ctx);
    dp_write(ctx, 0x08, 0);
    ap_cache_invalidate(ctx);
    log_addf(&logv, "[DAP] debug_mailbox: AP1_IDR=0x%08X", v[2]);
    if (v[2] != 0x002A0000) return false;
    dp_write(ctx, 0x04, 0x50000F00);
    dp_write(ctx, 0x00, DAP_ABORT_ALL);
    dp_write(ctx, 0x08, 0x01000000);
    ap_cache_invalidate(ctx);
    // The selection is AP 1 bank 0 now; the AP helpers follow the cache.
    ctx->cur_apsel = 1;
    ctx->cur_apbank = 0;
    uint32_t discard;
    ap_write(ctx, 0x00, 0x21);
    plat_sleep_ms(30);
    ap_read(ctx, 0x00, &discard);
    ap_write(ctx, 0x04, 7);
    plat_sleep_ms(30);
    ap_read(ctx, 0x08, &discard);
    dp_write(ctx, 0x08, 0);
    ap_cache_invalidate(ctx);
    return true;
}

void dap_disconnect(DapContext* ctx) {
    if (!ctx || !ctx->open) return;
    dap_write_mem32(ctx, DAP_DHCSR, kDbgKey);
    dap_cmd_disconnect(ctx);
    ap_cache_invalidate(ctx);
}

static bool poll_halt(DapContext* ctx, int polls, uint32_t sleep_ms) {
    for (int i = 0; i < polls; ++i) {
        uint32_t d;
        if (!dap_read_dhcsr(ctx, &d)) return false;
        if (d & DAP_DHCSR_S_HALT) return true;
        plat_sleep_ms(sleep_ms);
    }
    return false;
}

bool dap_halt(DapContext* ctx) {
    if (!ctx || !ctx->open) return false;
    if (!dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 3u)) return false;
    return poll_halt(ctx, 100, 5);
}

bool dap_resume(DapContext* ctx) {
    if (!ctx || !ctx->open) return false;
    return dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 1u);
}

bool dap_step(DapContext* ctx) {
    if (!ctx || !ctx->open) return false;
    if (!dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 0xFu)) return false;
    if (!dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 0xDu)) return false;
    if (!poll_halt(ctx, 500, 1)) return false;
    return dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 3u);
}

DapState dap_get_state(DapContext* ctx) {
    uint32_t d;
    if (!ctx || !ctx->open || !dap_read_dhcsr(ctx, &d)) return DAP_STATE_UNKNOWN;
    if (d & DAP_DHCSR_S_LOCKUP) return DAP_STATE_LOCKUP;
    if (d & DAP_DHCSR_S_HALT) return DAP_STATE_HALTED;
    return DAP_STATE_RUNNING;
}

// The chip may reset before the AIRCR write is acknowledged; then the write
// reports failure although the reset happened. S_RESET_ST (cleared by the
// read made just before) or a halt tells.
static bool write_aircr_reset(DapContext* ctx) {
    uint32_t d;
    dap_read_dhcsr(ctx, &d);  // clears a stale S_RESET_ST
    if (dap_write_mem32(ctx, DAP_AIRCR, 0x05FA0004)) return true;
    dp_write(ctx, 0x00, DAP_ABORT_ALL);
    ap_cache_invalidate(ctx);
    for (int i = 0; i < 5; ++i) {
        plat_sleep_ms(10);
        if (dap_read_dhcsr(ctx, &d) && (d & (DAP_DHCSR_S_RESET_ST | DAP_DHCSR_S_HALT))) return true;
    }
    return false;
}

bool dap_reset(DapContext* ctx) {
    if (!ctx || !ctx->open) return false;
    dap_write_mem32(ctx, DAP_DEMCR, read_or_zero(ctx, DAP_DEMCR) & ~DAP_DEMCR_VC_CORERESET);
    if (!write_aircr_reset(ctx)) return false;
    plat_sleep_ms(50);
    dap_invalidate_fpb_state();
    return true;
}

bool dap_reset_halt(DapContext* ctx) {
    if (!ctx || !ctx->open) return false;
    dap_write_mem32(ctx, DAP_DHCSR, kDbgKey | 1u);
    // Without the vector catch the core would run on past the reset vector.
    uint32_t demcr = read_or_zero(ctx, DAP_DEMCR);
    dap_write_mem32(ctx, DAP_DEMCR, demcr | DAP_DEMCR_VC_CORERESET);
    // DFSR is sticky and survives the reset: clear it so only this reset's vector catch counts.
    dap_write_mem32(ctx, DAP_DFSR, 0x1F);
    if (!write_aircr_reset(ctx)) {
        log_add_line(&logv, "[DAP] reset_halt: AIRCR write failed");
        dap_write_mem32(ctx, DAP_DEMCR, demcr & ~DAP_DEMCR_VC_CORERESET);
        return false;
    }
    log_add_line(&logv, "[DAP] reset_halt: reset triggered, waiting for ROM handshake...");
    plat_sleep_ms(100);
    uint32_t last = 0;
    for (int i = 0; i < 50; ++i) {
        uint32_t d = 0;
        bool ok = dap_read_dhcsr(ctx, &d);
        log_addf(&logv, "[DAP] reset_halt: poll[%d] read=%s DHCSR=0x%08X S_HALT=%d", i, ok ? "OK" : "FAIL", d,
                 (d & DAP_DHCSR_S_HALT) ? 1 : 0);
        if (ok) last = d;
        if (ok && (d & DAP_DHCSR_S_HALT)) break;
        plat_sleep_ms(10);
    }
    dap_write_mem32(ctx, DAP_DEMCR, read_or_zero(ctx, DAP_DEMCR) & ~DAP_DEMCR_VC_CORERESET);
    dap_invalidate_fpb_state();
    if (!(last & DAP_DHCSR_S_HALT)) return false;
    // Breakpoints survive a reset: a core that ran past the vector catch can halt
    // on one in early code, which is not the halt at the reset vector.
    uint32_t dfsr = 0;
    if (!dap_read_mem32(ctx, DAP_DFSR, &dfsr) || !(dfsr & DAP_DFSR_VCATCH)) {
        log_addf(&logv, "[DAP] reset_halt: halted, but not by the reset vector catch (DFSR=0x%08X)", dfsr);
        return false;
    }
    return true;
}
