// Thumb and Thumb-2 instructions as the stepping engine and the disassembly
// view need them: length, class, direct branch target, IT block reach, and
// one line of text.
#pragma once

#include <cstddef>
#include <cstdint>

enum Thumb2Class : uint32_t {
    T2_CLASS_NORMAL = 0,
    T2_CLASS_BRANCH = 1,
    T2_CLASS_CBRANCH = 2,
    T2_CLASS_CALL = 4,
    T2_CLASS_RETURN = 8,
    T2_CLASS_WFI = 16,
    T2_CLASS_WFE = 32,
    T2_CLASS_BKPT = 64,
    T2_CLASS_UNDEF = 128,
    T2_CLASS_IT = 256,
    T2_CLASS_BARRIER = 512,
    T2_CLASS_SVCALL = 1024,
    T2_CLASS_SELF_LOOP = 2048,
};

// `code` holds at least 4 readable bytes.
int thumb2_insn_len(const uint8_t* code);
uint32_t thumb2_classify(uint32_t pc, const uint8_t* code);
uint32_t thumb2_branch_target(uint32_t pc, const uint8_t* code);

typedef bool (*Thumb2MemReadFn)(uint32_t addr, uint8_t* buf, uint32_t len, void* user);
int thumb2_it_block_len(uint32_t pc, const uint8_t* it_code, Thumb2MemReadFn mem_read, void* user);

typedef const char* (*Thumb2SymbolFn)(uint32_t pc, void* user);
// Text of one instruction into buf (null or zero-length buf: ""); *insn_len gets its size.
const char* thumb2_disasm(uint32_t pc, const uint8_t* code, char* buf, size_t buf_len, int* insn_len, Thumb2SymbolFn sym_cb,
                          void* sym_user);
bool thumb2_init();
void thumb2_fini();
void thumb2_add_symbol(const char* name, uint32_t addr);
// A data object's name, for literal words that hold its address.
void thumb2_add_label(const char* name, uint32_t addr);
// An ELF mapping symbol ('t', 'a' code, 'd' data) for the text's code/data markers.
void thumb2_add_mapping(char kind, uint32_t addr);
// The literal the last decoded instruction loads (a PC-relative load), else 0xFFFFFFFF.
uint32_t thumb2_literal_addr();
