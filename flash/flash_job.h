// Flash jobs: the user's BIN or Intel HEX file turned into one image with a
// base address and programmed by the route that fits the identified chip.
// The jobs run on the probe thread; the UI only sets parameters and posts.
#pragma once

#include <cstdint>

enum : uint32_t { HEX_MAX_SPAN = 64u * 1024 * 1024 };

// Intel HEX to one contiguous image (gaps 0xFF). Null, with the reason and
// line number in the log, for a malformed record, a bad checksum, no data or
// a span over HEX_MAX_SPAN. Caller frees with free().
uint8_t* hex_to_bin(const char* path, uint32_t* out_base_addr, uint32_t* out_size);
// A whole BIN file; null (logged) when it cannot be read or is empty.
uint8_t* bin_read_file(const char* path, uint32_t* out_size);

void probe_set_flash_params(const char* bin_path, uint32_t base, const char* device_name);
// Where the flash job looks for .pdsc files (default: "packs" beside the executable).
void flash_set_pack_dir(const char* dir);
// The external LinkServer flasher: a path overriding the candidates, and the
// wait before it is stopped (30 s by default).
void flash_set_linkserver(const char* path, uint32_t timeout_ms);

// How an identified STM32 is programmed: auto takes the chip's own flash
// controller when the image lies in its main flash, the pack's algorithm
// otherwise (option bytes, OTP, external memories); the others force one.
enum FlashRoute { FLASH_ROUTE_AUTO, FLASH_ROUTE_NATIVE, FLASH_ROUTE_PACK };
void flash_set_route(FlashRoute r);
FlashRoute flash_route();
// "auto", "native", "pack"; false (route unchanged) for anything else.
bool flash_route_parse(const char* text, FlashRoute* out);
const char* flash_route_name(FlashRoute r);

void handle_flash();
struct TargetAlgo;
// The image (malloc'd; owned here from now on) and algorithm for the
// target-algorithm job; a second call frees an image not yet programmed.
void probe_set_algo_flash_params(uint8_t* image, uint32_t size, uint32_t base, TargetAlgo* algo);
void handle_flash_algo();
// Hooks the job into the probe thread.
void flash_install();
