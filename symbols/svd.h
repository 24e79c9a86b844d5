// A CMSIS-SVD register description flattened into peripherals, registers
// (clusters and dim arrays expanded, absolute addresses) and bit fields.
#pragma once

#include <cstdint>

struct SvdField {
    char name[64];
    uint8_t bit_offset;
    uint8_t bit_width;
};

struct SvdRegister {
    char name[64];  // cluster registers: "<instance>_<register>"
    uint32_t address;
    uint32_t reset_value;
    SvdField* fields;  // owned, may be null
    uint32_t field_count;
};

struct SvdPeripheral {
    char name[64];
    uint32_t base_address;
    uint8_t source;  // 0 vendor file, 1 taken from or updated by the core file
    SvdRegister* regs;  // owned
    uint32_t reg_count;
};

struct SvdDevice {
    SvdPeripheral* periphs;  // owned
    uint32_t periph_count;
    uint32_t periph_cap;
};

struct SvdLocation {
    char periph[64];
    char reg[64];
    char full[64 + 2 + 64];  // "periph->reg": room for both names whole and the NUL
    uint32_t address;
    uint32_t reset_value;
};

struct SvdFieldValue {
    char field[64];
    uint8_t msb;
    uint8_t lsb;
    uint32_t value;
};

SvdDevice* svd_load(const char* path);
// Parses a document held in memory (the file loader's second half).
SvdDevice* svd_load_buffer(const char* data, uint32_t size);
const char* svd_error();
// Test hook: after `n` more successful allocations the reader's next one fails
// (once); a negative `n` turns it off.
void svd_fail_alloc_after(long n);
void svd_free(SvdDevice* dev);
bool svd_merge(SvdDevice* vendor, const SvdDevice* arm);
bool svd_lookup(const SvdDevice* dev, uint32_t addr, SvdLocation* out);
int svd_decode_fields(const SvdDevice* dev, uint32_t addr, uint32_t reg_value, SvdFieldValue* out, int out_count);

int svd_peripheral_count(const SvdDevice* dev);
SvdPeripheral* svd_get_peripheral(const SvdDevice* dev, int i);
int svd_register_count(const SvdPeripheral* p);
SvdRegister* svd_get_register(const SvdPeripheral* p, int i);
int svd_field_count(const SvdRegister* r);
SvdField* svd_get_field(const SvdRegister* r, int i);
