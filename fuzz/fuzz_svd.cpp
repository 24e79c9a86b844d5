// SVD register descriptions: the load, the merge of a vendor file with a core
// file, and the lookups the register panels run on what loads.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_file.h"
#include "symbols/svd.h"

namespace {

void check_name(const char* s, size_t cap) {
    if (strnlen(s, cap) >= cap) abort();
}

void query(const SvdDevice* dev) {
    int np = svd_peripheral_count(dev);
    for (int i = 0; i < np && i < 64; ++i) {
        SvdPeripheral* p = svd_get_peripheral(dev, i);
        check_name(p->name, sizeof p->name);
        int nr = svd_register_count(p);
        for (int k = 0; k < nr && k < 64; ++k) {
            SvdRegister* r = svd_get_register(p, k);
            check_name(r->name, sizeof r->name);
            SvdLocation loc;
            if (svd_lookup(dev, r->address, &loc)) {
                check_name(loc.full, sizeof loc.full);
                check_name(loc.periph, sizeof loc.periph);
                check_name(loc.reg, sizeof loc.reg);
            }
            SvdFieldValue fv[32];
            int nf = svd_decode_fields(dev, r->address, 0xA5C3F00Fu, fv, 32);
            if (nf < 0 || nf > 32) abort();
            for (int f = 0; f < nf; ++f) {
                check_name(fv[f].field, sizeof fv[f].field);
                if (fv[f].msb > 31 || fv[f].lsb > fv[f].msb) abort();
            }
            for (int f = 0; f < svd_field_count(r) && f < 64; ++f) check_name(svd_get_field(r, f)->name, 64);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    if (size > 0xFFFFFFFFu) return 0;
    SvdDevice* dev = svd_load_buffer((const char*)data, (uint32_t)size);
    if (!dev) return 0;
    query(dev);
    // The same document as both halves of a merge: every peripheral collides.
    if (SvdDevice* core = svd_load_buffer((const char*)data, (uint32_t)size)) {
        if (svd_merge(dev, core)) query(dev);
        svd_free(core);
    }
    svd_free(dev);
    return 0;
}
