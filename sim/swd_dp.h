// SW-DP as on a Cortex-M4 part (ADIv5, DPv1 or DPv2 by the DPIDR version
// field): the line-level state machine fed SWJ bit sequences, the DP
// registers, sticky errors, posted AP reads, and the AP0 MEM-AP behind it.
#pragma once

#include <cstdint>

#include "sim/sim_types.h"
#include "sim/swd_dp_memap.h"

// ACK as the host sees it on the wire (bit 0 first): OK, WAIT, FAULT, or the
// line left high by a target that does not answer.
enum : uint8_t {
    SIM_SWD_ACK_OK = 1,
    SIM_SWD_ACK_WAIT = 2,
    SIM_SWD_ACK_FAULT = 4,
    SIM_SWD_ACK_NONE = 7,
};

// Request bits as in a CMSIS-DAP transfer request.
enum : uint8_t {
    SIM_SWD_APNDP = 0x01,
    SIM_SWD_RNW = 0x02,
    SIM_SWD_A_MASK = 0x0C,
};

// DP CTRL/STAT bits.
enum : uint32_t {
    SIM_DP_ORUNDETECT = 1u << 0,
    SIM_DP_STICKYORUN = 1u << 1,
    SIM_DP_TRNMODE_MASK = 3u << 2,
    SIM_DP_STICKYCMP = 1u << 4,
    SIM_DP_STICKYERR = 1u << 5,
    SIM_DP_READOK = 1u << 6,
    SIM_DP_WDATAERR = 1u << 7,
    SIM_DP_MASKLANE_MASK = 0xFu << 8,
    SIM_DP_TRNCNT_MASK = 0xFFFu << 12,
    SIM_DP_CDBGRSTREQ = 1u << 26,
    SIM_DP_CDBGRSTACK = 1u << 27,
    SIM_DP_CDBGPWRUPREQ = 1u << 28,
    SIM_DP_CDBGPWRUPACK = 1u << 29,
    SIM_DP_CSYSPWRUPREQ = 1u << 30,
    SIM_DP_CSYSPWRUPACK = 1u << 31,
};

// DP ABORT bits.
enum : uint32_t {
    SIM_DP_DAPABORT = 1u << 0,
    SIM_DP_STKCMPCLR = 1u << 1,
    SIM_DP_STKERRCLR = 1u << 2,
    SIM_DP_WDERRCLR = 1u << 3,
    SIM_DP_ORUNERRCLR = 1u << 4,
};

enum class SimSwdLine : uint8_t {
    Jtag,     // power-on state of an SWJ-DP: SWD requests go unanswered
    Swd,      // SWD selected
    Dormant,  // waits for the selection alert and an activation code
};

struct SimSwdConfig {
    uint32_t dpidr;     // 0x2BA01477: SW-DP of an STM32F4
    uint32_t targetid;  // DPv2 only (bank 2 of address 0x4)
    uint32_t dlpidr;    // DPv2 only (bank 3)
    SimMemApConfig ap0;
    bool ap1_present;   // false: AP1 reads as zero (IDR 0 = no AP)
    SimMemApConfig ap1;
};

// Injected misbehaviour, counted in SWD transactions from the moment it is
// armed. FAULT cannot be answered to DPIDR/CTRL-STAT reads or ABORT writes,
// so an injected FAULT landing on one of those waits for the next other one.
struct SimSwdFaults {
    uint32_t wait_next;   // the next N non-exempt transactions answer WAIT
    uint32_t fault_at;    // the Nth transaction answers FAULT (sets STICKYERR); 0 = off
    uint32_t no_ack_at;   // the Nth transaction is not answered; 0 = off
    uint32_t parity_error_at;  // the Nth transaction, if a write, arrives with bad data parity
};

struct SimSwd {
    SimSwdConfig cfg;
    SimTargetLines lines;
    SimMemAp ap0;
    SimMemAp ap1;

    SimSwdLine line;
    bool need_line_reset;  // after a select or wake-up, until a line reset
    bool need_dpidr;       // after a line reset, until a DPIDR read
    bool deselected;       // TARGETSEL named another target
    uint8_t hist[256];     // last bits seen on SWDIO, a ring
    uint32_t hist_total;
    uint32_t ones_run;

    uint32_t ctrl_stat;  // request and sticky bits; acks are in power_*
    bool dbg_ack;
    bool sys_ack;
    uint32_t select;
    uint32_t rdbuff;
    uint32_t resend;
    uint32_t dlcr;

    SimSwdFaults faults;
    uint32_t since_armed;
    uint32_t waits_from;  // the armed WAITs begin at this transaction (0: at once)
    bool fault_pending;
};

void sim_swd_default_config(SimSwdConfig* c);
bool sim_swd_init(SimSwd* s, const SimSwdConfig* c, SimMemPort bus, SimTargetLines lines);
// Bits as driven on SWDIO/TMS, LSB of bits[0] first.
void sim_swd_sequence(SimSwd* s, const uint8_t* bits, unsigned nbits);
// One SWD transaction. request: APnDP, RnW, A[3:2] as SIM_SWD_* bits. For a
// read, *data receives the value when the answer is OK. Returns the ACK.
uint8_t sim_swd_transfer(SimSwd* s, uint8_t request, uint32_t* data);
void sim_swd_arm_faults(SimSwd* s, const SimSwdFaults* f);
// The same, with the run of WAITs starting at the Nth transaction from now.
void sim_swd_arm_faults_from(SimSwd* s, const SimSwdFaults* f, uint32_t waits_from);
SimSwdLine sim_swd_line(const SimSwd* s);
// True for DPIDR/CTRL-STAT reads and ABORT writes: they never see WAIT or FAULT.
bool sim_swd_exempt(uint8_t request);
