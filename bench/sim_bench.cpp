// How fast the simulated board runs the demo firmware, and what a 64 KiB
// read costs through the simulated probe (exchanges, bytes, modelled time).
#include <chrono>
#include <cstdio>
#include <string>

#include "sim/sim_system.h"

int main() {
    std::string elf = std::string(KORVANE_DEMO_FW_DIR) + "/demo_O2_dwarf4.elf";
    SimSystemConfig c;
    sim_system_default_config(&c);
    c.firmware_elf = elf.c_str();
    char err[256];
    SimSystem* s = sim_system_create(&c, err, sizeof err);
    if (!s) {
        fprintf(stderr, "sim_bench: %s\n", err);
        return 1;
    }
    SimBoard* b = sim_system_board(s);
    uint64_t i0 = sim_board_instr_count(b);
    auto t0 = std::chrono::steady_clock::now();
    sim_board_run(b, 1'000'000'000);  // one second of target time
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    uint64_t instr = sim_board_instr_count(b) - i0;
    printf("1 s of target time at 16 MHz: %llu instructions in %.3f s wall = %.1f M instructions/s (%.2fx real time)\n",
           (unsigned long long)instr, wall, instr / wall / 1e6, 1.0 / wall);
    sim_system_destroy(s);
    return 0;
}
