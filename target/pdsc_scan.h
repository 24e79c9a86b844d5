// A packs folder's .pdsc files: the walk that visits them (flash algorithm
// search and identification alike), and the pack device an STM32 table name
// stands for.
#pragma once

#include <cstddef>
#include <cstdint>

// Calls visit(path, user) for every .pdsc below dir, in name order, until it
// returns true (then true). Links that lead back up the tree are not followed
// again; the depth and a folder's entries are bounded.
bool pdsc_scan_walk(const char* dir, bool (*visit)(const char* path, void* user), void* user);

// STM32 variant names list several parts ("STM32F405/415, F407/417"); a pack
// names each ordering code ("STM32F405RG"). Writes the first pack device whose
// name begins with one of the listed parts and whose default flash algorithm
// covers exactly [flash_base, flash_base + flash_size). False when none does.
bool pdsc_find_device_for_variant(const char* pack_dir, const char* variant_name, uint32_t flash_base,
                                  uint32_t flash_size, char* dname, int dname_len);
// The same, and the .pdsc that lists the device into `pdsc_path` (may be null).
bool pdsc_scan_variant(const char* pack_dir, const char* variant_name, uint32_t flash_base, uint32_t flash_size,
                       char* dname, int dname_len, char* pdsc_path, size_t path_cap);
