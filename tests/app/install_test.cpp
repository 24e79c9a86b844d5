// The program as a user gets it: installed by `cmake --install` or from its
// Debian package, run from there with the source and build trees hidden, all
// it writes in the XDG folder.
#include <csignal>
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "platform/paths.h"
#include "tests/app/x11_harness.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> files_under(const std::string& root) {
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.insert(fs::relative(it->path(), root).string());
    return out;
}

// A command to its end: its exit code, its output in *out.
int command(const std::vector<std::string>& argv, std::string* out = nullptr, const std::vector<std::string>& env = {}) {
    AppProcess p;
    return app_start_at(nullptr, argv, "/", &p, env) ? app_wait(&p, 300000, out) : -1;
}

class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.path.empty());
        if (!xserver_start(&x_, 1024, 768)) GTEST_SKIP() << "needs Xvfb";
        // In a mount namespace of the program's own, an empty read-only file system covers
        // the source and build trees, and its current folder ($1) is made read-only.
        script_ = "set -e; mount -t tmpfs -o ro none '" KORVANE_SOURCE_DIR "'; [ ! -d '" KORVANE_BUILD_DIR
                  "' ] || mount -t tmpfs -o ro none '" KORVANE_BUILD_DIR "'; "
                  "mount --bind \"$1\" \"$1\"; mount -o remount,ro,bind \"$1\"; cd \"$1\"; shift; exec \"$@\"";
        for (const char* flags : {"-m", "-rm"})
            if (command({"unshare", flags, "sh", "-c", script_, "sh", tmp_.path, "true"}) == 0) {
                unshare_ = flags;
                return;
            }
        std::cout << "[ NOTE     ] no mount namespace here: the source tree stays in the program's sight\n";
    }
    void TearDown() override { xserver_stop(&x_); }

    // The installed demo from a fresh read-only folder, HOME and XDG_CONFIG_HOME its
    // own: a screenshot of its first frame, then a run until the installed pack has
    // identified the board, ended as at logout. It writes only into the XDG folder.
    void demo_check(const std::string& prefix) {
        const std::string run = tmp_.path + "/run" + std::to_string(++runs_), cwd = run + "/cwd",
                          cfg = run + "/xdg/korvane-debugger/", shot = run + "/shot.png";
        for (const char* d : {"/home", "/xdg", "/cwd"}) fs::create_directories(run + d);
        ASSERT_EQ(chmod(cwd.c_str(), 0555), 0);
        const std::set<std::string> before = files_under(tmp_.path);
        auto start = [&](std::vector<std::string> argv, AppProcess* app) {
            argv.insert(argv.begin(), prefix + "/bin/korvane-debugger");
            if (!unshare_.empty()) argv.insert(argv.begin(), {"unshare", unshare_, "sh", "-c", script_, "sh", cwd});
            return app_start_at(&x_, argv, cwd, app, {"HOME=" + run + "/home", "XDG_CONFIG_HOME=" + run + "/xdg", "LSAN_OPTIONS="});
        };
        AppProcess app;
        std::string said, log;
        ASSERT_TRUE(start({"--demo", "--screenshot", shot}, &app));
        ASSERT_EQ(app_wait(&app, kPatienceMs, &said), 0) << said;
        log = read_text_file(cfg + "debugger.log");
        for (const std::string& line : {"[CFG] Installed program; debugger.ini, debugger.log and elf_dump.txt are in " + cfg,
                                        "[CFG] Demo data in " + prefix + "/share/korvane-debugger/",
                                        std::string("[ELF] Debug info loaded OK"), std::string("[SVD] Vendor loaded")})
            EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_EQ(log.find("[SRC] Cannot open"), std::string::npos) << log;
        // The dark theme's title strip, and main.c from the installed sources as light text in Source.
        Image img;
        ASSERT_TRUE(img.load(shot) && img.w == 800 && img.h == 600);
        EXPECT_LE(std::abs(img.at(400, 15)[0] - 38), 2);
        int text = 0;
        for (int y = 60; y < 400; ++y)
            for (int x = 200; x < 440; ++x) text += img.at(x, y)[0] >= 180 && img.at(x, y)[1] >= 180;
        EXPECT_GT(text, 500);

        fs::remove(cfg + "debugger.log");
        ASSERT_TRUE(start({"--demo"}, &app));
        EXPECT_TRUE(wait_until([&] {
            log = read_text_file(cfg + "debugger.log");
            return log.find("[MCU ID] ST: pack device STM32F405RG (Korvane.DemoBoard.pdsc)") != std::string::npos &&
                   log.find("[ELF] Dump written") != std::string::npos;
        })) << log;
        kill(app.pid, SIGTERM);
        EXPECT_EQ(app_wait(&app, kPatienceMs, &said), 0) << said;
        EXPECT_GT(fs::file_size(cfg + "elf_dump.txt"), 1000u);
        for (const std::string& f : files_under(tmp_.path))
            EXPECT_TRUE(before.count(f) || (tmp_.path + "/" + f).rfind(cfg, 0) == 0 || tmp_.path + "/" + f == shot)
                << "written outside the XDG folder: " << f;
    }

    TempDir tmp_{"kd_inst"};
    XServer x_;
    std::string script_, unshare_;
    int runs_ = 0;
};

}  // namespace

TEST_F(Installed, CmakeInstallRunsTheDemoWithoutTheSourceTree) {
    const std::string prefix = tmp_.path + "/prefix";
    std::string out;
    ASSERT_EQ(command({KORVANE_CMAKE, "--install", KORVANE_BUILD_DIR, "--prefix", prefix}, &out), 0) << out;
    for (int n : {16, 24, 32, 48, 64, 128, 256}) {  // each icon is as large as its folder says
        const std::string s = std::to_string(n);
        Image icon;
        EXPECT_TRUE(icon.load(prefix + "/share/icons/hicolor/" + s + "x" + s + "/apps/korvane-debugger.png") && icon.w == n &&
                    icon.h == n) << n;
    }
    EXPECT_EQ(command({"desktop-file-validate", prefix + "/share/applications/korvane-debugger.desktop"}, &out), 0) << out;
    EXPECT_TRUE(plat_file_exists((prefix + "/lib/udev/rules.d/60-korvane-cmsis-dap.rules").c_str()));
    demo_check(prefix);
}

TEST_F(Installed, TheDebianPackageInstallsIntoAThrowAwayRootAndItsDemoRuns) {
    const std::string root = tmp_.path + "/root", prefix = tmp_.path + "/prefix";
    std::string out, deb;
    ASSERT_EQ(command({KORVANE_CPACK, "-G", "DEB", "--config", KORVANE_BUILD_DIR "/CPackConfig.cmake", "-B", tmp_.path + "/pkg"},
                      &out), 0) << out;
    for (const auto& e : fs::directory_iterator(tmp_.path + "/pkg"))
        if (e.path().extension() == ".deb") deb = e.path().string();
    std::cout << "[ NOTE     ] " << deb << ": " << fs::file_size(deb) << " bytes\n";
    ASSERT_EQ(command({"dpkg-deb", "-f", deb, "Depends", "Recommends"}, &out), 0) << out;
    for (const char* p : {" libglfw3 (", " libusb-1.0-0 (", " libhidapi-hidraw0 (", " libpugixml1v5 (", " libfontconfig1 (",
                          "Recommends: zenity\n"})
        EXPECT_NE(out.find(p), std::string::npos) << p << " not in " << out;

    // dpkg itself installs it, checking its dependencies against this machine's
    // packages; the maintainer scripts run outside a chroot, told the root.
    fs::create_directories(root + "/var/lib/dpkg/info");
    fs::create_directories(root + "/var/lib/dpkg/updates");
    fs::copy_file("/var/lib/dpkg/status", root + "/var/lib/dpkg/status");
    std::vector<std::string> dpkg = {"dpkg", "--root=" + root, "--force-script-chrootless", "--force-not-root", "-i", deb};
    const std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};  // dpkg wants ldconfig at hand
    ASSERT_EQ(command(dpkg, &out, env), 0) << out;
    ASSERT_EQ(command({KORVANE_CMAKE, "--install", KORVANE_BUILD_DIR, "--prefix", prefix}, &out), 0) << out;
    EXPECT_EQ(files_under(root + "/usr"), files_under(prefix)) << "the package holds what cmake --install puts under /usr";
    demo_check(root + "/usr");
    dpkg[4] = "-P", dpkg[5] = "korvane-debugger";
    ASSERT_EQ(command(dpkg, &out, env), 0) << out;
    EXPECT_TRUE(files_under(root + "/usr").empty()) << "purged, it leaves nothing behind";
}

// The maintainer scripts reload udev on the running system only, and never fail for want of it.
TEST(PackageScripts, ReloadUdevOnTheRunningSystemOnlyAndNeverFailForIt) {
    TempDir tmp("kd_scripts");
    const std::string fake = tmp / "udevadm", calls = tmp / "calls";
    struct Case { const char *script, *arg, *root; int udevadm; const char* calls; } const cases[] = {  // udevadm: -1 none, else its exit code
        {"postinst", "configure", "", 1, "control --reload-rules\ntrigger --subsystem-match=usb --subsystem-match=hidraw\n"},
        {"postinst", "configure", "", -1, ""},
        {"postinst", "configure", "/srv/image", 0, ""},
        {"postrm", "purge", "", 1, "control --reload-rules\n"},
        {"postrm", "upgrade", "", 0, ""},
    };
    for (const Case& c : cases) {
        fs::remove(calls), fs::remove(fake);
        if (c.udevadm >= 0) {
            ASSERT_TRUE(write_text_file(fake, "#!/bin/sh\necho \"$*\" >> " + calls + "\nexit " + std::to_string(c.udevadm) + "\n") &&
                        chmod(fake.c_str(), 0755) == 0);
        }
        std::string out, what = std::string(c.script) + " " + c.arg + " root '" + c.root + "'";
        EXPECT_EQ(command({"/bin/sh", KORVANE_SOURCE_DIR "/packaging/" + std::string(c.script), c.arg}, &out,
                          {"PATH=" + tmp.path, std::string("DPKG_ROOT=") + c.root}), 0) << what << out;
        EXPECT_EQ(read_text_file(calls), c.calls) << what;
    }
}
