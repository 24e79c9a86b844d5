// Runs the real program in a private Xvfb server, looks at its frames and
// drives it with xdotool, as a person at the screen would.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct XServer {
    int display = -1;
    pid_t pid = -1;
    std::string name() const {
        // Appended rather than `":" + ...`, which trips a false -Wrestrict in GCC 12 at -O3.
        std::string s(":");
        s += std::to_string(display);
        return s;
    }
};

bool xserver_start(XServer* xs, int width, int height);
void xserver_stop(XServer* xs);

// Runs argv with DISPLAY set; returns the exit code, or -1 after timeout_ms
// (the process is killed). Standard output is collected into *out when given.
int run_command(const std::vector<std::string>& argv, const XServer* xs, int timeout_ms, std::string* out = nullptr);

struct AppProcess {
    pid_t pid = -1;
    int out_fd = -1;
    std::string dir;
};

// Copies the program into `dir` (its settings and log then live there) and starts it.
// `extra_env` entries are "NAME=value".
bool app_start(const XServer& xs, const std::string& exe, const std::string& dir,
               const std::vector<std::string>& args, AppProcess* app, const std::vector<std::string>& extra_env = {});
// A server without a running Xvfb: the program must find no display.
XServer no_display();
// Waits for the program to end; its exit code, or -1 on timeout (then killed).
int app_wait(AppProcess* app, int timeout_ms, std::string* out = nullptr);
void app_kill(AppProcess* app);

struct Image {
    int w = 0, h = 0;
    std::vector<unsigned char> rgba;
    const unsigned char* at(int x, int y) const { return &rgba[((size_t)y * w + x) * 4]; }
};
bool image_load_png(const std::string& path, Image* img);

// The program's font in this process's atlas, so measure_text and the layout
// pass place things where the program does (loaded once).
bool layout_font_load();

// Text as the program draws it (DejaVu Sans Mono at UI_FONT_PX): each glyph a quad
// of the same packed atlas, sampled linearly as the GL text shader samples it.
bool text_font_load();
float text_width(const char* s);
// How closely the screenshot shows `s` drawn at window point (x, baseline) in
// colour rgb over what surrounds it: about 1 where it is drawn so, about 0 or
// less where nothing or other text is. (ox, oy): the window's origin in img.
double text_match(const Image& img, int ox, int oy, const char* s, float x, float baseline, const float rgb[3]);

// The "[STATS]" lines the program prints at exit with --stats.
struct AppStats {
    bool ok = false;
    int frames = 0, max_fps = 0, gl_errors = 0;
    double seconds = 0, fps = 0, cpu = 0, frame_ms = 0;
    // GL calls per frame drawn.
    double gl_calls = 0, draws = 0, program_switches = 0, uniform_lookups = 0, uploads = 0;
};
AppStats app_parse_stats(const std::string& out);

std::string make_temp_dir(const char* tag);
std::string read_text_file(const std::string& path);
bool have_program(const char* name);
