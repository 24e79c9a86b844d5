// Reading a CMSIS flash algorithm (an FLM: a small position-independent ARM
// ELF). Everything in the file is untrusted: every offset, size and index is
// checked against the file before it is used, and sizes are added in 64 bits.
#include <cstdlib>
#include <cstring>

#include "flash/flm.h"
#include "platform/log_store.h"

namespace {

constexpr uint32_t kElfMagic = 0x464C457F;
constexpr uint32_t kTrapWord = 0xE7FDBE00;  // BKPT #0; B . — where every call returns to
constexpr uint32_t kDevDscrSize = 160;
// No algorithm RAM comes near this; it keeps a NOBITS size from the file
// from allocating gigabytes.
constexpr uint64_t kMaxBlob = 1u << 20;
constexpr int kMaxDataSections = 4;

uint16_t rd16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t rd32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

struct Sec {
    uint32_t name, type, addr, offset, size, link;
};

bool in_file(uint64_t off, uint64_t len, uint32_t file_size) { return off <= file_size && len <= file_size - off; }

// A NUL-terminated name at `off` of the table [tab_off, tab_off + tab_size).
bool name_is(const uint8_t* elf, const Sec& tab, uint32_t off, const char* want) {
    uint64_t n = std::strlen(want) + 1;
    if (off >= tab.size || n > tab.size - off) return false;
    return std::memcmp(elf + tab.offset + off, want, n) == 0;
}

bool fail(const char* why) {
    log_addf(&logv, "[FLM] ERROR: ELF %s", why);
    return false;
}

bool fail_free(FlmBlob* blob, const char* why) {
    flm_blob_free(blob);
    return fail(why);
}

void read_device(const uint8_t* d, uint32_t len, FlmInfo* info) {
    std::memcpy(info->dev_name, d + 2, 127);
    info->dev_name[127] = 0;
    info->page_size = rd32(d + 140);
    info->val_empty = d[148];
    uint32_t to_prog = rd32(d + 152), to_erase = rd32(d + 156);
    info->prog_timeout_ms = (to_prog == 0 || to_prog > 60000) ? 5000 : to_prog;
    info->erase_timeout_ms = (to_erase == 0 || to_erase > 120000) ? 30000 : to_erase;
    info->sector_count = 0;
    for (uint32_t at = kDevDscrSize; at + 8 <= len && info->sector_count < FLM_MAX_SECTORS; at += 8) {
        uint32_t sz = rd32(d + at), addr = rd32(d + at + 4);
        if (sz == 0xFFFFFFFF && addr == 0xFFFFFFFF) break;
        info->sectors[info->sector_count++] = FlmSectorInfo{sz, addr};
    }
}

}  // namespace

void flm_blob_free(FlmBlob* blob) {
    if (!blob) return;
    std::free(blob->blob);
    std::memset(blob, 0, sizeof *blob);
    blob->sym_init = blob->sym_uninit = blob->sym_erase_sector = blob->sym_program_page = blob->sym_erase_chip =
        FLM_SYM_ABSENT;
}

bool flm_parse_elf(const uint8_t* elf, uint32_t elf_size, FlmInfo* info, FlmBlob* blob) {
    if (!elf || !info || !blob) return false;
    std::memset(blob, 0, sizeof *blob);
    if (elf_size < 52) return fail("file shorter than its header");
    if (rd32(elf) != kElfMagic) return fail("bad magic");
    if (rd16(elf + 18) != 40) return fail("not an ARM file");
    const uint32_t shoff = rd32(elf + 32);
    const uint32_t shentsize = rd16(elf + 46), shnum = rd16(elf + 48), shstrndx = rd16(elf + 50);
    if (shentsize < 40) return fail("section header entry too small");
    if (shnum == 0) return fail("no sections");
    if (!in_file(shoff, (uint64_t)shnum * shentsize, elf_size)) return fail("section table outside the file");
    if (shstrndx >= shnum) return fail("section name table index out of range");

    auto sec_at = [&](uint32_t i) {
        const uint8_t* h = elf + shoff + (uint64_t)i * shentsize;
        return Sec{rd32(h), rd32(h + 4), rd32(h + 12), rd32(h + 16), rd32(h + 20), rd32(h + 24)};
    };
    const Sec names = sec_at(shstrndx);
    if (names.size == 0 || !in_file(names.offset, names.size, elf_size)) return fail("section name table unusable");

    int code = -1, devdscr = -1, symtab = -1, strtab = -1;
    int data[kMaxDataSections];
    int data_count = 0;
    for (uint32_t i = 0; i < shnum; ++i) {
        const Sec s = sec_at(i);
        if (s.name >= names.size) continue;
        if (s.type == 1 && code < 0 && name_is(elf, names, s.name, "PrgCode")) code = (int)i;
        else if ((s.type == 1 || s.type == 8) && name_is(elf, names, s.name, "PrgData")) {
            if (data_count == kMaxDataSections) return fail("too many PrgData sections");
            data[data_count++] = (int)i;
        } else if (s.type == 1 && devdscr < 0 && name_is(elf, names, s.name, "DevDscr")) devdscr = (int)i;
        else if (s.type == 2 && symtab < 0) symtab = (int)i;
        else if (s.type == 3 && i != shstrndx && strtab < 0) strtab = (int)i;
    }
    if (symtab >= 0) {
        // The symbol table names its own string table; trust that over file order.
        uint32_t link = sec_at((uint32_t)symtab).link;
        if (link < shnum && link != shstrndx && sec_at(link).type == 3) strtab = (int)link;
    }
    if (code < 0) return fail("no PrgCode section");
    const Sec c = sec_at((uint32_t)code);
    if (c.size == 0) return fail("empty PrgCode section");
    if (!in_file(c.offset, c.size, elf_size)) return fail("PrgCode outside the file");

    // Sections sit where their addresses put them, relative to PrgCode's:
    // a PROGBITS PrgData followed by a NOBITS one keeps both in place.
    uint64_t end = c.size;
    uint64_t rw = FLM_SYM_ABSENT;
    for (int k = 0; k < data_count; ++k) {
        const Sec d = sec_at((uint32_t)data[k]);
        if (d.addr < c.addr) return fail("PrgData below PrgCode");
        uint64_t rel = (uint64_t)d.addr - c.addr;
        if (rel < c.size && d.size) return fail("PrgData overlaps PrgCode");
        if (d.type == 1 && !in_file(d.offset, d.size, elf_size)) return fail("PrgData outside the file");
        if (rel + d.size > end) end = rel + d.size;
        if (rel < rw) rw = rel;
    }
    if (rw == FLM_SYM_ABSENT) rw = c.size;
    uint64_t total = (4 + end + 3) & ~(uint64_t)3;
    if (total > kMaxBlob) return fail("sections span too much memory");

    blob->blob = (uint8_t*)std::calloc(1, (size_t)total);
    if (!blob->blob) return fail("out of memory for the blob");
    blob->blob_size = (uint32_t)total;
    blob->rw_offset = (uint32_t)(4 + rw);
    blob->sym_init = blob->sym_uninit = blob->sym_erase_sector = blob->sym_program_page = blob->sym_erase_chip =
        FLM_SYM_ABSENT;
    for (int i = 0; i < 4; ++i) blob->blob[i] = (uint8_t)(kTrapWord >> (8 * i));
    std::memcpy(blob->blob + 4, elf + c.offset, c.size);
    for (int k = 0; k < data_count; ++k) {
        const Sec d = sec_at((uint32_t)data[k]);
        if (d.type == 1 && d.size) std::memcpy(blob->blob + 4 + (d.addr - c.addr), elf + d.offset, d.size);
    }

    if (symtab < 0 || strtab < 0) return fail_free(blob, "no symbol table");
    const Sec st = sec_at((uint32_t)symtab), str = sec_at((uint32_t)strtab);
    if (!in_file(st.offset, st.size, elf_size) || !in_file(str.offset, str.size, elf_size))
        return fail_free(blob, "symbol table outside the file");
    struct {
        const char* name;
        uint32_t* slot;
    } const wanted[] = {{"Init", &blob->sym_init},
                        {"UnInit", &blob->sym_uninit},
                        {"EraseSector", &blob->sym_erase_sector},
                        {"ProgramPage", &blob->sym_program_page},
                        {"EraseChip", &blob->sym_erase_chip}};
    for (uint32_t at = 0; at + 16 <= st.size; at += 16) {
        const uint8_t* sym = elf + st.offset + at;
        uint32_t name = rd32(sym), value = rd32(sym + 4) & ~1u;
        for (const auto& w : wanted)
            if (name_is(elf, str, name, w.name)) *w.slot = value;
    }
    // An entry point must lie inside the code, or the call jumps anywhere.
    for (const auto& w : wanted) {
        if (*w.slot != FLM_SYM_ABSENT && ((uint64_t)*w.slot < c.addr || (uint64_t)*w.slot - c.addr >= c.size)) {
            log_addf(&logv, "[FLM] ERROR: ELF symbol %s=0x%08X outside PrgCode", w.name, *w.slot);
            flm_blob_free(blob);
            return false;
        }
        if (*w.slot != FLM_SYM_ABSENT) *w.slot -= c.addr;
    }
    if (blob->sym_init == FLM_SYM_ABSENT || blob->sym_uninit == FLM_SYM_ABSENT ||
        blob->sym_erase_sector == FLM_SYM_ABSENT || blob->sym_program_page == FLM_SYM_ABSENT)
        return fail_free(blob, "lacks Init, UnInit, EraseSector or ProgramPage");

    // The device description: DevDscr is where CMSIS puts it; an old layout
    // keeps it at the start of PrgData.
    info->page_size = 0;
    info->prog_timeout_ms = 5000;
    info->erase_timeout_ms = 30000;
    if (devdscr >= 0) {
        const Sec d = sec_at((uint32_t)devdscr);
        if (d.size >= kDevDscrSize && in_file(d.offset, d.size, elf_size)) {
            read_device(elf + d.offset, d.size, info);
            devdscr = -2;  // used
        }
    }
    if (devdscr != -2) {
        for (int k = 0; k < data_count; ++k) {
            const Sec d = sec_at((uint32_t)data[k]);
            if (d.type == 1 && d.size >= kDevDscrSize) {
                read_device(elf + d.offset, d.size, info);
                break;
            }
        }
    }
    if (info->page_size == 0) info->page_size = 256;
    return true;
}
