#include "tests/app/x11_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <stb_image.h>
#include <stb_rect_pack.h>
#include <stb_truetype.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/fatal.h"
#include "platform/font_find.h"
#include "ui/font.h"

extern char** environ;

static bool file_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool have_program(const char* name) {
    char out[1024];
    return plat_find_in_path(name, out, sizeof out);
}

static std::vector<char*> env_with_display(const XServer* xs, std::vector<std::string>* storage,
                                           const std::vector<std::string>& extra) {
    storage->clear();
    auto overridden = [&](const char* e) {
        for (const std::string& x : extra) {
            size_t eq = x.find('=');
            if (eq != std::string::npos && strncmp(e, x.c_str(), eq + 1) == 0) return true;
        }
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (strncmp(*e, "DISPLAY=", 8) != 0 && strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0 &&
            strncmp(*e, "ASAN_OPTIONS=", 13) != 0 && !overridden(*e))
            storage->push_back(*e);
    if (xs && xs->display >= 0) storage->push_back("DISPLAY=" + xs->name());
    // The GL driver is unloaded at exit, so its leftovers cannot even be
    // attributed; leaks of our own code are found by the unit tests.
    storage->push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
    storage->insert(storage->end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (std::string& s : *storage) envp.push_back(s.data());
    envp.push_back(nullptr);
    return envp;
}

static pid_t spawn(const std::vector<std::string>& argv, const XServer* xs, int* out_fd, const char* cwd,
                   const std::vector<std::string>& extra_env = {}, bool with_stderr = false) {
    std::vector<std::string> env_storage;
    std::vector<char*> envp = env_with_display(xs, &env_storage, extra_env);
    std::vector<char*> av;
    for (const std::string& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int pipefd[2] = {-1, -1};
    if (out_fd) {
        if (pipe(pipefd) != 0) return -1;
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
        if (with_stderr) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
        posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    if (cwd) posix_spawn_file_actions_addchdir_np(&fa, cwd);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (out_fd) {
        close(pipefd[1]);
        if (rc != 0) {
            close(pipefd[0]);
            return -1;
        }
        fcntl(pipefd[0], F_SETFL, O_NONBLOCK);
        *out_fd = pipefd[0];
    }
    return rc == 0 ? pid : -1;
}

static void drain(int fd, std::string* out) {
    if (fd < 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        if (out) out->append(buf, (size_t)n);
    }
}

static int wait_pid(pid_t pid, int fd, int timeout_ms, std::string* out) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        drain(fd, out);
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            drain(fd, out);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool xserver_start(XServer* xs, int width, int height) {
    char xvfb[1024];
    if (!plat_find_in_path("Xvfb", xvfb, sizeof xvfb)) return false;
    for (int d = 90 + (getpid() % 200); d < 400; ++d) {
        std::string lock = "/tmp/.X" + std::to_string(d) + "-lock";
        std::string sock = "/tmp/.X11-unix/X" + std::to_string(d);
        if (file_exists(lock) || file_exists(sock)) continue;
        std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        XServer candidate;
        candidate.display = d;
        pid_t pid = spawn({xvfb, candidate.name(), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
                          nullptr, nullptr, nullptr);
        if (pid < 0) return false;
        bool lost = false;  // a race for the display
        if (wait_until([&] { return file_exists(sock) || (lost = waitpid(pid, nullptr, WNOHANG) == pid); }) && !lost) {
            xs->display = d;
            xs->width = width, xs->height = height;
            xs->pid = pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return true;
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return false;
}

void xserver_stop(XServer* xs) {
    if (xs->pid > 0) {
        kill(xs->pid, SIGTERM);
        if (wait_pid(xs->pid, -1, 5000, nullptr) < 0) kill(xs->pid, SIGKILL);
    }
    xs->pid = -1;
}

int run_command(const std::vector<std::string>& argv, const XServer* xs, int timeout_ms, std::string* out) {
    int fd = -1;
    pid_t pid = spawn(argv, xs, &fd, nullptr);
    if (pid < 0) return -1;
    int rc = wait_pid(pid, fd, timeout_ms, out);
    close(fd);
    return rc;
}

XServer no_display() { return XServer{}; }

bool app_start(const XServer& xs, const std::string& exe, const std::string& dir,
               const std::vector<std::string>& args, AppProcess* app, const std::vector<std::string>& extra_env) {
    std::string copy = dir + "/korvane-debugger";
    std::ifstream src(exe, std::ios::binary);
    std::ofstream dst(copy, std::ios::binary);
    dst << src.rdbuf();
    dst.close();
    if (!src || chmod(copy.c_str(), 0755) != 0) return false;
    std::vector<std::string> argv = {copy};
    argv.insert(argv.end(), args.begin(), args.end());
    app->dir = dir;
    // The program's stderr joins its stdout so tests can read its messages.
    app->pid = spawn(argv, &xs, &app->out_fd, dir.c_str(), extra_env, true);
    return app->pid > 0;
}

int app_wait(AppProcess* app, int timeout_ms, std::string* out) {
    if (app->pid <= 0) return -1;
    int rc = wait_pid(app->pid, app->out_fd, timeout_ms, out);
    close(app->out_fd);
    app->out_fd = -1;
    app->pid = -1;
    return rc;
}

int app_end(AppProcess* app, int timeout_ms, std::string* out) {
    if (app->pid > 0) kill(app->pid, SIGTERM);
    return app_wait(app, timeout_ms, out);
}

void app_kill(AppProcess* app) {
    if (app->pid > 0) {
        kill(app->pid, SIGKILL);
        waitpid(app->pid, nullptr, 0);
    }
    if (app->out_fd >= 0) close(app->out_fd);
    app->pid = -1;
    app->out_fd = -1;
}

bool image_load_png(const std::string& path, Image* img) {
    int n = 0;
    unsigned char* px = stbi_load(path.c_str(), &img->w, &img->h, &n, 4);
    if (!px) return false;
    img->rgba.assign(px, px + (size_t)img->w * img->h * 4);
    stbi_image_free(px);
    return true;
}

namespace {

// Printable ASCII packed as the program packs its atlas: same size, padding
// and oversampling, so each glyph's quad and coverage come out the same.
constexpr int kAtlas = 1024, kFirst = 32, kGlyphs = 95;
std::vector<unsigned char> s_atlas;
stbtt_packedchar s_glyphs[kGlyphs];

// GL_LINEAR with clamp-to-edge.
float atlas_sample(float u, float v) {
    const float fx = u * kAtlas - 0.5f, fy = v * kAtlas - 0.5f, ax = fx - std::floor(fx), ay = fy - std::floor(fy);
    auto at = [&](int dx, int dy) {
        const int x = std::clamp((int)std::floor(fx) + dx, 0, kAtlas - 1), y = std::clamp((int)std::floor(fy) + dy, 0, kAtlas - 1);
        return s_atlas[(size_t)y * kAtlas + x] / 255.0f;
    };
    return (at(0, 0) * (1 - ax) + at(1, 0) * ax) * (1 - ay) + (at(0, 1) * (1 - ax) + at(1, 1) * ax) * ay;
}

}  // namespace

bool layout_font_load() {
    if (font_atlas_ready()) return true;
    char path[1024];
    if (!plat_find_font("DejaVu Sans Mono", path, sizeof path) && !plat_find_font("monospace", path, sizeof path))
        return false;
    return font_atlas_load_file(path, UI_FONT_PX);
}

bool text_font_load() {
    if (!s_atlas.empty()) return true;
    char path[1024];
    if (!plat_find_font("DejaVu Sans Mono", path, sizeof path) && !plat_find_font("monospace", path, sizeof path))
        return false;
    std::string ttf = read_text_file(path);
    std::vector<unsigned char> atlas((size_t)kAtlas * kAtlas);
    stbtt_pack_context pc;
    if (ttf.empty() || !stbtt_PackBegin(&pc, atlas.data(), kAtlas, kAtlas, kAtlas, 1, nullptr)) return false;
    stbtt_PackSetOversampling(&pc, 2, 2);
    int ok = stbtt_PackFontRange(&pc, (const unsigned char*)ttf.data(), 0, UI_FONT_PX, kFirst, kGlyphs, s_glyphs);
    stbtt_PackEnd(&pc);
    if (ok) s_atlas = std::move(atlas);
    return ok != 0;
}

float text_width(const char* s) {
    float w = 0;
    for (; text_font_load() && *s; ++s)
        if (*s >= kFirst && *s < kFirst + kGlyphs) w += s_glyphs[*s - kFirst].xadvance;
    return w;
}

double text_match(const Image& img, int ox, int oy, const char* s, float x, float baseline, const float rgb[3]) {
    // The glyphs' quads, and around them a box with a margin.
    std::vector<stbtt_aligned_quad> quads;
    int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
    for (float px = x, py = baseline; text_font_load() && *s; ++s) {
        if (*s < kFirst || *s >= kFirst + kGlyphs) continue;
        stbtt_aligned_quad& q = quads.emplace_back();
        stbtt_GetPackedQuad(s_glyphs, kAtlas, kAtlas, *s - kFirst, &px, &py, &q, 1);
        x0 = std::min(x0, (int)std::floor(q.x0) - 2), x1 = std::max(x1, (int)std::ceil(q.x1) + 2);
        y0 = std::min(y0, (int)std::floor(q.y0) - 2), y1 = std::max(y1, (int)std::ceil(q.y1) + 2);
    }
    if (quads.empty() || ox + x0 < 0 || oy + y0 < 0 || ox + x1 > img.w || oy + y1 > img.h) return 0;
    // Each pixel's coverage, glyphs blended one over another.
    const int w = x1 - x0, h = y1 - y0;
    std::vector<float> cover((size_t)w * h, 0);
    for (const stbtt_aligned_quad& q : quads)
        for (int j = (int)std::floor(q.y0); j < (int)std::ceil(q.y1); ++j)
            for (int i = (int)std::floor(q.x0); i < (int)std::ceil(q.x1); ++i) {
                const float cx = (float)i + 0.5f, cy = (float)j + 0.5f;
                if (cx < q.x0 || cx >= q.x1 || cy < q.y0 || cy >= q.y1) continue;
                float a = atlas_sample(q.s0 + (cx - q.x0) / (q.x1 - q.x0) * (q.s1 - q.s0),
                                       q.t0 + (cy - q.y0) / (q.y1 - q.y0) * (q.t1 - q.t0));
                float& c = cover[(size_t)(j - y0) * w + (i - x0)];
                c = 1 - (1 - c) * (1 - a);
            }
    auto each = [&](auto fn) {
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) fn(cover[(size_t)j * w + i], img.at(ox + x0 + i, oy + y0 + j));
    };
    // The background: the median of the untouched pixels, channel by channel.
    std::vector<int> bg[3];
    each([&](float a, const unsigned char* p) {
        for (int ch = 0; a == 0 && ch < 3; ++ch) bg[ch].push_back(p[ch]);
    });
    if (bg[0].empty()) return 0;
    for (std::vector<int>& v : bg) std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    double signal = 0, err = 0;
    each([&](float a, const unsigned char* p) {
        for (int ch = 0; ch < 3; ++ch) {
            const float b = (float)bg[ch][bg[ch].size() / 2], fg = rgb[ch] * 255;
            signal += a * std::fabs(fg - b);
            err += std::fabs(p[ch] - (b + a * (fg - b)));
        }
    });
    return signal > 0 ? 1 - err / signal : 0;
}

std::string make_temp_dir(const char* tag) {
    std::string t = std::string("/tmp/kd_") + tag + "_XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

std::string read_text_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool write_text_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    f.close();
    if (!f) ADD_FAILURE() << "cannot write " << path;
    return (bool)f;
}

AppStats app_parse_stats(const std::string& out) {
    AppStats s;
    std::smatch m;
    std::regex re(R"(\[STATS\] frames=(\d+) seconds=([\d.]+) fps=([\d.]+) max_fps_1s=(\d+) cpu_s=([\d.]+) )"
                  R"(avg_frame_ms=([\d.]+) gl_error_frames=(\d+))");
    if (!std::regex_search(out, m, re)) return s;
    s.frames = std::stoi(m[1]);
    s.seconds = std::stod(m[2]);
    s.fps = std::stod(m[3]);
    s.max_fps = std::stoi(m[4]);
    s.cpu = std::stod(m[5]);
    s.frame_ms = std::stod(m[6]);
    s.gl_errors = std::stoi(m[7]);
    s.ok = true;
    std::regex per(R"(\[STATS\] per_frame gl_calls=([\d.]+) draws=([\d.]+) program_switches=([\d.]+) )"
                   R"(uniform_lookups=([\d.]+) uploads=([\d.]+))");
    if (std::regex_search(out, m, per)) {
        s.gl_calls = std::stod(m[1]);
        s.draws = std::stod(m[2]);
        s.program_switches = std::stod(m[3]);
        s.uniform_lookups = std::stod(m[4]);
        s.uploads = std::stod(m[5]);
    }
    return s;
}

// --- Screen ----------------------------------------------------------------------------

bool Screen::launch(const std::vector<std::string>& args, const char* ready) {
    unlink((dir + "/debugger.log").c_str());  // a line of the last run is no sign of this one
    if (!xs || !app_start(*xs, exe, dir, args, &app, env)) {
        ADD_FAILURE() << "could not start the program in " << dir;
        return false;
    }
    std::string found;
    if (run_command({"xdotool", "search", "--sync", "--name", "Korvane Debugger"}, xs, kPatienceMs, &found) != 0) {
        ADD_FAILURE() << "no window appeared\n" << log();
        return false;
    }
    wid = found.substr(0, found.find('\n'));
    if (!wait_for_log(ready, 0)) {
        ADD_FAILURE() << "no \"" << ready << "\" in the log\n" << log();
        return false;
    }
    return place();
}

bool Screen::place() {
    std::string geom;
    std::smatch m;
    if (run_command({"xdotool", "getwindowgeometry", "--shell", wid}, xs, kPatienceMs, &geom) != 0 ||
        !std::regex_search(geom, m, std::regex(R"(X=(-?\d+)\s+Y=(-?\d+)\s+WIDTH=(\d+)\s+HEIGHT=(\d+))"))) {
        ADD_FAILURE() << "no geometry for window " << wid << ": " << geom;
        return false;
    }
    ox = std::stoi(m[1]), oy = std::stoi(m[2]), ww = std::stoi(m[3]), wh = std::stoi(m[4]);
    return true;
}

bool Screen::place_until(const std::function<bool()>& done) {
    return wait_until([&] { return place() && done(); });
}

std::string Screen::log() const { return read_text_file(dir + "/debugger.log"); }

bool Screen::wait_for_log(const std::string& text, size_t from) const {
    return wait_until([&] {
        std::string l = log();
        return l.size() > from && l.find(text, from) != std::string::npos;
    });
}

int Screen::xdo(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    int rc = run_command(args, xs, kPatienceMs);
    if (rc != 0) ADD_FAILURE() << args[1] << " failed (" << rc << ")";
    return rc;
}

bool Screen::move(double x, double y) const {
    return xdo({"mousemove", std::to_string(ox + (int)x), std::to_string(oy + (int)y)}) == 0;
}

bool Screen::click(double x, double y, int button) const {
    const std::string b = std::to_string(button);
    if (!move(x, y) || xdo({"mousedown", b}) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    return xdo({"mouseup", b}) == 0;
}

bool Screen::drag(double x0, double y0, double x1, double y1) const {
    if (!move(x0, y0) || xdo({"mousedown", "1"}) != 0) return false;
    for (int i = 1; i <= 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        if (!move(x0 + (x1 - x0) * i / 5, y0 + (y1 - y0) * i / 5)) return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    return xdo({"mouseup", "1"}) == 0;
}

bool Screen::key(const char* keys) const { return xdo({"key", "--window", wid, keys}) == 0; }

Image Screen::shot(const char* name) const {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::string path = dir + "/" + name + ".png";
    Image img;
    if (run_command({"import", "-window", "root", path}, xs, kPatienceMs) != 0 || !image_load_png(path, &img)) {
        ADD_FAILURE() << "no screenshot " << path;
        img.w = xs ? xs->width : 0, img.h = xs ? xs->height : 0;  // blank: every probe finds nothing
        img.rgba.assign((size_t)img.w * img.h * 4, 0);
    }
    return img;
}

Image Screen::shot_until(const char* name, const std::function<bool(const Image&)>& want) const {
    Image img;
    wait_until([&] { return want(img = shot(name)); });
    return img;
}

bool Screen::seen(const char* name, const std::function<bool(const Image&)>& want) const {
    return wait_until([&] { return want(shot(name)); });
}

std::string Screen::wrong_after(const char* name, const std::function<std::string(const Image&)>& wrong) const {
    std::string w;
    shot_until(name, [&](const Image& i) { return (w = wrong(i)).empty(); });
    return w;
}

bool Screen::answer_dialogs_with(const std::string& path) {
    const std::string bin = dir + "/bin", stub = bin + "/zenity";
    if (mkdir(bin.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (!write_text_file(stub, "#!/bin/sh\necho \"$*\" > '" + dir + "/dialog_args'\necho '" + path + "'\n") ||
        chmod(stub.c_str(), 0755) != 0)
        return false;
    env.push_back("PATH=" + bin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    return true;
}

std::string Screen::ink(const Image& i, float x0, float y0, float x1, float y1) const {
    std::string s;
    for (int y = (int)y0; y < (int)y1; ++y)
        for (int x = (int)x0; x < (int)x1; ++x) s += std::max(i.at(ox + x, oy + y)[0], i.at(ox + x, oy + y)[1]) > 120 ? '#' : '.';
    return s;
}

std::string Screen::failed(std::initializer_list<std::pair<bool, const char*>> checks) {
    for (const auto& [ok, what] : checks)
        if (!ok) return what;
    return "";
}
