// Demo mode: the simulated CMSIS-DAP probe and STM32F405-like board, running
// the demo firmware in real time, in place of a USB probe. The settings point
// at the demo's ELF, SVD, image and sources for this run only.
#pragma once

#include <cstddef>

// Where the demo's files are: an installed program's data folder, or the
// build and source folders it was built in.
struct DemoPaths {
    char elf[260], bin[260], svd[260], src[260];
    char packs[260];  // "" when the packs beside the settings hold the demo pack
};
// The paths under `data_dir` (ends in '/'), or the build's when it is null or
// empty. False when a path does not fit.
bool demo_pick_paths(const char* data_dir, DemoPaths* out);
// The folder demo mode takes packs from instead of the settings folder's; ""
// when the settings folder's (the program runs from its build folder).
const char* demo_packs_dir();

// False, with the reason in `err`, when the simulator cannot be set up.
bool demo_start(bool v1_probe, char* err, size_t err_size);
// Only once nothing uses the probe any more (the probe thread has stopped).
void demo_stop();
bool demo_active();
