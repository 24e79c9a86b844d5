// DWARF attribute form codes, shared by the line-table and .debug_info readers.
#pragma once

#include <cstdint>

enum : uint16_t {
    FORM_addr = 0x01, FORM_block2 = 0x03, FORM_block4 = 0x04, FORM_data2 = 0x05, FORM_data4 = 0x06,
    FORM_data8 = 0x07, FORM_string = 0x08, FORM_block = 0x09, FORM_block1 = 0x0A, FORM_data1 = 0x0B,
    FORM_flag = 0x0C, FORM_sdata = 0x0D, FORM_strp = 0x0E, FORM_udata = 0x0F, FORM_ref_addr = 0x10,
    FORM_ref1 = 0x11, FORM_ref2 = 0x12, FORM_ref4 = 0x13, FORM_ref8 = 0x14, FORM_ref_udata = 0x15,
    FORM_indirect = 0x16, FORM_sec_offset = 0x17, FORM_exprloc = 0x18, FORM_flag_present = 0x19,
    FORM_strx = 0x1A, FORM_addrx = 0x1B, FORM_ref_sup4 = 0x1C, FORM_strp_sup = 0x1D, FORM_data16 = 0x1E,
    FORM_line_strp = 0x1F, FORM_ref_sig8 = 0x20, FORM_implicit_const = 0x21, FORM_loclistx = 0x22,
    FORM_rnglistx = 0x23, FORM_ref_sup8 = 0x24, FORM_strx1 = 0x25, FORM_strx2 = 0x26, FORM_strx3 = 0x27,
    FORM_strx4 = 0x28, FORM_addrx1 = 0x29, FORM_addrx2 = 0x2A, FORM_addrx3 = 0x2B, FORM_addrx4 = 0x2C,
    FORM_GNU_addr_index = 0x1F01, FORM_GNU_str_index = 0x1F02, FORM_GNU_ref_alt = 0x1F20,
    FORM_GNU_strp_alt = 0x1F21,
};
