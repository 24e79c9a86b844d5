// Command-line options. --demo runs on the simulated probe and board; the
// others exist for the window tests and benchmarks, which need to look at a
// frame or count frames.
#pragma once

struct AppOptions {
    const char* screenshot_path;  // --screenshot FILE: write the first frame drawn after start-up, then exit
    double exit_after_s;          // --exit-after SECONDS: leave the loop after this long (0 = never)
    bool force_redraw;            // --force-redraw: ask for a frame on every pass
    bool light_theme;             // --light: start in the light theme
    int width, height;            // --size WxH: initial window size (default 800 x 600)
    bool print_stats;             // --stats: print frame statistics to stdout at exit
    int demo;                     // --demo: 1 always, 2 only when no USB probe is attached; 0 = off
    bool demo_v1;                 // --demo-v1: the simulated probe is a v1 (HID) one
    bool all_panels;              // --all-panels: start with every panel open
    bool help;                    // --help / -h: print the options and exit
    bool version;                 // --version: print the version and exit
    bool size_set;                // --size was given: it wins over the remembered size
};

// The text --help prints, and the one line --version prints.
const char* app_usage_text();
const char* app_version_text();

// False, with a message in `err`, on an unknown option or a bad value.
bool app_parse_options(int argc, char** argv, AppOptions* out, char* err, unsigned err_cap);
