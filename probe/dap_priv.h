// Shared between the memory and the core-register batch builders.
#pragma once

#include "probe/dap.h"

// MEM-AP registers of bank 0.
enum : uint8_t { DAP_AP_CSW = 0x00, DAP_AP_TAR = 0x04, DAP_AP_DRW = 0x0C };

// SELECT (bank 0) and CSW, when the cache does not hold them, at the head of
// a memory batch; the cache takes them once the batch went through.
struct DapMemPrefix {
    bool sel;
    bool csw;
    uint32_t csw_val;
};
int dap_add_mem_prefix(DapContext* ctx, DapXfer* x, DapMemPrefix* p);
void dap_mem_prefix_done(DapContext* ctx, const DapMemPrefix* p, bool ok);
// The memory prefix, then TAR on DHCSR and bank 1 of the current AP: the
// banked data registers then reach DHCSR, DCRSR and DCRDR. The count added.
int dap_add_banked_prefix(DapContext* ctx, DapXfer* x, DapMemPrefix* p);
// A SELECT for `bank` of the current AP when the cache does not hold it.
bool dap_add_select(DapContext* ctx, DapXfer* x, int* n, uint8_t bank);
void dap_select_done(DapContext* ctx, uint8_t apsel, uint8_t bank, bool ok);
uint8_t dap_current_ap(const DapContext* ctx);
int dap_packet_limit(const DapContext* ctx);
// A DAP_Transfer command at p (p[0] = 0x05): its length.
int dap_build_transfer(uint8_t* p, const DapXfer* xfers, int count);
// The count of a DAP_Transfer answer in pkt_in, and the values of the reads it holds.
int dap_answer_data(const DapContext* ctx, const DapXfer* xfers, int count, uint32_t* out_data);
inline uint8_t dap_ap_req(uint8_t addr, bool read) {
    return (uint8_t)((addr & 0x0C) | DAP_REQ_AP | (read ? DAP_REQ_READ : 0));
}
inline void dap_put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
inline uint32_t dap_get32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
