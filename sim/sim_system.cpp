#include "sim/sim_system.h"

#include <cstdio>
#include <new>

struct SimSystem {
    SimBoard* board = nullptr;
    SimProbe probe{};
};

// The probe's work costs time; the board's core runs for exactly that long.
static void board_advance(void* ctx, uint64_t ns) { sim_board_run(static_cast<SimBoard*>(ctx), ns); }
static uint64_t board_now(void* ctx) { return sim_board_now_ns(static_cast<SimBoard*>(ctx)); }

void sim_system_default_config(SimSystemConfig* c) {
    c->usb_kind = SimUsbKind::V2Bulk512;
    c->board = sim_board_profile_stm32f405();
    c->firmware_elf = nullptr;
}

SimSystem* sim_system_create(const SimSystemConfig* c, char* err, size_t err_size) {
    if (err && err_size) err[0] = 0;
    if (!c) return nullptr;
    SimSystem* s = new (std::nothrow) SimSystem;
    if (!s) return nullptr;
    s->board = sim_board_create(c->board);
    if (!s->board) {
        if (err) snprintf(err, err_size, "board profile '%s' cannot be simulated", c->board.name ? c->board.name : "?");
        delete s;
        return nullptr;
    }
    if (c->firmware_elf) {
        char why[200] = "";
        if (!sim_board_load_elf_file(s->board, c->firmware_elf, why, sizeof why)) {
            if (err) snprintf(err, err_size, "firmware %s: %s", c->firmware_elf, why);
            sim_system_destroy(s);
            return nullptr;
        }
        sim_board_power_on_reset(s->board);
    }
    SimProbeConfig pc;
    sim_probe_default_config(&pc, c->usb_kind);
    pc.bus = sim_board_debug_port(s->board);
    pc.lines = sim_board_lines(s->board);
    pc.ticker = SimTicker{s->board, board_advance, board_now};
    if (!sim_probe_init(&s->probe, &pc)) {
        if (err) snprintf(err, err_size, "probe configuration refused");
        sim_system_destroy(s);
        return nullptr;
    }
    return s;
}

void sim_system_destroy(SimSystem* s) {
    if (!s) return;
    sim_board_destroy(s->board);
    delete s;
}

SimBoard* sim_system_board(SimSystem* s) { return s ? s->board : nullptr; }
SimProbe* sim_system_probe(SimSystem* s) { return s ? &s->probe : nullptr; }
SimUsbDev* sim_system_usb(SimSystem* s) { return s ? &s->probe.usb : nullptr; }
