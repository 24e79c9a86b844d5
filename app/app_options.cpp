#include "app/app_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool app_parse_options(int argc, char** argv, AppOptions* o, char* err, unsigned err_cap) {
    *o = AppOptions{nullptr, 0, false, false, 800, 600, false, 0, false, false, false, false, false};
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
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            o->help = true;
        } else if (strcmp(a, "--version") == 0) {
            o->version = true;
        } else {
            snprintf(err, err_cap, "unknown option '%s' (--help lists the options)", a);
            return false;
        }
    }
    return true;
}

const char* app_usage_text() {
    return "Usage: korvane-debugger [OPTIONS]\n"
           "Source-level debugger and flash programmer for ARM Cortex-M through a CMSIS-DAP probe.\n"
           "The firmware ELF, SVD, BIN/HEX image and source folder are set in the window (saved in debugger.ini).\n"
           "\n"
           "  --demo               run on the simulated probe and STM32F405 board\n"
           "  --demo-if-no-probe   the simulated board only when no CMSIS-DAP probe is plugged in\n"
           "  --demo-v1            the simulated probe is a v1 (HID) one\n"
           "  --light              start in the light theme\n"
           "  --size WxH           initial window size (default 800x600, at least 300x200)\n"
           "  --all-panels         start with every panel open\n"
           "  --screenshot FILE    write the first frame after start-up to FILE (PNG), then exit\n"
           "  --exit-after SECONDS leave after this long\n"
           "  --force-redraw       draw a frame on every pass of the loop (benchmarks)\n"
           "  --stats              print frame statistics at exit\n"
           "  --version            print the version and exit\n"
           "  -h, --help           print this text and exit\n";
}

const char* app_version_text() { return "korvane-debugger " KORVANE_VERSION "\n"; }
