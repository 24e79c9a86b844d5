// Demo mode: the simulated CMSIS-DAP probe and STM32F405-like board, running
// the demo firmware in real time, in place of a USB probe. The settings point
// at the demo's ELF, SVD, image and sources for this run only.
#pragma once

#include <cstddef>

// False, with the reason in `err`, when the simulator cannot be set up.
bool demo_start(bool v1_probe, char* err, size_t err_size);
// Only once nothing uses the probe any more (the probe thread has stopped).
void demo_stop();
bool demo_active();
