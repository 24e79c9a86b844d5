// The program as a user gets it: installed by `cmake --install` or from the
// Debian package, run from there with the source and build trees out of its
// sight, everything it writes in the XDG folder.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/fatal.h"
#include "platform/paths.h"
#include "tests/app/x11_harness.h"

namespace fs = std::filesystem;

namespace {

// Every regular file under root, relative to it.
std::set<std::string> files_under(const std::string& root) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.insert(fs::relative(it->path(), root).string());
    return out;
}

bool starts_with(const std::string& s, const std::string& head) { return s.compare(0, head.size(), head) == 0; }

// A command to its end (five minutes at most): its exit code, its output in *out.
int command(const std::vector<std::string>& argv, std::string* out = nullptr, const std::vector<std::string>& env = {},
            const std::string& cwd = "/") {
    AppProcess p;
    if (!app_start_at(nullptr, argv, cwd, &p, env)) return -1;
    return app_wait(&p, 300000, out);
}

// What a user finds installed under a prefix (relative to it).
const char* const kInstalled[] = {
    "bin/korvane-debugger",
    "lib/udev/rules.d/60-korvane-cmsis-dap.rules",
    "share/applications/korvane-debugger.desktop",
    "share/icons/hicolor/16x16/apps/korvane-debugger.png",
    "share/icons/hicolor/32x32/apps/korvane-debugger.png",
    "share/icons/hicolor/48x48/apps/korvane-debugger.png",
    "share/icons/hicolor/256x256/apps/korvane-debugger.png",
    "share/korvane-debugger/firmware/demo_O0_dwarf4.elf",
    "share/korvane-debugger/firmware/demo_O0_dwarf4.bin",
    "share/korvane-debugger/firmware/demo_O0_dwarf4.hex",
    "share/korvane-debugger/svd/korvane_demo.svd",
    "share/korvane-debugger/src/main.c",
    "share/korvane-debugger/packs/Korvane.DemoBoard/Korvane.DemoBoard.pdsc",
    "share/korvane-debugger/packs/Korvane.DemoBoard/Flash/KorvaneF4_1024.FLM",
    "share/korvane-debugger/targets/stm32f4_blob.ini",
};

class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        char path[1024];
        for (const char* tool : {"Xvfb", "unshare", "mount"})
            if (!plat_find_in_path(tool, path, sizeof path)) GTEST_SKIP() << "needs " << tool;
        ASSERT_FALSE(tmp_.path.empty());
        ASSERT_TRUE(xserver_start(&x_, 1024, 768));
        find_sandbox();
    }
    void TearDown() override { xserver_stop(&x_); }

    // The source and build trees are covered by an empty read-only file system
    // in a mount namespace of the program's own, and its current folder is
    // made read-only there: it can neither read its data from the trees nor
    // write where it was started.
    void find_sandbox() {
        std::vector<std::string> hide = {KORVANE_SOURCE_DIR};
        const std::string build = fs::weakly_canonical(KORVANE_BUILD_DIR).string();
        if (!starts_with(build + "/", fs::weakly_canonical(KORVANE_SOURCE_DIR).string() + "/")) hide.push_back(build);
        script_ = "set -e; ro=$1; shift;";
        for (size_t i = 0; i < hide.size(); ++i) script_ += " mount -t tmpfs -o ro,size=16k none '" + hide[i] + "';";
        script_ += " mount --bind \"$ro\" \"$ro\"; mount -o remount,ro,bind \"$ro\"; cd \"$ro\"; exec \"$@\"";
        const std::string probe = tmp_.path + "/probe";
        fs::create_directories(probe);
        for (std::vector<std::string> flags : {std::vector<std::string>{"unshare", "-m"}, {"unshare", "-r", "-m"}}) {
            std::vector<std::string> argv = flags;
            argv.insert(argv.end(), {"sh", "-c", script_, "sh", probe, "true"});
            if (command(argv) == 0) {
                sandbox_ = flags;
                return;
            }
        }
        // Without mount namespaces the demo's data could come from the trees
        // unseen; the log still names the folder it was taken from.
        std::cout << "[ NOTE     ] no mount namespace here: the source tree stays visible to the program\n";
    }

    std::vector<std::string> in_sandbox(const std::string& cwd, const std::vector<std::string>& argv) const {
        if (sandbox_.empty()) return argv;
        std::vector<std::string> out = sandbox_;
        out.insert(out.end(), {"sh", "-c", script_, "sh", cwd});
        out.insert(out.end(), argv.begin(), argv.end());
        return out;
    }

    // The demo of the program installed under `prefix`, started from a fresh
    // read-only folder with HOME and XDG_CONFIG_HOME of its own: first for a
    // screenshot of its first frame, then until it has identified the
    // simulated board from the installed pack, ended as a user's logout would.
    void demo_check(const std::string& prefix, const std::string& name) {
        SCOPED_TRACE(name);
        const std::string run = tmp_.path + "/run-" + name, home = run + "/home", xdg = run + "/xdg", cwd = run + "/cwd",
                          out = run + "/out", cfg = xdg + "/korvane-debugger/", exe = prefix + "/bin/korvane-debugger";
        for (const std::string& d : {home, xdg, cwd, out}) fs::create_directories(d);
        ASSERT_EQ(chmod(cwd.c_str(), 0555), 0);
        const std::vector<std::string> env = {"HOME=" + home, "XDG_CONFIG_HOME=" + xdg, "LSAN_OPTIONS="};
        const std::set<std::string> before = files_under(tmp_.path);

        std::string said;
        AppProcess app;
        ASSERT_TRUE(app_start_at(&x_, in_sandbox(cwd, {exe, "--demo", "--screenshot", out + "/shot.png"}), cwd, &app, env));
        ASSERT_EQ(app_wait(&app, kPatienceMs, &said), 0) << said;
        std::string log = read_text_file(cfg + "debugger.log");
        for (const std::string& line : {"[CFG] Installed program; debugger.ini, debugger.log and elf_dump.txt are in " + cfg,
                                        "[CFG] Settings file " + cfg + "debugger.ini",
                                        "[CFG] Demo data in " + prefix + "/share/korvane-debugger/",
                                        std::string("[CFG] Demo mode: simulated CMSIS-DAP v2 (bulk) probe"),
                                        std::string("[ELF] Debug info loaded OK"), std::string("[SVD] Vendor loaded")})
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log << said;
        for (const char* wrong : {"[SRC] Cannot open", "Dump failed", "Dump not written", "Demo mode failed", "Load failed"})
            EXPECT_EQ(log.find(wrong), std::string::npos) << wrong << "\n" << log;
        // The window as drawn: the dark theme's title strip, and the demo's main.c
        // (from the installed sources) as light text in the Source panel.
        Image shot;
        ASSERT_TRUE(shot.load(out + "/shot.png"));
        ASSERT_EQ(shot.w, 800);
        ASSERT_EQ(shot.h, 600);
        const unsigned char* strip = shot.at(400, 15);
        EXPECT_TRUE(std::abs(strip[0] - 38) <= 2 && std::abs(strip[1] - 38) <= 2 && std::abs(strip[2] - 38) <= 2) << +strip[0] << "," << +strip[1] << "," << +strip[2];
        int text = 0;
        for (int y = 60; y < 400; ++y)
            for (int x = 200; x < 440; ++x) text += shot.at(x, y)[0] >= 180 && shot.at(x, y)[1] >= 180;
        EXPECT_GT(text, 500) << "the Source panel shows no text";

        said.clear();
        fs::remove(cfg + "debugger.log");  // the first run's lines are no sign of this one
        ASSERT_TRUE(app_start_at(&x_, in_sandbox(cwd, {exe, "--demo"}), cwd, &app, env));
        const bool identified = wait_until([&] {
            log = read_text_file(cfg + "debugger.log");
            return log.find("[MCU ID] ST: pack device STM32F405RG (Korvane.DemoBoard.pdsc)") != std::string::npos &&
                   log.find("[ELF] Dump written") != std::string::npos;
        });
        kill(app.pid, SIGTERM);
        EXPECT_EQ(app_wait(&app, kPatienceMs, &said), 0) << said;
        ASSERT_TRUE(identified) << log << said;
        const std::string dump = read_text_file(cfg + "elf_dump.txt");
        EXPECT_GT(dump.size(), 1000u);

        // Written: the log, the dump and the demo's session in the XDG folder,
        // and the screenshot asked for; nothing else anywhere in the tree.
        for (const std::string& f : files_under(tmp_.path)) {
            if (before.count(f)) continue;
            const std::string at = tmp_.path + "/" + f;
            EXPECT_TRUE(starts_with(at, cfg) || at == out + "/shot.png") << "written outside the XDG folder: " << at;
        }
        EXPECT_FALSE(plat_file_exists((cfg + "debugger.ini").c_str())) << "the demo leaves debugger.ini alone";
        EXPECT_TRUE(files_under(cwd).empty());
        EXPECT_TRUE(files_under(home).empty());
    }

    // Installs the build under `prefix` as a user would.
    void cmake_install(const std::string& prefix) {
        std::string out;
        ASSERT_EQ(command({KORVANE_CMAKE, "--install", KORVANE_BUILD_DIR, "--prefix", prefix}, &out), 0) << out;
        for (const char* f : kInstalled) EXPECT_TRUE(plat_file_exists((prefix + "/" + f).c_str())) << f;
    }

    TempDir tmp_{"kd_inst"};
    XServer x_;
    std::vector<std::string> sandbox_;
    std::string script_;
};

// One field of the package's control file.
std::string control_field(const std::string& deb, const char* field) {
    std::string out;
    command({"dpkg-deb", "-f", deb, field}, &out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// The package names of a Depends-style list, without versions or alternatives.
std::set<std::string> package_names(const std::string& list) {
    std::set<std::string> names;
    std::stringstream ss(list);
    for (std::string item; std::getline(ss, item, ',');) {
        item.erase(0, item.find_first_not_of(' '));
        names.insert(item.substr(0, item.find_first_of(" (|")));
    }
    return names;
}

}  // namespace

TEST_F(Installed, CmakeInstallGivesAProgramWhoseDemoRunsWithoutItsSourceTree) {
    const std::string prefix = tmp_.path + "/prefix";
    ASSERT_NO_FATAL_FAILURE(cmake_install(prefix));
    // The icon theme's sizes are what their folders say.
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const std::string n = std::to_string(size);
        Image icon;
        ASSERT_TRUE(icon.load(prefix + "/share/icons/hicolor/" + n + "x" + n + "/apps/korvane-debugger.png")) << n;
        EXPECT_EQ(icon.w, size);
        EXPECT_EQ(icon.h, size);
        EXPECT_EQ(icon.at(0, 0)[3], 0) << "the rounded corner is transparent";
        EXPECT_EQ(icon.at(size / 2, size / 2)[3], 255);
    }
    char validate[1024];
    if (plat_find_in_path("desktop-file-validate", validate, sizeof validate)) {
        std::string out;
        EXPECT_EQ(command({validate, prefix + "/share/applications/korvane-debugger.desktop"}, &out), 0) << out;
    }
    demo_check(prefix, "cmake");
}

TEST_F(Installed, TheDebianPackageInstallsIntoAThrowAwayRootAndItsDemoRuns) {
    char path[1024];
    for (const char* tool : {"dpkg", "dpkg-deb", "dpkg-shlibdeps"})
        if (!plat_find_in_path(tool, path, sizeof path)) GTEST_SKIP() << "needs " << tool;
    const std::string pkg = tmp_.path + "/pkg", prefix = tmp_.path + "/prefix", root = tmp_.path + "/root";
    std::string out;
    ASSERT_EQ(command({KORVANE_CPACK, "-G", "DEB", "--config", std::string(KORVANE_BUILD_DIR) + "/CPackConfig.cmake", "-B", pkg},
                      &out, {}, KORVANE_BUILD_DIR),
              0)
        << out;
    std::string deb;
    for (const auto& e : fs::directory_iterator(pkg))
        if (e.path().extension() == ".deb") deb = e.path().string();
    ASSERT_FALSE(deb.empty()) << out;
    std::cout << "[ NOTE     ] " << fs::path(deb).filename().string() << ": " << fs::file_size(deb) << " bytes\n";

    // The same files as `cmake --install`, under /usr.
    ASSERT_NO_FATAL_FAILURE(cmake_install(prefix));
    ASSERT_EQ(command({"dpkg-deb", "-c", deb}, &(out = "")), 0) << out;
    std::set<std::string> listed;
    std::stringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(" ./");
        if (!line.empty() && line[0] == '-' && at != std::string::npos) listed.insert(line.substr(at + 3));
    }
    std::set<std::string> want;
    for (const std::string& f : files_under(prefix)) want.insert("usr/" + f);
    EXPECT_EQ(listed, want);

    const std::set<std::string> depends = package_names(control_field(deb, "Depends"));
    for (const char* lib : {"libglfw3", "libusb-1.0-0", "libhidapi-hidraw0", "libpugixml1v5", "libfontconfig1"})
        EXPECT_TRUE(depends.count(lib)) << lib << " missing from: " << control_field(deb, "Depends");
    EXPECT_TRUE(package_names(control_field(deb, "Recommends")).count("zenity"));

    // Installed by dpkg itself into a root of its own. Its database knows
    // this machine's installed packages, so the dependencies are checked for
    // real; the maintainer scripts run outside a chroot and are told the root.
    const std::string admin = root + "/var/lib/dpkg";
    for (const char* d : {"info", "updates", "triggers"}) fs::create_directories(admin + "/" + d);
    std::string status, kept;
    std::stringstream host(read_text_file("/var/lib/dpkg/status"));
    for (std::string line; std::getline(host, line);) {
        if (!line.empty()) {
            status += line + "\n";
            continue;
        }
        if (status.find("\nStatus: install ok installed\n") != std::string::npos) kept += status + "\n";
        status.clear();
    }
    if (status.find("\nStatus: install ok installed\n") != std::string::npos) kept += status + "\n";
    ASSERT_TRUE(write_text_file(admin + "/status", kept) && write_text_file(admin + "/available", ""));
    std::vector<std::string> dpkg = {"dpkg", "--root=" + root, "--force-script-chrootless"};
    if (getuid() != 0) dpkg.push_back("--force-not-root");
    std::vector<std::string> install = dpkg;
    install.insert(install.end(), {"-i", deb});
    const std::vector<std::string> sbin = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};  // dpkg wants ldconfig at hand
    ASSERT_EQ(command(install, &(out = ""), sbin), 0) << out;
    demo_check(root + "/usr", "deb");

    // Purged, it leaves nothing behind.
    std::vector<std::string> purge = dpkg;
    purge.insert(purge.end(), {"-P", "korvane-debugger"});
    ASSERT_EQ(command(purge, &(out = ""), sbin), 0) << out;
    EXPECT_TRUE(files_under(root + "/usr").empty());
}

// The maintainer scripts reload udev's rules on a running system, and never
// fail an installation for want of udev.
TEST(PackageScripts, ReloadUdevOnlyOnTheRunningSystemAndToleratePlacesWithoutIt) {
    struct Case { const char *script, *arg, *root; int udevadm; const char* calls; } const cases[] = {
        // udevadm: 0 none on PATH, 1 succeeds, 2 fails
        {"postinst", "configure", "", 1, "control --reload-rules\ntrigger --subsystem-match=usb --subsystem-match=hidraw\n"},
        {"postinst", "configure", "", 2, "control --reload-rules\ntrigger --subsystem-match=usb --subsystem-match=hidraw\n"},
        {"postinst", "configure", "", 0, ""},
        {"postinst", "configure", "/srv/image", 1, ""},  // not the running system
        {"postinst", "abort-upgrade", "", 1, ""},
        {"postrm", "remove", "", 1, "control --reload-rules\n"},
        {"postrm", "purge", "", 2, "control --reload-rules\n"},
        {"postrm", "remove", "/srv/image", 1, ""},
        {"postrm", "upgrade", "", 1, ""},
    };
    TempDir tmp("kd_scripts");
    const std::string bin = tmp.path + "/bin", calls = tmp.path + "/calls";
    fs::create_directories(bin);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.script) + " " + c.arg + " root '" + c.root + "' udevadm " + std::to_string(c.udevadm));
        fs::remove(calls);
        fs::remove(bin + "/udevadm");
        if (c.udevadm) {
            ASSERT_TRUE(write_text_file(bin + "/udevadm", "#!/bin/sh\necho \"$*\" >> " + calls + "\nexit " +
                                                              std::to_string(c.udevadm - 1) + "\n"));
            ASSERT_EQ(chmod((bin + "/udevadm").c_str(), 0755), 0);
        }
        std::string out;
        const std::string script = std::string(KORVANE_SOURCE_DIR) + "/packaging/" + c.script;
        EXPECT_EQ(command({"/bin/sh", script, c.arg}, &out, {"PATH=" + bin, std::string("DPKG_ROOT=") + c.root}), 0) << out;
        EXPECT_EQ(read_text_file(calls), c.calls);
    }
}
