// Target algorithms: the INI reader and the sequence interpreter. A typo in
// a script must never reach the target as a different operation, so every
// number, name and argument count is checked where it is read, and a refused
// line is reported with its number instead of being cut or taken as 0.
#include "target/target_algo.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/clock.h"
#include "platform/log_store.h"
#include "probe/dap.h"
#include "probe/probe.h"

namespace {

constexpr uint32_t kDefaultPollMs = 1000;
constexpr uint32_t kSleepSliceMs = 10;    // how late a long wait notices a stop
constexpr uint32_t kResetSeenMs = 100;    // how long a script reset has to show in DHCSR
constexpr int kMaxBadLines = 20;          // a binary file is given up, not logged line by line
constexpr uint32_t kAircrSysResetReq = 0x05FA0004;

// --- numbers, names, tokens -----------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decimal, or hexadecimal after "0x"; the whole text, 32 bits at most.
bool parse_u32(const char* s, uint32_t* out) {
    while (*s == ' ' || *s == '\t') ++s;
    int base = 10;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, s += 2;
    if (!*s) return false;
    uint64_t v = 0;
    for (; *s; ++s) {
        int d;
        if (*s >= '0' && *s <= '9') d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f') d = *s - 'a' + 10;
        else if (base == 16 && *s >= 'A' && *s <= 'F') d = *s - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFull) return false;
    }
    *out = (uint32_t)v;
    return true;
}

// "$" and then letters, digits or '_', 31 characters in all.
bool valid_var_name(const char* s) {
    size_t n = std::strlen(s);
    if (n < 2 || n >= ALGO_NAME_LEN || s[0] != '$') return false;
    for (size_t i = 1; i < n; ++i) {
        char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

bool copy_text(char* dst, size_t cap, const char* src) {
    if (std::strlen(src) >= cap) return false;
    std::strcpy(dst, src);
    return true;
}

void trim(char* s) {
    size_t n = std::strlen(s), i = 0;
    while (n && is_blank(s[n - 1])) s[--n] = 0;
    while (is_blank(s[i])) ++i;
    if (i) std::memmove(s, s + i, n - i + 1);
}

// Splits `s` in place at blanks; the number of tokens, or -1 when more than `max`.
int tokenize(char* s, char** tok, int max) {
    int n = 0;
    for (char* p = s; *p;) {
        while (is_blank(*p)) *p++ = 0;
        if (!*p) break;
        if (n == max) return -1;
        tok[n++] = p;
        while (*p && !is_blank(*p)) ++p;
    }
    return n;
}

// --- steps ---------------------------------------------------------------------

struct OpDef {
    const char* name;
    SeqOp op;
    int min_args, max_args;
};

const OpDef kOps[] = {
    {"dp_read", SEQ_OP_DP_READ, 1, 1},       {"dp_write", SEQ_OP_DP_WRITE, 2, 2},
    {"ap_read", SEQ_OP_AP_READ, 2, 2},       {"ap_write", SEQ_OP_AP_WRITE, 3, 3},
    {"mem_read", SEQ_OP_MEM_READ, 1, 1},     {"mem_write", SEQ_OP_MEM_WRITE, 2, 2},
    {"mem_write16", SEQ_OP_MEM_WRITE16, 2, 2}, {"mem_poll", SEQ_OP_MEM_POLL, 3, 4},
    {"ap_poll", SEQ_OP_AP_POLL, 4, 5},       {"wait_ms", SEQ_OP_WAIT_MS, 1, 1},
    {"call", SEQ_OP_CALL, 1, 1},             {"if_eq", SEQ_OP_IF_EQ, 3, 3},
    {"restore_ap0", SEQ_OP_RESTORE_AP0, 0, 0}, {"reset_halt", SEQ_OP_RESET_HALT, 0, 0},
    {"write_reg", SEQ_OP_WRITE_REG, 2, 2},   {"read_reg", SEQ_OP_READ_REG, 1, 1},
    {"set_var", SEQ_OP_SET_VAR, 2, 2},       {"loop", SEQ_OP_LOOP_BEGIN, 1, 1},
    {"loop_end", SEQ_OP_LOOP_END, 0, 0},
};

struct StepParse {
    SeqStep* st;
    char* why;
    size_t cap;
    bool fail(const char* fmt, const char* arg) {
        std::snprintf(why, cap, fmt, arg);
        return false;
    }
    bool num(const char* tok, uint32_t* v) { return parse_u32(tok, v) || fail("'%s' is not a number", tok); }
    // A number, or a variable where the operation takes one (slot 0: val, slot 1: mask).
    bool arg(const char* tok, int slot) {
        uint32_t* field = slot == 0 ? &st->val : &st->mask;
        if (tok[0] != '$') return num(tok, field);
        if (!valid_var_name(tok)) return fail("'%s' is not a variable name", tok);
        st->arg_flags[slot] = SEQ_ARG_VAR | (std::strcmp(tok, "$result") == 0 ? SEQ_ARG_RESULT : 0);
        std::strcpy(st->arg_names[slot], tok);
        return true;
    }
    bool byte(const char* tok, uint32_t max, uint8_t* out, const char* what) {
        uint32_t v;
        if (!num(tok, &v)) return false;
        if (v > max) return fail("%s out of range", what);
        *out = (uint8_t)v;
        return true;
    }
    bool reg_of(const char* tok, uint32_t max, const char* what) {
        return byte(tok, max, &st->reg, what) && ((st->reg & 3) == 0 || fail("%s not word aligned", what));
    }
    bool dp_reg(const char* tok) { return reg_of(tok, 0x0C, "DP register"); }
    bool ap_reg(const char* tok) { return reg_of(tok, 0xFC, "AP register"); }
    // "name=ms" or a bare number; the default when absent.
    bool timeout(int n, char** tok, int at) {
        st->timeout_ms = kDefaultPollMs;
        if (n <= at) return true;
        const char* eq = std::strchr(tok[at], '=');
        return num(eq ? eq + 1 : tok[at], &st->timeout_ms);
    }
    bool expect(const char* tok) {
        uint32_t v;
        if (!num(tok, &v)) return false;
        std::snprintf(st->call_name, sizeof st->call_name, "%08X", v);
        return true;
    }
};

}  // namespace

bool target_seq_parse_step(const char* text, SeqStep* step, char* why, size_t why_cap) {
    char buf[ALGO_LINE_MAX + 1], scratch[1];
    if (!why || !why_cap) why = scratch, why_cap = sizeof scratch;
    why[0] = 0;
    if (!text || !step) return std::snprintf(why, why_cap, "no step"), false;
    std::memset(step, 0, sizeof *step);
    StepParse p{step, why, why_cap};
    if (!copy_text(buf, sizeof buf, text)) return p.fail("%s", "step text too long");
    char* tok[8];
    int n = tokenize(buf, tok, 8);
    if (n == 0) return p.fail("%s", "empty step");
    if (n < 0) return p.fail("%s", "too many arguments");
    const OpDef* def = nullptr;
    for (const OpDef& d : kOps)
        if (std::strcmp(d.name, tok[0]) == 0) def = &d;
    if (!def) return p.fail("unknown operation '%s'", tok[0]);
    const int args = n - 1;
    if (args < def->min_args) return p.fail("%s: too few arguments", def->name);
    if (args > def->max_args) return p.fail("%s: too many arguments", def->name);
    step->op = def->op;
    char** a = tok + 1;
    switch (def->op) {
    case SEQ_OP_DP_READ: return p.dp_reg(a[0]);
    case SEQ_OP_DP_WRITE: return p.dp_reg(a[0]) && p.num(a[1], &step->val);
    case SEQ_OP_AP_READ: return p.byte(a[0], 0xFF, &step->apsel, "AP number") && p.ap_reg(a[1]);
    case SEQ_OP_AP_WRITE: return p.byte(a[0], 0xFF, &step->apsel, "AP number") && p.ap_reg(a[1]) && p.num(a[2], &step->val);
    case SEQ_OP_MEM_READ:
        return p.num(a[0], &step->val) && ((step->val & 3) == 0 || p.fail("%s: address not word aligned", def->name));
    case SEQ_OP_MEM_WRITE:
    case SEQ_OP_MEM_WRITE16: {
        const bool half = def->op == SEQ_OP_MEM_WRITE16;
        if (!p.arg(a[0], 0) || !p.arg(a[1], 1)) return false;
        if (!step->arg_flags[0] && (step->val & (half ? 1u : 3u))) return p.fail("%s: address not aligned", def->name);
        if (half && !step->arg_flags[1] && step->mask > 0xFFFF) return p.fail("%s: value above 0xFFFF", def->name);
        return true;
    }
    case SEQ_OP_MEM_POLL:
        return p.num(a[0], &step->val) && p.num(a[1], &step->mask) && p.expect(a[2]) && p.timeout(args, a, 3) &&
               ((step->val & 3) == 0 || p.fail("%s: address not word aligned", def->name));
    case SEQ_OP_AP_POLL:
        return p.byte(a[0], 0xFF, &step->apsel, "AP number") && p.ap_reg(a[1]) && p.num(a[2], &step->mask) &&
               p.expect(a[3]) && p.timeout(args, a, 4);
    case SEQ_OP_WAIT_MS: return p.num(a[0], &step->val);
    case SEQ_OP_CALL: return copy_text(step->call_name, sizeof step->call_name, a[0]) || p.fail("%s: name too long", def->name);
    case SEQ_OP_IF_EQ: {
        if (!p.arg(a[0], 1) || !p.arg(a[1], 0)) return false;
        // "skip=n", a bare count, or any other word for one step.
        const char* eq = std::strchr(a[2], '=');
        uint32_t n = 1;
        if ((eq || (a[2][0] >= '0' && a[2][0] <= '9')) && !p.num(eq ? eq + 1 : a[2], &n)) return false;
        if (n >= ALGO_MAX_STEPS) return p.fail("%s: skip count out of range", def->name);
        step->skip_count = (uint16_t)n;
        return true;
    }
    case SEQ_OP_WRITE_REG: return p.byte(a[0], 0x7F, &step->reg, "core register") && p.arg(a[1], 0);
    case SEQ_OP_READ_REG: return p.byte(a[0], 0x7F, &step->reg, "core register");
    case SEQ_OP_SET_VAR:
        if (!valid_var_name(a[0])) return p.fail("'%s' is not a variable name", a[0]);
        std::strcpy(step->call_name, a[0]);
        return p.arg(a[1], 0);
    case SEQ_OP_LOOP_BEGIN: return p.arg(a[0], 0);
    default: return true;  // restore_ap0, reset_halt, loop_end
    }
}

// --- variables -----------------------------------------------------------------

bool algo_var_set(VarContext* vars, const char* name, uint32_t value) {
    if (!vars || !name || !valid_var_name(name)) return false;
    for (int i = 0; i < vars->count; ++i)
        if (std::strcmp(vars->vars[i].name, name) == 0) return vars->vars[i].value = value, true;
    if (vars->count >= ALGO_MAX_VARS) return false;
    AlgoVariable& v = vars->vars[vars->count++];
    std::strcpy(v.name, name);
    v.value = value;
    return true;
}

bool algo_var_get(const VarContext* vars, const char* name, uint32_t* value) {
    for (int i = 0; vars && name && i < vars->count && i < ALGO_MAX_VARS; ++i)
        if (std::strcmp(vars->vars[i].name, name) == 0) return *value = vars->vars[i].value, true;
    return false;
}

// --- the INI file --------------------------------------------------------------

namespace {

enum IniSection { SEC_NONE, SEC_DEVICE, SEC_MEMORY, SEC_FLASH, SEC_SEQUENCE, SEC_IGNORED, SEC_OTHER };

struct NumKey {
    IniSection sec;
    const char* key;
    size_t off;  // of the uint32_t in TargetAlgo
};

#define ALGO_FIELD(f) offsetof(TargetAlgo, f)
const NumKey kNumKeys[] = {
    {SEC_DEVICE, "identify_reg", ALGO_FIELD(device.identify_reg)},
    {SEC_DEVICE, "identify_val", ALGO_FIELD(device.identify_val)},
    {SEC_DEVICE, "identify_mask", ALGO_FIELD(device.identify_mask)},
    {SEC_MEMORY, "flash_base", ALGO_FIELD(flash.flash_base)},
    {SEC_MEMORY, "flash_size", ALGO_FIELD(flash.flash_size)},
    {SEC_MEMORY, "ram_base", ALGO_FIELD(device.ram_base)},
    {SEC_MEMORY, "ram_size", ALGO_FIELD(device.ram_size)},
    {SEC_FLASH, "load_addr", ALGO_FIELD(flash.load_addr)},
    {SEC_FLASH, "stack_top", ALGO_FIELD(flash.stack_top)},
    {SEC_FLASH, "static_base", ALGO_FIELD(flash.static_base)},
    {SEC_FLASH, "page_buf_offset", ALGO_FIELD(flash.page_buf_offset)},
    {SEC_FLASH, "reinit_pages", ALGO_FIELD(flash.reinit_pages)},
    {SEC_FLASH, "pc_pre_init", ALGO_FIELD(flash.pc_pre_init)},
    {SEC_FLASH, "pc_init", ALGO_FIELD(flash.pc_init)},
    {SEC_FLASH, "pc_uninit", ALGO_FIELD(flash.pc_uninit)},
    {SEC_FLASH, "pc_erase", ALGO_FIELD(flash.pc_erase)},
    {SEC_FLASH, "pc_program", ALGO_FIELD(flash.pc_program)},
    {SEC_FLASH, "pc_erase_chip", ALGO_FIELD(flash.pc_erase_chip)},
    {SEC_FLASH, "page_size", ALGO_FIELD(flash.page_size)},
    {SEC_FLASH, "write_width", ALGO_FIELD(flash.write_width)},
    {SEC_FLASH, "sector_size", ALGO_FIELD(flash.sector_size)},
    {SEC_FLASH, "erase_ms", ALGO_FIELD(flash.erase_ms)},
    {SEC_FLASH, "program_ms", ALGO_FIELD(flash.program_ms)},
};

struct TextKey {
    IniSection sec;
    const char* key;
    size_t off, cap;
};

const TextKey kTextKeys[] = {
    {SEC_DEVICE, "name", ALGO_FIELD(device.name), ALGO_TEXT_LEN},
    {SEC_DEVICE, "vendor", ALGO_FIELD(device.vendor), ALGO_TEXT_LEN},
    {SEC_DEVICE, "family", ALGO_FIELD(device.family), ALGO_TEXT_LEN},
    {SEC_FLASH, "pre_flash", ALGO_FIELD(flash.pre_flash_seq), ALGO_NAME_LEN},
    {SEC_FLASH, "post_flash", ALGO_FIELD(flash.post_flash_seq), ALGO_NAME_LEN},
    {SEC_FLASH, "watchdog_disable", ALGO_FIELD(flash.watchdog_disable_seq), ALGO_NAME_LEN},
    {SEC_FLASH, "watchdog_feed", ALGO_FIELD(flash.watchdog_feed_seq), ALGO_NAME_LEN},
};
#undef ALGO_FIELD

struct IniReader {
    TargetAlgo* algo;
    const char* file;  // for the log: the INI's name without its folder
    int line;
    int bad;
    int extra_seqs;
    IniSection sec;
    Sequence* seq;

    bool refuse(const char* what, const char* detail) {
        if (++bad <= kMaxBadLines) log_addf(&logv, "[ALGO] %s line %d: %s%s", file, line, what, detail);
        return false;
    }
    void note(const char* what, const char* detail) { log_addf(&logv, "[ALGO] %s line %d: %s%s", file, line, what, detail); }
    uint8_t* at(size_t off) { return reinterpret_cast<uint8_t*>(algo) + off; }

    void section(const char* name) {
        seq = nullptr;
        sec = SEC_OTHER;
        if (strcasecmp(name, "device") == 0) sec = SEC_DEVICE;
        else if (strcasecmp(name, "memory") == 0) sec = SEC_MEMORY;
        else if (strcasecmp(name, "flash_algo") == 0) sec = SEC_FLASH;
        else if (strncasecmp(name, "sequence.", 9) == 0) {
            const char* sname = name + 9;
            sec = SEC_IGNORED;
            if (!*sname) return (void)refuse("sequence without a name", "");
            if (std::strlen(sname) >= ALGO_NAME_LEN) return (void)refuse("sequence name longer than 31 characters: ", sname);
            if (algo->seq_count >= ALGO_MAX_SEQUENCES) {
                // One line for the first, a count for the rest: a hostile file must not flood the log.
                if (extra_seqs++ == 0) log_add_line(&logv, "[ALGO] Too many sequences in INI");
                return;
            }
            if (target_algo_find_seq(algo, sname)) note("a second sequence of the name, not reachable by it: ", sname);
            seq = &algo->sequences[algo->seq_count++];
            std::strcpy(seq->name, sname);
            sec = SEC_SEQUENCE;
        } else note("unknown section ignored: ", name);
    }

    void bin_path(const char* value) {
        char joined[ALGO_PATH_LEN];
        const bool absolute = value[0] == '/';
        if (std::snprintf(joined, sizeof joined, "%s%s", absolute ? "" : algo->base_dir, value) >= (int)sizeof joined)
            return (void)refuse("bin path too long: ", value);
        // Walk the components: a ".." above the INI's folder leaves it.
        int depth = 0;
        bool leaves = absolute;
        for (const char* p = value; *p && !leaves;) {
            const char* e = std::strchr(p, '/');
            size_t n = e ? (size_t)(e - p) : std::strlen(p);
            if (n == 2 && p[0] == '.' && p[1] == '.') leaves = --depth < 0;
            else if (n && !(n == 1 && p[0] == '.')) ++depth;
            p += n + (e ? 1 : 0);
        }
        if (leaves) note("bin outside the INI's folder: ", joined);
        std::strcpy(algo->flash.bin_path, joined);
    }

    // "4x16K, 1x64K, 7x128K" (or "4x0x4000, ..."): runs of equal sectors.
    void sector_map(const char* value) {
        char buf[ALGO_LINE_MAX + 1];
        std::snprintf(buf, sizeof buf, "%s", value);
        AlgoFlash& fl = algo->flash;
        fl.sector_run_count = 0;
        uint64_t total = 0;
        char* save = nullptr;
        for (char* run = strtok_r(buf, ",", &save); run; run = strtok_r(nullptr, ",", &save)) {
            trim(run);
            char* x = std::strchr(run, 'x');
            if (!x || x == run) return (void)refuse("sector run is not COUNTxSIZE: ", run);
            *x = 0;
            char* size_text = x + 1;
            uint32_t count, size, unit = 1;
            const size_t n = std::strlen(size_text);
            if (n && (size_text[n - 1] == 'K' || size_text[n - 1] == 'k')) unit = 1024, size_text[n - 1] = 0;
            else if (n && (size_text[n - 1] == 'M' || size_text[n - 1] == 'm')) unit = 1024 * 1024, size_text[n - 1] = 0;
            if (!parse_u32(run, &count) || !parse_u32(size_text, &size) || !count || !size ||
                (uint64_t)size * unit > 0xFFFFFFFFull)
                return (void)refuse("sector run is not COUNTxSIZE: ", value);
            if (fl.sector_run_count == ALGO_MAX_SECTOR_RUNS) return (void)refuse("more than 8 sector runs: ", value);
            total += (uint64_t)count * size * unit;
            fl.sector_runs[fl.sector_run_count++] = AlgoSectorRun{count, size * unit};
        }
        if (!fl.sector_run_count || total > 0x100000000ull) {
            fl.sector_run_count = 0;
            return (void)refuse("sector map empty or above 4 GB: ", value);
        }
    }

    void key(const char* k, const char* v) {
        if (sec == SEC_IGNORED) return;
        if (sec == SEC_SEQUENCE) {
            if (!(k[0] >= '0' && k[0] <= '9')) return note("key ignored in a sequence: ", k);
            uint32_t n;
            if (!parse_u32(k, &n) || n >= ALGO_MAX_STEPS) return (void)refuse("step number not 0 to 63: ", k);
            char why[96];
            SeqStep st;
            if (!target_seq_parse_step(v, &st, why, sizeof why)) return (void)refuse("step rejected: ", why);
            seq->steps[n] = st;
            if ((int)n >= seq->step_count) seq->step_count = (int)n + 1;
            return;
        }
        for (const NumKey& d : kNumKeys)
            if (d.sec == sec && strcasecmp(d.key, k) == 0) {
                uint32_t n;
                if (!parse_u32(v, &n)) return (void)refuse("not a number: ", v);
                return (void)std::memcpy(at(d.off), &n, sizeof n);
            }
        for (const TextKey& d : kTextKeys)
            if (d.sec == sec && strcasecmp(d.key, k) == 0) {
                if (!copy_text(reinterpret_cast<char*>(at(d.off)), d.cap, v)) return (void)refuse("text too long for ", k);
                return;
            }
        if (sec == SEC_FLASH && strcasecmp(k, "bin") == 0) return bin_path(v);
        if (sec == SEC_FLASH && strcasecmp(k, "sectors") == 0) return sector_map(v);
        if (sec == SEC_FLASH && strcasecmp(k, "use_bin") == 0) {
            if (strcasecmp(v, "yes") == 0 || strcasecmp(v, "true") == 0 || std::strcmp(v, "1") == 0) algo->flash.use_bin = true;
            else if (strcasecmp(v, "no") == 0 || strcasecmp(v, "false") == 0 || std::strcmp(v, "0") == 0) algo->flash.use_bin = false;
            else refuse("use_bin is neither yes nor no: ", v);
            return;
        }
        if (sec != SEC_OTHER) note("unknown key ignored: ", k);
    }

    // One line, without its end; comments and quotes handled here.
    void parse_line(char* s) {
        bool quoted = false;
        for (char* p = s; *p; ++p) {
            if (*p == '"') quoted = !quoted;
            else if (*p == ';' && !quoted) {
                *p = 0;
                break;
            }
        }
        if (quoted) return (void)refuse("unterminated quote", "");
        trim(s);
        if (!*s) return;
        size_t n = std::strlen(s);
        if (s[0] == '[') {
            if (s[n - 1] != ']') return (void)refuse("section without its ']'", "");
            s[n - 1] = 0;
            trim(++s);
            if (std::strlen(s) >= ALGO_TEXT_LEN) return (void)refuse("section name longer than 63 characters", "");
            return section(s);
        }
        char* eq = std::strchr(s, '=');
        if (!eq) return (void)refuse("neither a section nor key = value", "");
        *eq = 0;
        char* v = eq + 1;
        trim(s);
        trim(v);
        size_t vn = std::strlen(v);
        if (vn >= 2 && v[0] == '"' && v[vn - 1] == '"') v[vn - 1] = 0, ++v;
        if (!*s) return (void)refuse("key missing before '='", "");
        if (sec == SEC_NONE) return note("key outside a section ignored: ", s);
        key(s, v);
    }
};

// Loops must close inside their sequence, at most eight deep.
void check_loops(IniReader* r, const Sequence* seq) {
    int depth = 0, at = 0;
    const char* what = nullptr;
    for (int i = 0; i < seq->step_count && !what; ++i) {
        const SeqOp op = seq->steps[i].op;
        at = i;
        if (op == SEQ_OP_LOOP_BEGIN && ++depth > ALGO_LOOP_DEPTH) what = "loops nested deeper than 8";
        else if (op == SEQ_OP_LOOP_END && --depth < 0) what = "loop_end without loop";
    }
    if (!what && depth > 0) what = "loop without loop_end";
    if (!what) return;
    log_addf(&logv, "[ALGO] %s: sequence '%s': %s (step %d)", r->file, seq->name, what, at);
    ++r->bad;
}

}  // namespace

bool target_algo_load(const char* path, TargetAlgo* algo) {
    if (!algo) return false;
    std::memset(algo, 0, sizeof *algo);
    if (!path || !*path) {
        log_add_line(&logv, "[ALGO] Cannot open INI: (no path)");
        return false;
    }
    const char* slash = std::strrchr(path, '/');
    const size_t dir_len = slash ? (size_t)(slash - path + 1) : 0;
    if (dir_len >= sizeof algo->base_dir) {
        log_addf(&logv, "[ALGO] INI path too long: %s", path);
        return false;
    }
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        log_addf(&logv, "[ALGO] Cannot open INI: %s", path);
        return false;
    }
    std::memcpy(algo->base_dir, path, dir_len);
    IniReader r{algo, slash ? slash + 1 : path, 0, 0, 0, SEC_NONE, nullptr};
    char line[ALGO_LINE_MAX + 2];
    bool end = false;
    while (!end && r.bad <= kMaxBadLines) {
        size_t n = 0;
        bool too_long = false, nul = false;
        int c;
        while ((c = std::fgetc(f)) != EOF && c != '\n') {
            if (c == 0) nul = true;
            if (n < ALGO_LINE_MAX + 1) line[n++] = (char)c;
            else too_long = true;
        }
        end = c == EOF;
        if (end && n == 0) break;
        ++r.line;
        if (n && line[n - 1] == '\r') --n;  // CR LF files count their CR as the line's end
        if (n > ALGO_LINE_MAX) too_long = true;
        line[n] = 0;
        if (too_long) r.refuse("line longer than 511 characters", "");
        else if (nul) r.refuse("binary data", "");
        else r.parse_line(line);
    }
    const bool read_error = std::ferror(f) != 0;  // a folder opens, but does not read
    std::fclose(f);
    if (read_error) {
        log_addf(&logv, "[ALGO] Cannot read INI: %s", path);
        return false;
    }
    if (r.bad > kMaxBadLines) log_addf(&logv, "[ALGO] %s: more than %d bad lines, reading stopped", r.file, kMaxBadLines);
    if (r.extra_seqs > 1) log_addf(&logv, "[ALGO] %s: %d sequences past the 16th ignored", r.file, r.extra_seqs);
    for (int i = 0; i < algo->seq_count; ++i) {
        check_loops(&r, &algo->sequences[i]);
        for (const SeqStep& st : algo->sequences[i].steps)
            if (st.op == SEQ_OP_CALL && !target_algo_find_seq(algo, st.call_name))
                log_addf(&logv, "[ALGO] %s: sequence '%s' calls '%s', which the file does not have", r.file,
                         algo->sequences[i].name, st.call_name);
    }
    const AlgoFlash& named = algo->flash;
    for (const char* n : {named.pre_flash_seq, named.post_flash_seq, named.watchdog_disable_seq, named.watchdog_feed_seq})
        if (*n && !target_algo_find_seq(algo, n))
            log_addf(&logv, "[ALGO] %s: [flash_algo] names sequence '%s', which the file does not have", r.file, n);
    AlgoFlash& fl = algo->flash;
    if (!fl.erase_ms) fl.erase_ms = 5000;
    if (!fl.program_ms) fl.program_ms = 500;
    if (!fl.page_size) fl.page_size = 256;
    if (r.bad) {
        log_addf(&logv, "[ALGO] INI %s refused: %d bad line(s)", path, r.bad);
        return false;
    }
    log_addf(&logv, "[ALGO] Loaded: %s  (%d sequences)", algo->device.name, algo->seq_count);
    return true;
}

void target_algo_free(TargetAlgo* algo) {
    if (!algo) return;
    std::free(algo->blob.data);
    algo->blob.data = nullptr;
    algo->blob.size = 0;
}

bool target_algo_unit_at(const AlgoFlash* fl, uint32_t addr, bool pages_too, uint32_t* start, uint32_t* size,
                         uint32_t* number) {
    if (!fl || addr < fl->flash_base || (uint64_t)addr >= (uint64_t)fl->flash_base + fl->flash_size) return false;
    const uint32_t off = addr - fl->flash_base;
    if (fl->sector_run_count > 0) {
        uint64_t at = 0;
        uint32_t n = 0;
        for (int i = 0; i < fl->sector_run_count && i < ALGO_MAX_SECTOR_RUNS; ++i) {
            const AlgoSectorRun& r = fl->sector_runs[i];
            const uint64_t end = at + (uint64_t)r.count * r.size;
            if (off < end) {
                const uint32_t k = (uint32_t)((off - at) / r.size);
                *start = fl->flash_base + (uint32_t)(at + (uint64_t)k * r.size);
                *size = r.size;
                *number = n + k;
                return true;
            }
            at = end;
            n += r.count;
        }
        return false;
    }
    const uint32_t unit = fl->sector_size ? fl->sector_size : pages_too ? fl->page_size : 0;
    if (!unit) return false;
    *number = off / unit;
    *start = fl->flash_base + *number * unit;
    *size = unit;
    return true;
}

const Sequence* target_algo_find_seq(const TargetAlgo* algo, const char* name) {
    for (int i = 0; algo && name && i < algo->seq_count && i < ALGO_MAX_SEQUENCES; ++i)
        if (std::strcmp(algo->sequences[i].name, name) == 0) return &algo->sequences[i];
    return nullptr;
}

// --- running -------------------------------------------------------------------

namespace {

// Ends every wait: the probe thread stopping, or the probe gone (its flag is
// read, not cleared: the probe thread's own test-and-clear still sees it).
const char* interrupted(const DapContext* dap) {
    if (g_stop.load()) return "stopped";
    if (dap->disconnected.load()) return "probe lost";
    return nullptr;
}

bool resolve(const SeqStep& s, int slot, const VarContext* vars, uint32_t* v) {
    if (!(s.arg_flags[slot] & SEQ_ARG_VAR)) return *v = slot == 0 ? s.val : s.mask, true;
    if (algo_var_get(vars, s.arg_names[slot], v)) return true;
    log_addf(&logv, "[ALGO] Unknown variable '%s'", s.arg_names[slot]);
    return false;
}

bool wait(DapContext* dap, uint32_t ms) {
    const uint64_t end = plat_time_ms() + ms;
    for (uint64_t now = plat_time_ms(); now < end; now = plat_time_ms()) {
        if (const char* why = interrupted(dap)) return log_addf(&logv, "[ALGO] wait_ms %u: %s", ms, why), false;
        const uint64_t left = end - now;
        plat_sleep_ms(left < kSleepSliceMs ? (uint32_t)left : kSleepSliceMs);
    }
    return true;
}

bool poll(DapContext* dap, const SeqStep& s, uint32_t* result) {
    const uint32_t expect = (uint32_t)std::strtoul(s.call_name, nullptr, 16);
    return target_algo_poll(dap, s.op == SEQ_OP_MEM_POLL ? -1 : s.apsel, s.reg, s.val, s.mask, expect, s.timeout_ms, result);
}

// SYSRESETREQ, and proof that it happened: S_RESET_ST (cleared by the read
// before the write) or a halt the core was not in. The chip may reset before
// the write is acknowledged, so a failed write alone does not decide.
bool reset_system(DapContext* dap) {
    uint32_t d = 0;
    const bool was_halted = dap_read_dhcsr(dap, &d) && (d & DAP_DHCSR_S_HALT);
    if (!dap_write_mem32(dap, DAP_AIRCR, kAircrSysResetReq)) {
        dap_dp_write(dap, 0x00, DAP_ABORT_ALL);
        ap_cache_invalidate(dap);
    }
    dap_invalidate_fpb_state();
    const uint64_t deadline = plat_time_ms() + kResetSeenMs;
    do {
        if (dap_read_dhcsr(dap, &d) && ((d & DAP_DHCSR_S_RESET_ST) || (!was_halted && (d & DAP_DHCSR_S_HALT)))) return true;
        if (interrupted(dap)) break;
        plat_sleep_ms(kSleepSliceMs);
    } while (plat_time_ms() < deadline);
    log_addf(&logv, "[ALGO] reset_halt: no reset seen (DHCSR=0x%08X)", d);
    return false;
}

struct Loop {
    int pos;
    uint32_t left;
};

bool run_seq(TargetAlgo* algo, const Sequence* seq, DapContext* dap, uint32_t* last_result, VarContext* vars, int depth);

bool run_step(TargetAlgo* algo, const Sequence* seq, DapContext* dap, uint32_t* res, VarContext* vars, int depth,
              int* pc, Loop* loops, int* nloops) {
    const SeqStep& s = seq->steps[*pc];
    uint32_t a = 0, b = 0;
    const int used = s.op == SEQ_OP_MEM_WRITE || s.op == SEQ_OP_MEM_WRITE16 || s.op == SEQ_OP_IF_EQ ? 2
                     : s.op == SEQ_OP_WRITE_REG || s.op == SEQ_OP_SET_VAR || s.op == SEQ_OP_LOOP_BEGIN ? 1 : 0;
    if ((used > 0 && !resolve(s, 0, vars, &a)) || (used > 1 && !resolve(s, 1, vars, &b))) return false;
    switch (s.op) {
    case SEQ_OP_NOP: return true;
    case SEQ_OP_DP_READ: return dap_dp_read(dap, s.reg, res);
    case SEQ_OP_DP_WRITE: return dap_dp_write(dap, s.reg, s.val);
    case SEQ_OP_AP_READ: return dap_ap_read(dap, s.apsel, s.reg, res);
    case SEQ_OP_AP_WRITE: return dap_ap_write(dap, s.apsel, s.reg, s.val);
    case SEQ_OP_MEM_READ: return dap_read_mem32(dap, s.val, res);
    case SEQ_OP_MEM_WRITE:
        if ((a & 3) == 0 && dap_write_mem32(dap, a, b)) return true;
        log_addf(&logv, "[ALGO] mem_write FAILED: addr=0x%08X val=0x%08X", a, b);
        return false;
    case SEQ_OP_MEM_WRITE16: {
        // A true half-word store: a read-modify-write of the word would also
        // write the other half, which flash controllers and W1C registers take badly.
        const uint16_t h = (uint16_t)b;
        if ((a & 1) == 0 && dap_write_halfwords(dap, a, &h, 1)) return true;
        log_addf(&logv, "[ALGO] mem_write16 FAILED: addr=0x%08X val=0x%04X", a, h);
        return false;
    }
    case SEQ_OP_MEM_POLL:
    case SEQ_OP_AP_POLL: return poll(dap, s, res);
    case SEQ_OP_WAIT_MS: return wait(dap, s.val);
    case SEQ_OP_CALL: {
        const Sequence* callee = target_algo_find_seq(algo, s.call_name);
        if (!callee) return log_addf(&logv, "[ALGO] call: sequence '%s' not found", s.call_name), false;
        uint32_t r = *res;
        if (!run_seq(algo, callee, dap, &r, vars, depth + 1)) return false;
        *res = r;
        return true;
    }
    case SEQ_OP_IF_EQ:
        if ((*res & b) == a) *pc += s.skip_count;
        return true;
    case SEQ_OP_RESTORE_AP0: dap_restore_ap0(dap); return true;
    case SEQ_OP_RESET_HALT: return reset_system(dap);
    case SEQ_OP_WRITE_REG: return dap_write_reg(dap, s.reg, a);
    case SEQ_OP_READ_REG: return dap_read_reg(dap, s.reg, res);
    case SEQ_OP_SET_VAR:
        if (std::strcmp(s.call_name, "$result") == 0) return *res = a, true;
        if (algo_var_set(vars, s.call_name, a)) return true;
        log_addf(&logv, "[ALGO] set_var: no room for '%s' (%d variables)", s.call_name, ALGO_MAX_VARS);
        return false;
    case SEQ_OP_LOOP_BEGIN:
        if (*nloops >= ALGO_LOOP_DEPTH) return log_add_line(&logv, "[ALGO] Loop stack overflow"), false;
        loops[(*nloops)++] = Loop{*pc, a ? a : 1};
        return true;
    case SEQ_OP_LOOP_END: {
        if (*nloops == 0) return log_add_line(&logv, "[ALGO] Loop end without loop begin"), false;
        Loop& l = loops[*nloops - 1];
        if (--l.left == 0) return --*nloops, true;
        if (const char* why = interrupted(dap)) return log_addf(&logv, "[ALGO] loop: %s", why), false;
        *pc = l.pos;
        return true;
    }
    }
    return log_addf(&logv, "[ALGO] unknown operation %d", (int)s.op), false;
}

bool run_seq(TargetAlgo* algo, const Sequence* seq, DapContext* dap, uint32_t* last_result, VarContext* vars, int depth) {
    if (depth > ALGO_CALL_DEPTH) {
        log_addf(&logv, "[ALGO] Calls nested deeper than %d at '%s'", ALGO_CALL_DEPTH, seq->name);
        return false;
    }
    uint32_t res = *last_result;
    if (!algo_var_set(vars, "$result", res)) {
        log_add_line(&logv, "[ALGO] No room for $result among the variables");
        return false;
    }
    Loop loops[ALGO_LOOP_DEPTH];
    int nloops = 0;
    const int count = seq->step_count < ALGO_MAX_STEPS ? seq->step_count : ALGO_MAX_STEPS;
    for (int pc = 0; pc < count; ++pc) {
        const int at = pc;
        if (!run_step(algo, seq, dap, &res, vars, depth, &pc, loops, &nloops)) {
            log_addf(&logv, "[ALGO] Sequence '%s' failed at step %d (op=%d)", seq->name, at, (int)seq->steps[at].op);
            return false;
        }
        algo_var_set(vars, "$result", res);
    }
    if (nloops) {
        log_addf(&logv, "[ALGO] Sequence '%s': loop at step %d has no loop_end", seq->name, loops[nloops - 1].pos);
        return false;
    }
    *last_result = res;
    return true;
}

}  // namespace

bool target_seq_run(TargetAlgo* algo, const char* name, DapContext* dap) { return target_seq_run_ex(algo, name, dap, nullptr); }

bool target_seq_run_ex(TargetAlgo* algo, const char* name, DapContext* dap, VarContext* vars) {
    const Sequence* seq = target_algo_find_seq(algo, name);
    if (!seq) {
        log_addf(&logv, "[ALGO] Sequence not found: '%s'", name ? name : "");
        return false;
    }
    if (!dap) {
        log_addf(&logv, "[ALGO] Sequence '%s': no probe", name);
        return false;
    }
    log_addf(&logv, "[ALGO] Running sequence: %s", name);
    VarContext local{};
    uint32_t result = 0;
    return run_seq(algo, seq, dap, &result, vars ? vars : &local, 0);
}

bool target_algo_poll(DapContext* dap, int ap, uint8_t reg, uint32_t addr, uint32_t mask, uint32_t expect,
                      uint32_t timeout_ms, uint32_t* result) {
    const bool mem = ap < 0;
    const uint64_t deadline = plat_time_ms() + timeout_ms;
    for (;;) {
        uint32_t v = 0;
        const bool ok = mem ? dap_read_mem32(dap, addr, &v) : dap_ap_read(dap, (uint8_t)ap, reg, &v);
        if (!ok) {
            if (mem) log_addf(&logv, "[ALGO] mem_poll: read failed at 0x%08X", addr);
            else log_addf(&logv, "[ALGO] ap_poll: read failed: ap=%d reg=0x%02X", ap, reg);
            return false;
        }
        *result = v;
        if ((v & mask) == expect) return true;
        if (const char* why = interrupted(dap)) return log_addf(&logv, "[ALGO] %s: %s", mem ? "mem_poll" : "ap_poll", why), false;
        if (plat_time_ms() >= deadline) break;
        plat_sleep_ms(1);
    }
    if (mem) log_addf(&logv, "[ALGO] mem_poll timeout: addr=0x%08X mask=0x%08X expect=0x%08X", addr, mask, expect);
    else log_addf(&logv, "[ALGO] ap_poll timeout: ap=%d reg=0x%02X mask=0x%08X", ap, reg, mask);
    return false;
}

bool target_seq_exec(TargetAlgo* algo, const Sequence* seq, DapContext* dap, VarContext* vars) {
    if (!algo || !seq || !dap || !vars) return false;
    uint32_t result = 0;
    algo_var_get(vars, "$result", &result);
    return run_seq(algo, seq, dap, &result, vars, 0);
}

bool target_algo_identify(DapContext* dap, const TargetAlgo* algo) {
    if (!dap || !algo || !algo->device.identify_reg) return false;
    const AlgoDevice& d = algo->device;
    uint32_t v = 0;
    if (!dap_read_mem32(dap, d.identify_reg, &v)) {
        log_addf(&logv, "[ALGO] identify: read of 0x%08X failed", d.identify_reg);
        return false;
    }
    const uint32_t m = d.identify_mask ? d.identify_mask : 0xFFFFFFFFu;
    return (v & m) == (d.identify_val & m);
}
