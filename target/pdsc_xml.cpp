// The .pdsc reader: one device's record from a pack description, read with
// pugixml. A device's properties are spread over family, subFamily, device
// and variant; each level may add to (memory, algorithm, sequences) or
// redefine (processor and debug attributes, debugvars) what the levels
// around it say, so the record is built from that chain of elements only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <pugixml.hpp>

#include "target/pdsc.h"
#include "target/pdsc_priv.h"

namespace {

// Real packs run to a few hundred KB; larger ones exist (a megabyte or two with
// many families). Anything past this is not a pack description.
constexpr long kMaxFileBytes = 64L << 20;

// Outermost first: family, subFamily, device, variant.
struct Chain {
    pugi::xml_node lv[4];
    int n;
};

void copy_cut(char* dst, size_t cap, const char* src) {
    if (!src) src = "";
    size_t n = strlen(src);
    if (n >= cap) n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

uint32_t parse_num(const char* s) {
    if (!s || !*s) return 0;
    while (*s == ' ' || *s == '\t') ++s;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return (uint32_t)strtoull(s + 2, nullptr, 16);
    return (uint32_t)strtoull(s, nullptr, 10);
}

bool attr_true(const pugi::xml_node& n, const char* key) {
    const char* v = n.attribute(key).value();
    return strcmp(v, "1") == 0 || strcmp(v, "true") == 0;
}

bool is(const pugi::xml_node& n, const char* name) { return strcmp(n.name(), name) == 0; }

// Reads the file whole; false with the reason in err.
bool read_file(const char* path, char** out, size_t* len, char* err, size_t errcap) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        snprintf(err, errcap, "cannot open %s", path);
        return false;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
    if (size < 1 || size > kMaxFileBytes || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        snprintf(err, errcap, "file size %ld outside 1..%ld bytes", size, kMaxFileBytes);
        return false;
    }
    char* buf = (char*)malloc((size_t)size + 1);
    if (!buf) {
        fclose(f);
        snprintf(err, errcap, "out of memory for %ld bytes", size);
        return false;
    }
    size_t got = fread(buf, 1, (size_t)size, f);
    fclose(f);
    if (got != (size_t)size) {
        free(buf);
        snprintf(err, errcap, "short read (%zu of %ld bytes)", got, size);
        return false;
    }
    buf[size] = '\0';
    *out = buf;
    *len = (size_t)size;
    return true;
}

// Parses the file into doc; pugixml's own message with the line it stopped at.
bool load_doc(const char* path, pugi::xml_document& doc, char* err, size_t errcap) {
    char* buf = nullptr;
    size_t len = 0;
    if (!read_file(path, &buf, &len, err, errcap)) return false;
    pugi::xml_parse_result r;
    try {
        // parse_default keeps CDATA as text and drops comments and PIs.
        r = doc.load_buffer(buf, len, pugi::parse_default, pugi::encoding_auto);
    } catch (const std::exception& e) {  // only an allocation failure could get here
        free(buf);
        snprintf(err, errcap, "cannot parse: %s", e.what());
        return false;
    }
    if (!r) {
        int line = 1;
        for (size_t i = 0; i < (size_t)r.offset && i < len; ++i)
            if (buf[i] == '\n') ++line;
        snprintf(err, errcap, "line %d: %s", line, r.description());
        free(buf);
        return false;
    }
    free(buf);
    return true;
}

// Every selectable device in file order: a device, or each of its variants
// (with_devices: the device with variants too, before them). fn returns false
// to stop the walk.
template <class Fn>
void walk_devices(const pugi::xml_document& doc, bool with_devices, Fn&& fn) {
    pugi::xml_node devices = doc.child("package").child("devices");
    for (pugi::xml_node fam : devices.children("family")) {
        for (pugi::xml_node a : fam.children()) {
            pugi::xml_node sub, dev;
            if (is(a, "subFamily")) {
                sub = a;
            } else if (is(a, "device")) {
                dev = a;
            } else {
                continue;
            }
            pugi::xml_node first = sub ? sub.child("device") : dev;
            for (pugi::xml_node d = first; d; d = sub ? d.next_sibling("device") : pugi::xml_node()) {
                Chain c{};
                c.lv[c.n++] = fam;
                if (sub) c.lv[c.n++] = sub;
                c.lv[c.n++] = d;
                bool any_variant = false;
                if (with_devices && d.child("variant") && !fn(c, d.attribute("Dname").value())) return;
                for (pugi::xml_node v : d.children("variant")) {
                    any_variant = true;
                    Chain cv = c;
                    cv.lv[cv.n++] = v;
                    if (!fn(cv, v.attribute("Dvariant").value())) return;
                }
                if (!any_variant && !fn(c, d.attribute("Dname").value())) return;
            }
        }
    }
}

// On a multi-core device the record follows one processor: the first one the
// chain names. Elements without Pname apply to every processor.
bool applies(const pugi::xml_node& n, const char* pname) {
    const char* p = n.attribute("Pname").value();
    return !*p || !*pname || strcmp(p, pname) == 0;
}

void read_processor(const Chain& c, const char* pname, PdscProcessor* pr) {
    for (int i = 0; i < c.n; ++i)
        for (pugi::xml_node p : c.lv[i].children("processor")) {
            if (!applies(p, pname)) continue;
            // Later levels redefine single attributes; the rest stays.
            if (pugi::xml_attribute a = p.attribute("Dcore")) copy_cut(pr->core, sizeof pr->core, a.value());
            if (pugi::xml_attribute a = p.attribute("Dclock")) pr->clock_hz = parse_num(a.value());
            // Older packs write 1/0 where newer ones name the unit.
            if (pugi::xml_attribute a = p.attribute("Dfpu"))
                pr->has_fpu = strcmp(a.value(), "NO_FPU") != 0 && strcmp(a.value(), "0") != 0;
            if (pugi::xml_attribute a = p.attribute("Dtz"))
                pr->has_tz = strcmp(a.value(), "NO_TZ") != 0 && strcmp(a.value(), "0") != 0;
            if (pugi::xml_attribute a = p.attribute("Ddsp"))
                pr->has_dsp = strcmp(a.value(), "DSP") == 0 || strcmp(a.value(), "1") == 0;
            if (pugi::xml_attribute a = p.attribute("Dmpu"))
                pr->has_mpu = strcmp(a.value(), "MPU") == 0 || strcmp(a.value(), "1") == 0;
        }
}

void read_debug_config(const Chain& c, const char* pname, PdscDebugConfig* cfg) {
    const char* reset_cfg = nullptr;
    const char* reset_dbg = nullptr;
    for (int i = 0; i < c.n; ++i) {
        for (pugi::xml_node d : c.lv[i].children("debugconfig")) {
            if (pugi::xml_attribute a = d.attribute("default"))
                copy_cut(cfg->default_proto, sizeof cfg->default_proto, a.value());
            if (pugi::xml_attribute a = d.attribute("clock")) cfg->clock_hz = parse_num(a.value());
            if (d.attribute("swj")) cfg->swj = attr_true(d, "swj");
            if (pugi::xml_attribute a = d.attribute("defaultResetSequence")) reset_cfg = a.value();
        }
        // The format puts the default reset on <debug>, per processor.
        for (pugi::xml_node d : c.lv[i].children("debug"))
            if (applies(d, pname))
                if (pugi::xml_attribute a = d.attribute("defaultResetSequence")) reset_dbg = a.value();
    }
    const char* reset = reset_dbg ? reset_dbg : reset_cfg;
    copy_cut(cfg->default_reset, sizeof cfg->default_reset, reset && *reset ? reset : "ResetSystem");
}

const char* memory_key(const pugi::xml_node& m) {
    const char* name = m.attribute("name").value();
    return *name ? name : m.attribute("id").value();
}

void read_memories(const Chain& c, const char* pname, PdscDevice* dev) {
    pugi::xml_node kept[PDSC_MAX_MEMORIES];
    int n = 0;
    for (int i = 0; i < c.n; ++i)
        for (pugi::xml_node m : c.lv[i].children("memory")) {
            if (!applies(m, pname)) continue;
            int j = 0;
            while (j < n && strcmp(memory_key(kept[j]), memory_key(m)) != 0) ++j;
            if (j < n) {
                kept[j] = m;  // a deeper level redefines the memory of that name
            } else if (n < PDSC_MAX_MEMORIES) {
                kept[n++] = m;
            }
        }
    for (int j = 0; j < n; ++j) {
        PdscMemory* mem = &dev->memories[j];
        const pugi::xml_node& m = kept[j];
        copy_cut(mem->name, sizeof mem->name, memory_key(m));
        mem->start = parse_num(m.attribute("start").value());
        mem->size = parse_num(m.attribute("size").value());
        mem->is_default = attr_true(m, "default");
        mem->startup = attr_true(m, "startup");
        const char* access = m.attribute("access").value();
        if (!m.attribute("access")) {
            // The older id form says it by name: IROMn read/execute, IRAMn read/write.
            const char* id = m.attribute("id").value();
            access = strncmp(id, "IROM", 4) == 0 ? "rx" : strncmp(id, "IRAM", 4) == 0 ? "rw" : "";
        }
        mem->access_r = strchr(access, 'r') != nullptr;
        mem->access_w = strchr(access, 'w') != nullptr;
        mem->access_x = strchr(access, 'x') != nullptr;
    }
    dev->memory_count = n;
}

void fill_algo(const pugi::xml_node& a, PdscFlashAlgo* fa) {
    copy_cut(fa->name, sizeof fa->name, a.attribute("name").value());
    fa->start = parse_num(a.attribute("start").value());
    fa->size = parse_num(a.attribute("size").value());
    fa->ram_start = parse_num(a.attribute("RAMstart").value());
    fa->ram_size = parse_num(a.attribute("RAMsize").value());
    fa->is_default = attr_true(a, "default");
}

// Algorithms add up over the levels; the one a deeper level marks default wins,
// else the first of the deepest level that gives any.
void read_algorithm(const Chain& c, const char* pname, PdscDevice* dev) {
    pugi::xml_node first, chosen;
    for (int i = c.n - 1; i >= 0 && !chosen; --i)
        for (pugi::xml_node a : c.lv[i].children("algorithm")) {
            if (!applies(a, pname) || !*a.attribute("name").value()) continue;
            if (!first) first = a;
            if (attr_true(a, "default")) {
                chosen = a;
                break;
            }
        }
    if (!chosen) chosen = first;
    if (!chosen) return;
    fill_algo(chosen, &dev->flash_algo);
    dev->has_flash_algo = true;
    if (chosen.attribute("RAMstart") && chosen.attribute("RAMsize")) return;
    // Without its own RAM the algorithm runs in the device's writable default RAM.
    const PdscMemory* ram = nullptr;
    for (int j = 0; j < dev->memory_count && !ram; ++j)
        if (dev->memories[j].access_w && dev->memories[j].is_default) ram = &dev->memories[j];
    for (int j = 0; j < dev->memory_count && !ram; ++j)
        if (dev->memories[j].access_w) ram = &dev->memories[j];
    if (!ram) return;
    if (!chosen.attribute("RAMstart")) dev->flash_algo.ram_start = ram->start;
    if (!chosen.attribute("RAMsize")) dev->flash_algo.ram_size = ram->size;
}

// The deepest debugvars redefine the outer ones; the text pieces (CDATA too)
// joined up to the block text limit.
void read_debugvars(const Chain& c, const char* pname, PdscDevice* dev) {
    pugi::xml_node vars;
    for (int i = 0; i < c.n; ++i)
        for (pugi::xml_node v : c.lv[i].children("debugvars"))
            if (applies(v, pname)) vars = v;
    if (!vars) return;
    static thread_local char text[SEQ_BLOCK_TEXT + 1];
    size_t len = 0;
    text[0] = '\0';
    for (pugi::xml_node t : vars.children()) {
        if (t.type() != pugi::node_pcdata && t.type() != pugi::node_cdata) continue;
        size_t n = strlen(t.value());
        if (len + n > SEQ_BLOCK_TEXT) continue;
        memcpy(text + len, t.value(), n);
        len += n;
        text[len] = '\0';
    }
    parse_debugvars_text(text, dev);
}

SeqNode* empty_block(PdscSequence* s) {
    SeqNode* n = &s->pool[0];
    memset(n, 0, sizeof *n);
    n->type = SEQ_BLOCK;
    s->pool_used = 1;
    return n;
}

bool has_element_child(const pugi::xml_node& n) {
    for (pugi::xml_node c : n.children())
        if (c.type() == pugi::node_element) return true;
    return false;
}

// Sequences add up over the levels; one of the same name at a deeper level
// replaces the outer one in its place. Past 24 names the rest are dropped.
void read_sequences(const Chain& c, const char* pname, PdscDevice* dev) {
    pugi::xml_node kept[PDSC_MAX_SEQUENCES];
    char names[PDSC_MAX_SEQUENCES][64];
    int n = 0;
    for (int i = 0; i < c.n; ++i)
        for (pugi::xml_node group : c.lv[i].children("sequences"))
            for (pugi::xml_node s : group.children("sequence")) {
                const char* name = s.attribute("name").value();
                if (!*name || !applies(s, pname)) continue;
                char cut[64];
                copy_cut(cut, sizeof cut, name);
                int j = 0;
                while (j < n && strcmp(names[j], cut) != 0) ++j;
                if (j < n) {
                    kept[j] = s;
                } else if (n < PDSC_MAX_SEQUENCES) {
                    memcpy(names[n], cut, sizeof cut);
                    kept[n++] = s;
                }
            }
    for (int j = 0; j < n; ++j) {
        PdscSequence* seq = &dev->sequences[j];
        memcpy(seq->name, names[j], sizeof seq->name);
        seq->disabled = attr_true(kept[j], "disable");
        seq->pool_used = 0;
        if (seq->disabled || !has_element_child(kept[j])) {
            seq->root = empty_block(seq);
        } else {
            seq->root = parse_sequence_node(kept[j], seq, 0);
        }
    }
    dev->sequence_count = n;
}

void fill_device(const Chain& c, const char* name, PdscDevice* dev) {
    const pugi::xml_node& fam = c.lv[0];
    copy_cut(dev->device_name, sizeof dev->device_name, name);
    copy_cut(dev->family_name, sizeof dev->family_name, fam.attribute("Dfamily").value());
    copy_cut(dev->vendor_name, sizeof dev->vendor_name, fam.attribute("Dvendor").value());
    if (char* colon = strchr(dev->vendor_name, ':')) *colon = '\0';

    const char* pname = "";
    for (int i = 0; i < c.n && !*pname; ++i)
        for (pugi::xml_node p : c.lv[i].children("processor"))
            if (*p.attribute("Pname").value()) {
                pname = p.attribute("Pname").value();
                break;
            }
    read_processor(c, pname, &dev->processor);
    read_debug_config(c, pname, &dev->dbg_cfg);
    read_memories(c, pname, dev);
    read_algorithm(c, pname, dev);
    read_debugvars(c, pname, dev);
    read_sequences(c, pname, dev);
}

bool load(const char* path, const char* device_name, PdscDevice* dev) {
    pugi::xml_document doc;
    if (!load_doc(path, doc, dev->parse_error, sizeof dev->parse_error)) return false;
    Chain found{};
    const char* found_name = nullptr;
    walk_devices(doc, false, [&](const Chain& c, const char* name) {
        if (device_name && strcmp(name, device_name) != 0) {
            // A device with variants is still found by its own name.
            const pugi::xml_node& d = c.lv[c.n - 1];
            if (!is(d, "variant") || strcmp(d.parent().attribute("Dname").value(), device_name) != 0) return true;
            found = c;
            found.n--;
            found_name = device_name;
            return false;
        }
        found = c;
        found_name = name;
        return false;
    });
    if (!found_name) {
        snprintf(dev->parse_error, sizeof dev->parse_error, "Device '%s' not found in PDSC",
                 device_name ? device_name : "(any)");
        return false;
    }
    fill_device(found, found_name, dev);
    dev->valid = true;
    return true;
}

}  // namespace

bool pdsc_xml_load(const char* path, const char* device_name, PdscDevice* dev) {
    if (!dev) return false;
    memset(dev, 0, sizeof *dev);
    if (!path) {
        copy_cut(dev->parse_error, sizeof dev->parse_error, "no path");
        return false;
    }
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    copy_cut(dev->pdsc_filename, sizeof dev->pdsc_filename, base);
    try {
        return load(path, device_name, dev);
    } catch (...) {  // pugixml does not throw as built; an allocation might
        dev->valid = false;
        copy_cut(dev->parse_error, sizeof dev->parse_error, "out of memory");
        return false;
    }
}

namespace {

int list_names(const char* path, char (*names)[64], int max, bool with_devices) {
    if (!path || !names || max < 1) return 0;
    char err[128];
    try {
        pugi::xml_document doc;
        if (!load_doc(path, doc, err, sizeof err)) return 0;
        int count = 0;
        walk_devices(doc, with_devices, [&](const Chain&, const char* name) {
            if (count < max) copy_cut(names[count], 64, name);
            ++count;
            return true;
        });
        return count;
    } catch (...) {
        return 0;
    }
}

}  // namespace

int pdsc_xml_list_devices(const char* path, char (*names)[64], int max) {
    return list_names(path, names, max, false);
}

int pdsc_xml_list_names(const char* path, char (*names)[64], int max) { return list_names(path, names, max, true); }

bool pdsc_xml_find(const char* path, bool (*match)(const char*, void*), bool (*accept)(const PdscDevice*, void*),
                   void* user, PdscDevice* dev) {
    if (!path || !match || !accept || !dev) return false;
    try {
        pugi::xml_document doc;
        char err[128];
        if (!load_doc(path, doc, err, sizeof err)) return false;
        bool found = false;
        walk_devices(doc, true, [&](const Chain& c, const char* name) {
            if (!match(name, user)) return true;
            memset(dev, 0, sizeof *dev);
            fill_device(c, name, dev);
            dev->valid = true;
            found = accept(dev, user);
            return !found;
        });
        return found;
    } catch (...) {
        return false;
    }
}
