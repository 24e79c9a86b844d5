// The watched variables: the user-interface thread edits the list, the probe
// thread reads where each one lives. Edits and reads meet under one lock.
#pragma once

#include <cstdint>

#include "symbols/elf_variable.h"

enum : int { WATCH_MAX = 32 };

// One row under an expanded watch: a member, a base class or an element.
enum : int { WATCH_CHILD_MAX = 64 };
struct WatchChild {
    char value[64];  // display text; "" until read
};

struct WatchEntry {
    ElfVariable var;
    char value[160];  // display text
    bool expanded;
    uint32_t id;  // unique per added watch: published values name the watch they belong to
    WatchChild children[WATCH_CHILD_MAX];  // filled by the display's refresh
};

// Rows a watch expands into: a structure's members, an array's elements (the first 64).
inline int watch_child_count(const ElfVariable& v) {
    uint32_t n = v.is_struct ? v.member_count : v.elem_count, cap = v.is_struct ? (uint32_t)ELF_MAX_MEMBERS : (uint32_t)WATCH_CHILD_MAX;
    return (int)(n < cap ? n : cap);
}

extern WatchEntry g_watch[WATCH_MAX];
extern int g_watch_count;

// The variables the Scope tab offers (filled from the debug information).
enum : int { VAR_LIST_MAX = 512 };
extern ElfVariable g_var_list[VAR_LIST_MAX];
extern int g_var_count;

// Where one watch lives, as the probe thread's readers need it.
struct WatchLoc {
    VarLocKind kind;
    int32_t value;
    uint32_t size;
    uint32_t id;
    uint32_t func_addr;  // locals: the function whose frame holds them
    uint8_t deref;       // bytes to read where the value points (a char pointer's string, a referent)
    uint64_t const_value;  // VAR_LOC_CONST
    uint8_t expr_len;      // VAR_LOC_EXPR
    uint8_t expr[sizeof(ElfVariable::expr)];
    // A location list: placed anew at its frame's pc on every read.
    bool moves;
    uint32_t var_unit, var_die, sub_die;
};
WatchLoc watch_loc_of(const ElfVariable& v, uint32_t id);

// Copies the first min(count, 32) locations, sized to what a poll reads (the
// first 64 bytes, 256 of an expanded watch); returns that count.
int watch_locations(WatchLoc out[WATCH_MAX]);
// Ignored for a null or unnamed variable, a full list or a name already watched.
bool watch_add(const ElfVariable* var);
void watch_remove(int i);
// Expanded watches read more of their value.
void watch_toggle_expanded(int i);
int watch_find_by_name(const char* name);
void watch_clear();
