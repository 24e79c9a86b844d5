#include "app/app_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool app_parse_options(int argc, char** argv, AppOptions* o, char* err, unsigned err_cap) {
    *o = AppOptions{nullptr, 0, false, false, 800, 600, false, 0, false, false, false};
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(a, "--screenshot") == 0 && next) {
            o->screenshot_path = next;
            ++i;
        } else if (strcmp(a, "--exit-after") == 0 && next) {
            char* end = nullptr;
            o->exit_after_s = strtod(next, &end);
            if (!end || *end || o->exit_after_s <= 0) {
                snprintf(err, err_cap, "--exit-after needs a positive number of seconds, not '%s'", next);
                return false;
            }
            ++i;
        } else if (strcmp(a, "--size") == 0 && next) {
            int w = 0, h = 0;
            char tail = 0;
            if (sscanf(next, "%dx%d%c", &w, &h, &tail) != 2 || w < 300 || h < 200 || w > 16384 || h > 16384) {
                snprintf(err, err_cap, "--size needs WxH of at least 300x200, not '%s'", next);
                return false;
            }
            o->width = w;
            o->height = h;
            o->size_set = true;
            ++i;
        } else if (strcmp(a, "--force-redraw") == 0) {
            o->force_redraw = true;
        } else if (strcmp(a, "--light") == 0) {
            o->light_theme = true;
        } else if (strcmp(a, "--demo") == 0) {
            o->demo = 1;
        } else if (strcmp(a, "--demo-if-no-probe") == 0) {
            o->demo = 2;
        } else if (strcmp(a, "--demo-v1") == 0) {
            o->demo = o->demo ? o->demo : 1;
            o->demo_v1 = true;
        } else if (strcmp(a, "--all-panels") == 0) {
            o->all_panels = true;
        } else if (strcmp(a, "--stats") == 0) {
            o->print_stats = true;
        } else {
            snprintf(err, err_cap, "unknown option '%s'", a);
            return false;
        }
    }
    return true;
}
