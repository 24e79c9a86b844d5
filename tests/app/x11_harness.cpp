#include "tests/app/x11_harness.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <spawn.h>
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

static void nap(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        nap(50);
    }
}

// Spawns argv in `cwd` with DISPLAY naming the server (or none), its output to
// a pipe (*out_fd) or to nowhere, its errors to the same pipe or to nowhere.
static pid_t spawn(const std::vector<std::string>& argv, const XServer* xs, int* out_fd, const char* cwd = nullptr,
                   const std::vector<std::string>& extra_env = {}, bool with_stderr = false) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string name = std::string(*e).substr(0, strcspn(*e, "=") + 1);
        bool replaced = name == "DISPLAY=" || name == "WAYLAND_DISPLAY=" || name == "ASAN_OPTIONS=";
        for (const std::string& x : extra_env) replaced |= x.rfind(name, 0) == 0;
        if (!replaced) env.push_back(*e);
    }
    if (xs && xs->display >= 0) env.push_back("DISPLAY=:" + std::to_string(xs->display));
    // The GL driver is unloaded at exit, so its leftovers cannot even be
    // attributed; leaks of our own code are found by the unit tests.
    env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp, av;
    for (std::string& s : env) envp.push_back(s.data());
    for (const std::string& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    envp.push_back(nullptr), av.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int pipefd[2] = {-1, -1};
    if (out_fd && pipe(pipefd) != 0) return -1;
    if (out_fd) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1), posix_spawn_file_actions_addclose(&fa, pipefd[0]);
    else posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (with_stderr) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    else posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);  // Xvfb's chatter, among others
    if (cwd) posix_spawn_file_actions_addchdir_np(&fa, cwd);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (out_fd) {
        close(pipefd[1]);
        if (rc != 0) close(pipefd[0]);
        fcntl(pipefd[0], F_SETFL, O_NONBLOCK);
        *out_fd = rc == 0 ? pipefd[0] : -1;
    }
    return rc == 0 ? pid : -1;
}

static int wait_pid(pid_t pid, int fd, int timeout_ms, std::string* out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    for (;;) {
        for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
            if (out) out->append(buf, (size_t)n);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
                if (out) out->append(buf, (size_t)n);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        nap(10);
    }
}

bool xserver_start(XServer* xs, int width, int height) {
    int fd = -1;
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const pid_t pid = spawn({"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, nullptr, &fd);
    if (pid < 0) return false;
    std::string display;  // written once it takes connections
    wait_until([&] {
        for (char c; read(fd, &c, 1) == 1;) display += c;
        return display.find('\n') != std::string::npos || waitpid(pid, nullptr, WNOHANG) == pid;
    });
    close(fd);
    if (display.find('\n') == std::string::npos) return kill(pid, SIGKILL), waitpid(pid, nullptr, 0), false;
    *xs = XServer{std::stoi(display), width, height, pid};
    return true;
}

void xserver_stop(XServer* xs) {
    if (xs->pid > 0) kill(xs->pid, SIGTERM), wait_pid(xs->pid, -1, 5000, nullptr);
    xs->pid = -1;
}

int run_command(const std::vector<std::string>& argv, const XServer* xs, int timeout_ms, std::string* out) {
    int fd = -1;
    const pid_t pid = spawn(argv, xs, &fd);
    if (pid < 0) return -1;
    const int rc = wait_pid(pid, fd, timeout_ms, out);
    close(fd);
    return rc;
}

bool app_start(const XServer* xs, const std::string& exe, const std::string& dir, const std::vector<std::string>& args,
               AppProcess* app, const std::vector<std::string>& extra_env) {
    const std::string copy = dir + "/korvane-debugger";
    if (!write_text_file(copy, read_text_file(exe)) || chmod(copy.c_str(), 0755) != 0) return false;
    std::vector<std::string> argv = {copy};
    argv.insert(argv.end(), args.begin(), args.end());
    return app_start_at(xs, argv, dir, app, extra_env);
}

bool app_start_at(const XServer* xs, const std::vector<std::string>& argv, const std::string& cwd, AppProcess* app,
                  const std::vector<std::string>& extra_env) {
    // The program's stderr joins its stdout so tests can read its messages.
    app->pid = spawn(argv, xs, &app->out_fd, cwd.c_str(), extra_env, true);
    return app->pid > 0;
}

int app_wait(AppProcess* app, int timeout_ms, std::string* out) {
    if (app->pid <= 0) return -1;
    const int rc = wait_pid(app->pid, app->out_fd, timeout_ms, out);
    close(app->out_fd);
    *app = AppProcess{};
    return rc;
}

void app_kill(AppProcess* app) {
    if (app->pid > 0) kill(app->pid, SIGKILL), waitpid(app->pid, nullptr, 0);
    if (app->out_fd >= 0) close(app->out_fd);
    *app = AppProcess{};
}

double app_stat(const std::string& out, const char* key) {
    const size_t at = out.find(" " + std::string(key) + "=", out.find("[STATS]"));
    return at == std::string::npos ? NAN : strtod(out.c_str() + at + strlen(key) + 2, nullptr);
}

bool Image::load(const std::string& png) {
    int n = 0;
    unsigned char* px = stbi_load(png.c_str(), &w, &h, &n, 4);
    if (px) rgba.assign(px, px + (size_t)w * h * 4);
    stbi_image_free(px);
    return px != nullptr;
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

std::string font_path() {
    char path[1024] = "";
    if (!plat_find_font("DejaVu Sans Mono", path, sizeof path)) plat_find_font("monospace", path, sizeof path);
    return path;
}

}  // namespace

bool layout_font_load() { return font_atlas_ready() || font_atlas_load_file(font_path().c_str(), UI_FONT_PX); }

bool text_font_load() {
    if (!s_atlas.empty()) return true;
    const std::string ttf = read_text_file(font_path());
    std::vector<unsigned char> atlas((size_t)kAtlas * kAtlas);
    stbtt_pack_context pc;
    if (ttf.empty() || !stbtt_PackBegin(&pc, atlas.data(), kAtlas, kAtlas, kAtlas, 1, nullptr)) return false;
    stbtt_PackSetOversampling(&pc, 2, 2);
    const int ok = stbtt_PackFontRange(&pc, (const unsigned char*)ttf.data(), 0, UI_FONT_PX, kFirst, kGlyphs, s_glyphs);
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

bool Screen::open(int w, int h, std::string* why) {
    char path[1024];
    for (const char* tool : {"Xvfb", "xdotool", "import"})
        if (!plat_find_in_path(tool, path, sizeof path)) return *why = std::string("needs ") + tool, false;
    std::string t = "/tmp/kd_gui_XXXXXX";
    if (!mkdtemp(t.data()) || !xserver_start(&x, w, h)) return *why = "no folder or X server", false;
    dir = t;
    return true;
}

void Screen::close(bool keep) {
    app_kill(&app);
    xserver_stop(&x);
    if (!keep && !dir.empty()) (void)!system(("rm -rf " + dir).c_str());
}

int Screen::run(const std::vector<std::string>& args, std::string* out) {
    return app_start(&x, exe, dir, args, &app, env) ? app_wait(&app, kPatienceMs, out) : -2;
}

bool Screen::launch(const std::vector<std::string>& args, const char* ready) {
    unlink((dir + "/debugger.log").c_str());  // a line of the last run is no sign of this one
    if (!app_start(&x, exe, dir, args, &app, env)) return ADD_FAILURE() << "could not start the program", false;
    std::string found;
    if (run_command({"xdotool", "search", "--sync", "--name", "Korvane Debugger"}, &x, kPatienceMs, &found) != 0)
        return ADD_FAILURE() << "no window appeared\n" << log(), false;
    wid = found.substr(0, found.find('\n'));
    if (!wait_for_log(ready)) return ADD_FAILURE() << "no \"" << ready << "\" in the log\n" << log(), false;
    std::smatch m;  // the window's place, once it is shown
    if (run_command({"xdotool", "getwindowgeometry", "--shell", wid}, &x, kPatienceMs, &found) != 0 ||
        !std::regex_search(found, m, std::regex(R"(X=(-?\d+)\s+Y=(-?\d+)\s+WIDTH=(\d+)\s+HEIGHT=(\d+))")))
        return ADD_FAILURE() << "no geometry for window " << wid << ": " << found, false;
    ox = std::stoi(m[1]), oy = std::stoi(m[2]), ww = std::stoi(m[3]), wh = std::stoi(m[4]);
    return true;
}

std::string Screen::log() const { return read_text_file(dir + "/debugger.log"); }

bool Screen::wait_for_log(const std::string& text, size_t from) const {
    return wait_until([&] {
        const std::string l = log();
        return l.size() > from && l.find(text, from) != std::string::npos;
    });
}

int Screen::xdo(std::vector<std::string> args) const {
    args.insert(args.begin(), "xdotool");
    const int rc = run_command(args, &x, kPatienceMs);
    if (rc != 0) ADD_FAILURE() << args[1] << " failed (" << rc << ")";
    return rc;
}

bool Screen::move(double x, double y) const {
    return xdo({"mousemove", std::to_string(ox + (int)x), std::to_string(oy + (int)y)}) == 0;
}

bool Screen::click(double x, double y, int button) const {
    const std::string b = std::to_string(button);
    if (!move(x, y) || xdo({"mousedown", b}) != 0) return false;
    nap(80);
    return xdo({"mouseup", b}) == 0;
}

bool Screen::wheel(double x, double y, int n) const {
    bool ok = move(x, y);
    for (int i = 0; ok && i < std::abs(n); ++i) ok = xdo({"click", n > 0 ? "5" : "4"}) == 0;
    return ok;
}

Image Screen::shot(const char* name) const {
    nap(400);
    const std::string path = dir + "/" + name + ".png";
    Image img;
    if (run_command({"import", "-window", "root", path}, &x, kPatienceMs) != 0 || !img.load(path)) {
        ADD_FAILURE() << "no screenshot " << path;
        img.w = x.width, img.h = x.height;  // blank: every probe finds nothing
        img.rgba.assign((size_t)img.w * img.h * 4, 0);
    }
    return img;
}

bool Screen::seen(const char* name, const std::function<bool(const Image&)>& want) const {
    return wait_until([&] { return want(shot(name)); });
}

std::string Screen::wrong_after(const char* name, const std::function<std::string(const Image&)>& wrong) const {
    std::string w;
    seen(name, [&](const Image& i) { return (w = wrong(i)).empty(); });
    return w;
}

std::string Screen::failed(std::initializer_list<std::pair<bool, const char*>> checks) {
    auto bad = std::find_if(checks.begin(), checks.end(), [](const auto& c) { return !c.first; });
    return bad == checks.end() ? "" : bad->second;
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
