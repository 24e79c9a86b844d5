// The debug sequence language, running: a sequence's node tree evaluated
// against the connected probe, with the predefined variables, per-call locals
// and the device's debug variables. No heap: everything lives in the context
// and in the sequences' pools.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "probe/dap.h"
#include "probe/probe.h"
#include "target/pdsc.h"

namespace {

constexpr uint32_t kWhileIterations = 100000;
constexpr uint64_t kMaxDelayUs = 1800000000ull;
constexpr uint32_t kSleepSliceMs = 10;  // how late a long delay notices a stop

void record(SeqContext* ctx, bool force, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void record(SeqContext* ctx, bool force, const char* fmt, ...) {
    if (ctx->has_error || (ctx->v_errorcontrol && !force)) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(ctx->error, sizeof ctx->error, fmt, ap);
    va_end(ap);
    ctx->has_error = true;
}

// Conditions error control does not excuse: the probe thread is shutting down
// or pausing, or the probe has gone (its link flag is read, not cleared: the
// probe thread's own test-and-clear still sees it). A sequence must not spin
// on a dead link, nor keep the thread from answering.
const char* fatal_reason(const SeqContext* ctx) {
    if (g_stop.load()) return "stopped";
    if (ctx->dap && ctx->dap->disconnected.load()) return "probe lost";
    return nullptr;
}

bool fail_fatal(SeqContext* ctx, const char* why) {
    record(ctx, true, "%s", why);
    return false;
}

// Sleeps `ms` in slices so that a stop ends the wait early.
bool sleep_ms(SeqContext* ctx, uint64_t ms) {
    while (ms > 0) {
        if (const char* why = fatal_reason(ctx)) return fail_fatal(ctx, why);
        uint32_t slice = ms > kSleepSliceMs ? kSleepSliceMs : static_cast<uint32_t>(ms);
        plat_sleep_ms(slice);
        ms -= slice;
    }
    return true;
}

uint64_t* predefined(SeqContext* ctx, const char* name) {
    if (name[0] != '_' || name[1] != '_') return nullptr;
    struct Slot {
        const char* name;
        uint64_t SeqContext::*field;
    };
    static const Slot kSlots[] = {
        {"__dp", &SeqContext::v_dp},                 {"__ap", &SeqContext::v_ap},
        {"__errorcontrol", &SeqContext::v_errorcontrol}, {"__protocol", &SeqContext::v_protocol},
        {"__connection", &SeqContext::v_connection}, {"__traceout", &SeqContext::v_traceout},
    };
    for (const Slot& s : kSlots)
        if (std::strcmp(s.name, name) == 0) return &(ctx->*s.field);
    return nullptr;
}

SeqVar* find_local(SeqContext* ctx, const char* name) {
    const int lvl = ctx->call_depth;
    for (int i = 0; i < ctx->local_count[lvl]; ++i)
        if (std::strcmp(ctx->locals[lvl][i].name, name) == 0) return &ctx->locals[lvl][i];
    return nullptr;
}

uint64_t read_var(SeqContext* ctx, const char* name) {
    if (uint64_t* p = predefined(ctx, name)) return *p;
    if (SeqVar* v = find_local(ctx, name)) return v->value;
    if (const PdscDevice* d = ctx->device)
        for (int i = 0; i < d->debug_var_count && i < PDSC_MAX_DEBUG_VARS; ++i)
            if (std::strcmp(d->debug_vars[i].name, name) == 0) return d->debug_vars[i].value;
    return 0;
}

bool store_var(SeqContext* ctx, const char* name, uint64_t value) {
    if (uint64_t* p = predefined(ctx, name)) {
        *p = value;
        if (p == &ctx->v_ap && ctx->dap && !dap_dp_write(ctx->dap, 0x08, static_cast<uint32_t>(value << 24))) {
            record(ctx, false, "WriteDP failed");
            return false;
        }
        return true;
    }
    if (SeqVar* v = find_local(ctx, name)) {
        v->value = value;
        return true;
    }
    const int lvl = ctx->call_depth;
    if (ctx->local_count[lvl] < SEQ_LOCALS) {  // a full level drops the new variable
        SeqVar* v = &ctx->locals[lvl][ctx->local_count[lvl]++];
        std::snprintf(v->name, sizeof v->name, "%s", name);
        v->value = value;
    }
    return true;
}

bool exec(SeqContext* ctx, const SeqNode* n, uint64_t* out);

uint64_t binop(PdscOp op, uint64_t a, uint64_t b) {
    switch (op) {
    case PDSC_OP_ADD: return a + b;
    case PDSC_OP_SUB: return a - b;
    case PDSC_OP_MUL: return a * b;
    case PDSC_OP_DIV: return b ? a / b : 0;
    case PDSC_OP_MOD: return b ? a % b : 0;
    case PDSC_OP_AND: return a & b;
    case PDSC_OP_OR: return a | b;
    case PDSC_OP_XOR: return a ^ b;
    case PDSC_OP_SHL: return b > 63 ? 0 : a << b;
    case PDSC_OP_SHR: return b > 63 ? 0 : a >> b;
    case PDSC_OP_LAND: return a && b;
    case PDSC_OP_LOR: return a || b;
    case PDSC_OP_EQ: return a == b;
    case PDSC_OP_NEQ: return a != b;
    case PDSC_OP_LT: return a < b;
    case PDSC_OP_GT: return a > b;
    case PDSC_OP_LE: return a <= b;
    case PDSC_OP_GE: return a >= b;
    default: return 0;
    }
}

bool exec_while(SeqContext* ctx, const SeqNode* n) {
    const uint64_t start = plat_time_ms();
    const uint64_t limit_ms = n->timeout_us > 0xFFFFF000u ? 1800000u : (uint64_t{n->timeout_us} + 999) / 1000;
    for (uint32_t i = 1; i <= kWhileIterations; ++i) {
        if (const char* why = fatal_reason(ctx)) return fail_fatal(ctx, why);
        uint64_t v = 0;
        if (!exec(ctx, n->child[0], &v)) return false;
        if (v == 0) return true;
        if (!exec(ctx, n->child[1], &v)) return false;
        if (n->timeout_us && plat_time_ms() - start >= limit_ms) {
            record(ctx, false, "WHILE timeout after %u ms", static_cast<unsigned>(limit_ms));
            return false;
        }
        if (i % 100 == 0 && !sleep_ms(ctx, 1)) return false;
    }
    return true;
}

// The sequence a run or a call names: null, with the reason recorded, when it
// is missing or did not fit its pool; a disabled one is *skip (it succeeds
// without running). A call's errors yield to error control, a run's do not.
const PdscSequence* sequence_to_run(SeqContext* ctx, const char* name, bool call, bool* skip) {
    *skip = false;
    const PdscSequence* s = pdsc_find_sequence(ctx->device, name);
    if (!s) {
        if (call) record(ctx, false, "Sequence(\"%s\") not found", name);
        else record(ctx, true, "Sequence '%s' not found", name);
        return nullptr;
    }
    if (s->disabled) {
        *skip = true;
    } else if (s->truncated) {
        if (call) record(ctx, false, "Sequence(\"%s\") is larger than %d nodes: not run", name, (int)SEQ_POOL_NODES);
        else record(ctx, true, "Sequence '%s' is larger than %d nodes: not run", name, (int)SEQ_POOL_NODES);
        return nullptr;
    }
    return s;
}

bool call_sequence(SeqContext* ctx, const char* name) {
    if (ctx->call_depth > 6) {
        record(ctx, false, "Sequence() call depth exceeded");
        return false;
    }
    bool skip;
    const PdscSequence* s = sequence_to_run(ctx, name, true, &skip);
    if (!s || skip) return s != nullptr;
    ++ctx->call_depth;
    ctx->local_count[ctx->call_depth] = 0;
    uint64_t v = 0;
    bool ok = exec(ctx, s->root, &v);
    --ctx->call_depth;
    return ok;
}

// The node's own work, its children evaluated first; false on failure.
bool exec_node(SeqContext* ctx, const SeqNode* n, uint64_t* out) {
    uint64_t a[3] = {0, 0, 0};
    const SeqNodeType t = n->type;
    const bool call = (t >= SEQ_READ32 && t <= SEQ_DAP_SWJ_PINS) || t == SEQ_MESSAGE;
    if (t == SEQ_BINOP || t == SEQ_UNOP || call) {
        // Every operand, always: no short-circuit for && and ||, so a read
        // in either operand is performed.
        for (int i = 0; i < 3; ++i)
            if (n->child[i] && !exec(ctx, n->child[i], &a[i])) return false;
    }
    DapContext* dap = ctx->dap;
    const uint32_t addr = static_cast<uint32_t>(a[0]), val = static_cast<uint32_t>(a[1]);
    const uint8_t reg = static_cast<uint8_t>(a[0]);
    uint32_t word = 0;
    switch (t) {
    case SEQ_LITERAL: *out = n->u.literal; return true;
    case SEQ_VAR_REF: *out = read_var(ctx, n->u.name); return true;
    case SEQ_BINOP: *out = binop(n->u.op, a[0], a[1]); return true;
    case SEQ_UNOP:
        *out = n->u.op == PDSC_OP_SUB ? 0 - a[0] : n->u.op == PDSC_OP_NOT ? ~a[0] : n->u.op == PDSC_OP_LNOT ? !a[0] : 0;
        return true;
    case SEQ_ASSIGN:
        if (!exec(ctx, n->child[0], &a[0])) return false;
        *out = a[0];
        return store_var(ctx, n->u.name, a[0]);
    case SEQ_VAR_DECL:
        // A failed initial value is ignored, its error text too, and the
        // variable holds 0 -- unless the run is being stopped or the probe is gone.
        if (n->child[0] && !exec(ctx, n->child[0], &a[0])) {
            if (const char* why = fatal_reason(ctx)) return fail_fatal(ctx, why);
            ctx->error[0] = 0;
            ctx->has_error = false;
            a[0] = 0;
        }
        *out = a[0];
        return store_var(ctx, n->u.name, a[0]);
    case SEQ_READ32:
        if (dap && dap_read_mem32(dap, addr, &word)) {
            *out = word;
            return true;
        }
        record(ctx, false, "Read32(0x%08X) failed", addr);
        return false;
    case SEQ_WRITE32:
        word = val;
        if (ctx->hold_halt && addr == DAP_DHCSR && (val & 0xFFFF0003u) == 0xA05F0001u && dap &&
            dap_read_mem32(dap, DAP_DHCSR, &word))
            word = (word & DAP_DHCSR_S_HALT) ? val | 2 : val;  // C_HALT
        if (dap && dap_write_mem32(dap, addr, word)) return true;
        record(ctx, false, "Write32(0x%08X, 0x%08X) failed", addr, val);
        return false;
    case SEQ_READ_DP:
        if (dap && dap_dp_read(dap, reg, &word)) {
            *out = word;
            return true;
        }
        record(ctx, false, "ReadDP failed");
        return false;
    case SEQ_WRITE_DP:
        if (dap && dap_dp_write(dap, reg, val)) return true;
        record(ctx, false, "WriteDP failed");
        return false;
    case SEQ_READ_AP:
        if (dap && dap_ap_read(dap, static_cast<uint8_t>(ctx->v_ap), reg, &word)) {
            uint32_t discard;
            dap_dp_read(dap, 0x0C, &discard);  // RDBUFF
            *out = word;
            return true;
        }
        record(ctx, false, "ReadAP failed");
        return false;
    case SEQ_WRITE_AP:
        if (dap && dap_ap_write(dap, static_cast<uint8_t>(ctx->v_ap), reg, val)) {
            ap_cache_invalidate(dap);  // the sequence may have changed CSW behind the memory routines
            return true;
        }
        record(ctx, false, "WriteAP failed");
        return false;
    case SEQ_DAP_DELAY: {
        const uint64_t us = a[0] > kMaxDelayUs ? kMaxDelayUs : a[0];
        return us == 0 || sleep_ms(ctx, (us + 999) / 1000);
    }
    case SEQ_DAP_SWJ_PINS: {
        uint8_t pins = 0;
        if (dap && dap_swj_pins(dap, static_cast<uint8_t>(a[0]), static_cast<uint8_t>(a[1]), static_cast<uint32_t>(a[2]), &pins)) {
            *out = pins;
            return true;
        }
        record(ctx, false, "DAP_SWJ_Pins failed");
        return false;
    }
    case SEQ_MESSAGE:
        // Type 2 is an error: the pack ends the sequence there (its text is not kept).
        if (a[0] != 2) return true;
        record(ctx, false, "the sequence reported an error (Message type 2)");
        return false;
    case SEQ_SEQUENCE: return call_sequence(ctx, n->u.name);
    case SEQ_BLOCK:
        for (const SeqNode* s = n->child[0]; s; s = s->next) {
            uint64_t v = 0;
            if (!exec(ctx, s, &v)) return false;
            *out = v;
        }
        return true;
    case SEQ_IF: {
        uint64_t c = 0;
        if (!exec(ctx, n->child[0], &c)) return false;
        const SeqNode* body = c ? n->child[1] : n->child[2];
        return !body || exec(ctx, body, out);
    }
    case SEQ_WHILE: return exec_while(ctx, n);
    }
    return true;
}

// Every node goes through here: with __errorcontrol set a failure is
// forgiven (no error text, counts as success), except a stop or a lost probe.
bool exec(SeqContext* ctx, const SeqNode* n, uint64_t* out) {
    *out = 0;
    if (!n) return true;  // a missing argument is 0
    if (exec_node(ctx, n, out)) return true;
    if (const char* why = fatal_reason(ctx)) return fail_fatal(ctx, why);
    if (!ctx->v_errorcontrol) return false;
    ctx->error[0] = 0;
    ctx->has_error = false;
    *out = 0;
    return true;
}

}  // namespace

const PdscSequence* pdsc_find_sequence(const PdscDevice* dev, const char* name) {
    if (!dev || !name) return nullptr;
    for (int i = 0; i < dev->sequence_count && i < PDSC_MAX_SEQUENCES; ++i)
        if (std::strcmp(dev->sequences[i].name, name) == 0) return &dev->sequences[i];
    return nullptr;
}

void pdsc_seq_ctx_init(SeqContext* ctx, DapContext* dap, const PdscDevice* dev) {
    if (!ctx) return;
    std::memset(ctx, 0, sizeof *ctx);
    ctx->dap = dap;
    ctx->device = dev;
    ctx->v_protocol = 2;  // SWD
}

void pdsc_seq_ctx_reset(SeqContext* ctx) {
    if (!ctx) return;
    std::memset(ctx->locals, 0, sizeof ctx->locals);
    std::memset(ctx->local_count, 0, sizeof ctx->local_count);
    ctx->call_depth = 0;
    ctx->error[0] = 0;
    ctx->has_error = false;
    ctx->v_dp = ctx->v_ap = ctx->v_errorcontrol = 0;
}

bool pdsc_seq_run(SeqContext* ctx, const char* name) {
    if (!ctx || !name || !ctx->device) return false;
    ctx->error[0] = 0;
    ctx->has_error = false;
    if (ctx->dap) {
        dap_dp_write(ctx->dap, 0x00, DAP_ABORT_ALL);
        dap_dp_write(ctx->dap, 0x08, 0);
    }
    bool skip;
    const PdscSequence* s = sequence_to_run(ctx, name, false, &skip);
    if (!s || skip) return s != nullptr;
    ctx->call_depth = 0;
    ctx->local_count[0] = 0;
    std::memset(ctx->locals[0], 0, sizeof ctx->locals[0]);
    uint64_t v = 0;
    const bool ok = exec(ctx, s->root, &v);
    if (!ok && !ctx->has_error) record(ctx, true, "Sequence '%s' failed", name);
    return ok;
}

const char* pdsc_seq_error(const SeqContext* ctx) { return ctx && ctx->has_error ? ctx->error : nullptr; }
