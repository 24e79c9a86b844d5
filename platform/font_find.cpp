#include "platform/font_find.h"

#include <cstring>
#include <fontconfig/fontconfig.h>
#include <strings.h>

bool plat_find_font(const char* family, char* out, size_t cap) {
    if (!family || !out || cap == 0) return false;
    out[0] = 0;
    if (!FcInit()) return false;
    bool want_any_mono = strcasecmp(family, "monospace") == 0;
    FcPattern* pat = FcPatternCreate();
    if (!pat) return false;
    FcPatternAddString(pat, FC_FAMILY, (const FcChar8*)family);
    FcPatternAddInteger(pat, FC_WEIGHT, FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pat, FC_SLANT, FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult res;
    FcPattern* match = FcFontMatch(nullptr, pat, &res);
    FcPatternDestroy(pat);
    if (!match) return false;
    bool ok = false;
    FcChar8* file = nullptr;
    FcChar8* got_family = nullptr;
    int spacing = FC_PROPORTIONAL;
    FcPatternGetInteger(match, FC_SPACING, 0, &spacing);
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
        FcPatternGetString(match, FC_FAMILY, 0, &got_family) == FcResultMatch) {
        bool family_ok = want_any_mono ? spacing == FC_MONO
                                       : strcasecmp((const char*)got_family, family) == 0;
        size_t n = strlen((const char*)file);
        const char* ext = n >= 4 ? (const char*)file + n - 4 : "";
        // stb_truetype reads TrueType/OpenType outlines, not bitmap or Type 1 fonts.
        bool ttf = strcasecmp(ext, ".ttf") == 0 || strcasecmp(ext, ".otf") == 0;
        if (family_ok && ttf && n + 1 <= cap) {
            memcpy(out, file, n + 1);
            ok = true;
        }
    }
    FcPatternDestroy(match);
    return ok;
}
