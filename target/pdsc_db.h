// The pack database: a device's .pdsc found in the folder "packs" beside the
// settings file, read into a device record, and what it said remembered in a
// cache section of the settings file ("pdsc_cache.<device>"), valid while the
// .pdsc keeps its modification time. Probe thread; the cache is written
// through the settings layer's atomic save and its one lock.
#pragma once

#include <cstddef>

#include "target/mcu_id.h"
#include "target/pdsc.h"

// The settings file that holds the cache; its folder's "packs/" is searched.
// A null or empty path changes nothing.
void pdsc_db_init(const char* ini_path);
// Takes packs from `dir` instead of the settings file's folder (a later
// pdsc_db_init goes back to that); null or empty changes nothing.
void pdsc_db_set_packs_dir(const char* dir);
// The packs folder, ending in '/'; "" before pdsc_db_init.
const char* pdsc_db_packs_dir();
// The same folder without its closing '/', as a folder walk takes it; false
// before pdsc_db_init or when it does not fit.
bool pdsc_db_packs_folder(char* out, size_t cap);
// The .pdsc that describes the device: the vendor's usual file names first,
// then any .pdsc in the packs folder that lists it. False (out "") when none.
bool pdsc_db_find(const char* device_name, char* out_path, size_t cap);
// Fills the record (and the device, when given: then the .pdsc is always
// read) for the device. The record's strings point into static storage of
// this module, valid until the next lookup. False when there is no settings
// path, no .pdsc or the .pdsc could not be read (the device's parse_error says why).
bool pdsc_db_lookup(const char* device_name, McuRecord* out_record, PdscDevice* out_device);
// Marks the device's cache entry stale.
void pdsc_db_invalidate(const char* device_name);
