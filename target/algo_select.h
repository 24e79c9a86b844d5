// Which target INI describes the connected chip: candidates beside the
// executable, named after the device, its family and the known files, the
// first whose identity matches the chip's device id. Probe thread only,
// except g_target_algo_valid, which the UI reads.
#pragma once

#include <atomic>
#include <cstdint>

#include "target/target_algo.h"

struct McuInfo;

extern TargetAlgo g_target_algo;
extern std::atomic<bool> g_target_algo_valid;

enum : int { ALGO_MAX_CANDIDATES = 12 };

// Where the candidates are looked for, with its trailing '/' ("" = the
// executable's folder).
void target_algo_set_dir(const char* dir);
// A file tried before all others (the settings' target_ini; "" = none).
void target_algo_set_preferred(const char* path);
// The candidate paths for this chip, in the order they are tried.
int target_algo_candidates(const McuInfo* info, char (*out)[ALGO_PATH_LEN], int cap);
// Tries the candidates; the first that loads and matches `device_id`
// replaces g_target_algo. None: the one loaded before stays. True when one
// was accepted now.
bool target_algo_select(const McuInfo* info, uint32_t device_id);
// Identity rule: identify_reg and identify_mask both set must match the
// device id under the mask (ST: its low 12 bits); otherwise any device.
bool target_algo_matches(const TargetAlgo* algo, uint32_t device_id, bool st);
