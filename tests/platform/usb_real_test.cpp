#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <dirent.h>
#include <fstream>
#include <locale.h>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include "platform/usb.h"
#include "tests/test_util.h"

// Defined in platform/usb_hidraw.cpp.
size_t usb_hidraw_wide_to_utf8(const wchar_t* in, char* out, size_t cap);

namespace {


std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// (vid, pid) of every USB device the kernel lists in sysfs; empty when there is no sysfs USB tree.
std::multiset<std::pair<uint16_t, uint16_t>> sysfs_usb_devices(bool* present) {
    std::multiset<std::pair<uint16_t, uint16_t>> out;
    DIR* d = opendir("/sys/bus/usb/devices");
    *present = d != nullptr;
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        // Interfaces are "1-1:1.0"; devices and root hubs have no colon.
        if (name[0] == '.' || name.find(':') != std::string::npos) continue;
        const std::string base = std::string("/sys/bus/usb/devices/") + name + "/";
        const std::string v = trim(read_text_file(base + "idVendor")), p = trim(read_text_file(base + "idProduct"));
        if (v.empty() || p.empty()) continue;
        out.insert({static_cast<uint16_t>(std::strtoul(v.c_str(), nullptr, 16)),
                    static_cast<uint16_t>(std::strtoul(p.c_str(), nullptr, 16))});
    }
    closedir(d);
    return out;
}

bool nul_within(const char* s, size_t cap) { return std::memchr(s, '\0', cap) != nullptr; }

// UTF-8 check through the C library's decoder.
bool valid_utf8(const char* s) {
    locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!loc) return false;
    locale_t old = uselocale(loc);
    std::mbstate_t st{};
    const char* p = s;
    bool ok = std::mbsrtowcs(nullptr, &p, 0, &st) != static_cast<size_t>(-1);
    uselocale(old);
    freelocale(loc);
    return ok;
}

// The C library's encoder, as the reference the converter is checked against.
bool libc_utf8(const std::wstring& w, std::string* out) {
    locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!loc) return false;
    locale_t old = uselocale(loc);
    out->clear();
    bool ok = true;
    std::mbstate_t st{};
    for (wchar_t c : w) {
        char b[MB_LEN_MAX];
        const size_t n = std::wcrtomb(b, c, &st);
        if (n == static_cast<size_t>(-1)) { ok = false; break; }
        out->append(b, n);
    }
    uselocale(old);
    freelocale(loc);
    return ok;
}

}  // namespace

TEST(LibusbBackend, ListsWhatTheKernelListsAndCleansUp) {
    const UsbBulkBackend* b = usb_libusb_backend();
    void* bus = nullptr;
    ASSERT_EQ(b->init(b->ctx, &bus), USB_OK);
    ASSERT_NE(bus, nullptr);
    void* list = nullptr;
    const int n = b->get_device_list(bus, &list);
    ASSERT_GE(n, 0) << usb_error_name(n);
    ASSERT_NE(list, nullptr);
    std::multiset<std::pair<uint16_t, uint16_t>> seen;
    for (int i = 0; i < n; ++i) {
        UsbDeviceDesc d{};
        ASSERT_EQ(b->get_device_descriptor(list, i, &d), USB_OK) << "device " << i;
        seen.insert({d.vid, d.pid});
    }
    // Past either end of the snapshot is refused, not read.
    UsbDeviceDesc d{};
    EXPECT_EQ(b->get_device_descriptor(list, n, &d), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->get_device_descriptor(list, -1, &d), USB_ERROR_INVALID_PARAM);
    void* h = reinterpret_cast<void*>(1);
    EXPECT_EQ(b->open(list, n, &h), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(h, nullptr);
    b->free_device_list(list);
    b->free_device_list(nullptr);

    bool sysfs = false;
    const auto kernel = sysfs_usb_devices(&sysfs);
    if (sysfs) {
        EXPECT_EQ(seen, kernel) << "libusb and sysfs disagree on the devices present";
    } else {
        EXPECT_EQ(n, 0) << "no sysfs USB tree, yet libusb found devices";
    }

    b->exit(bus);
    b->exit(nullptr);
}

TEST(LibusbBackend, InitTwiceGivesIndependentContexts) {
    const UsbBulkBackend* b = usb_libusb_backend();
    void *a = nullptr, *c = nullptr;
    ASSERT_EQ(b->init(b->ctx, &a), USB_OK);
    ASSERT_EQ(b->init(b->ctx, &c), USB_OK);
    EXPECT_NE(a, c);
    b->exit(a);
    void* list = nullptr;
    EXPECT_GE(b->get_device_list(c, &list), 0);
    b->free_device_list(list);
    b->exit(c);
}

TEST(LibusbBackend, NoHandleIsRefusedNotDereferenced) {
    const UsbBulkBackend* b = usb_libusb_backend();
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(b->get_string_ascii(nullptr, 1, buf, sizeof buf), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(buf[0], '\0');
    UsbConfigDesc cfg;
    EXPECT_EQ(b->get_active_config(nullptr, &cfg), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->claim_interface(nullptr, 0), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->release_interface(nullptr, 0), USB_ERROR_INVALID_PARAM);
    uint8_t data[4] = {};
    int done = 77;
    EXPECT_EQ(b->bulk_transfer(nullptr, 0x81, data, sizeof data, &done, 10), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(done, 0);
    b->close(nullptr);
}

TEST(LibusbBackend, StringsStayInsideTheirBufferOnEveryOpenableDevice) {
    const UsbBulkBackend* b = usb_libusb_backend();
    void* bus = nullptr;
    ASSERT_EQ(b->init(b->ctx, &bus), USB_OK);
    void* list = nullptr;
    const int n = b->get_device_list(bus, &list);
    ASSERT_GE(n, 0);
    int opened = 0;
    for (int i = 0; i < n; ++i) {
        UsbDeviceDesc d{};
        ASSERT_EQ(b->get_device_descriptor(list, i, &d), USB_OK);
        void* h = nullptr;
        if (b->open(list, i, &h) != USB_OK) continue;  // most devices are not ours to open
        ++opened;
        for (uint8_t idx : {d.i_manufacturer, d.i_product, d.i_serial}) {
            for (int cap : {1, 2, 3, 7, 64, 256}) {
                std::vector<char> mem(static_cast<size_t>(cap) + 16, '\x5a');
                const int r = b->get_string_ascii(h, idx, mem.data(), cap);
                for (size_t k = static_cast<size_t>(cap); k < mem.size(); ++k)
                    ASSERT_EQ(mem[k], '\x5a') << "wrote past cap " << cap << " for string " << int(idx);
                ASSERT_TRUE(nul_within(mem.data(), static_cast<size_t>(cap)));
                if (idx == 0) {
                    EXPECT_EQ(r, USB_ERROR_NOT_FOUND);
                }
                if (r >= 0) {
                    EXPECT_LT(r, cap);
                    EXPECT_EQ(std::strlen(mem.data()), static_cast<size_t>(r));
                }
            }
        }
        UsbConfigDesc cfg;
        if (b->get_active_config(h, &cfg) == USB_OK) {
            EXPECT_LE(cfg.num_alts, USB_MAX_ALTSETTINGS);
            for (int a = 0; a < cfg.num_alts; ++a) EXPECT_LE(cfg.alts[a].num_endpoints, USB_MAX_ENDPOINTS);
        }
        b->close(h);
    }
    b->free_device_list(list);
    b->exit(bus);
    if (opened == 0) GTEST_SKIP() << n << " USB devices listed, none could be opened";
}

TEST(HidrawBackend, EnumeratesOnlyWhatTheKernelHasWithTerminatedFields) {
    const UsbHidBackend* h = usb_hidraw_backend();
    std::vector<UsbHidDeviceInfo> out(USB_MAX_HID_DEVICES);
    std::memset(out.data(), 'q', out.size() * sizeof out[0]);
    const int n = h->enumerate(h->ctx, out.data(), static_cast<int>(out.size()));
    ASSERT_GE(n, 0) << usb_error_name(n);
    ASSERT_LE(n, static_cast<int>(out.size()));
    for (int i = 0; i < n; ++i) {
        ASSERT_TRUE(nul_within(out[i].path, sizeof out[i].path)) << "entry " << i;
        ASSERT_TRUE(nul_within(out[i].product, sizeof out[i].product)) << "entry " << i;
        EXPECT_TRUE(valid_utf8(out[i].product)) << out[i].product;
        // hidraw paths are /dev/hidrawN, and the kernel lists each under /sys/class/hidraw.
        const char* slash = std::strrchr(out[i].path, '/');
        ASSERT_NE(slash, nullptr) << out[i].path;
        const std::string sys = std::string("/sys/class/hidraw/") + (slash + 1);
        EXPECT_EQ(access(sys.c_str(), F_OK), 0) << out[i].path << " is not a hidraw node";
    }
    // Entries past the count are left alone.
    if (n < static_cast<int>(out.size())) {
        EXPECT_EQ(out[n].path[0], 'q');
    }
    EXPECT_EQ(h->enumerate(h->ctx, out.data(), 0), 0);
    EXPECT_EQ(h->enumerate(h->ctx, nullptr, 4), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(h->enumerate(h->ctx, out.data(), -1), USB_ERROR_INVALID_PARAM);
    if (n > 0) {
        EXPECT_EQ(h->enumerate(h->ctx, out.data(), 1), 1);
    }
}

TEST(HidrawBackend, MissingPathOpensNothing) {
    const UsbHidBackend* h = usb_hidraw_backend();
    EXPECT_EQ(h->open_path(h->ctx, "/dev/hidraw-korvane-does-not-exist"), nullptr);
    EXPECT_EQ(h->open_path(h->ctx, "/nonexistent/dir/hidraw0"), nullptr);
    EXPECT_EQ(h->open_path(h->ctx, ""), nullptr);
    EXPECT_EQ(h->open_path(h->ctx, nullptr), nullptr);
    uint8_t buf[65] = {};
    EXPECT_EQ(h->write(nullptr, buf, sizeof buf, 10), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(h->read(nullptr, buf, sizeof buf, 10), USB_ERROR_INVALID_PARAM);
    h->close(nullptr);
}

TEST(HidrawProductString, MatchesTheCLibraryEncoder) {
    const std::vector<std::wstring> cases = {
        L"", L"CMSIS-DAP", L"Caf\u00e9 \u00b5Link", L"\u20ac\u4e2d\u6587 probe", L"\U0001F600 DAPLink \U0010FFFF",
        L"\u007f\u0080\u07ff\u0800\uffff\U00010000",
    };
    for (const auto& w : cases) {
        std::string want;
        ASSERT_TRUE(libc_utf8(w, &want)) << "C.UTF-8 locale missing";
        char out[256];
        const size_t n = usb_hidraw_wide_to_utf8(w.c_str(), out, sizeof out);
        EXPECT_EQ(n, want.size());
        EXPECT_EQ(std::string(out), want);
    }
}

TEST(HidrawProductString, InvalidCodePointsBecomeQuestionMarks) {
    const wchar_t in[] = {L'A', static_cast<wchar_t>(0xD800), L'B', static_cast<wchar_t>(0xDFFF),
                          static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-5), L'C', 0};
    std::string probe;
    // The C library refuses surrogates and negatives; it still encodes values past
    // U+10FFFF (old 31-bit UTF-8), which Unicode excludes, so 0x110000 is not asked.
    for (size_t i : {1u, 3u, 5u}) EXPECT_FALSE(libc_utf8(std::wstring(1, in[i]), &probe)) << i;
    char out[256];
    EXPECT_EQ(usb_hidraw_wide_to_utf8(in, out, sizeof out), 7u);
    EXPECT_STREQ(out, "A?B???C");
    EXPECT_EQ(usb_hidraw_wide_to_utf8(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

TEST(HidrawProductString, LongStringsStopAtAWholeCharacterWithinBounds) {
    for (const wchar_t* unit : {L"a", L"\u00e9", L"\u20ac", L"\U0001F600", L"ab\u20ac"}) {
        std::wstring w;
        while (w.size() < 400) w += unit;
        std::string full;
        ASSERT_TRUE(libc_utf8(w, &full));
        char mem[256 + 16];
        std::memset(mem, '\x5a', sizeof mem);
        const size_t n = usb_hidraw_wide_to_utf8(w.c_str(), mem, 256);
        for (size_t k = 256; k < sizeof mem; ++k) ASSERT_EQ(mem[k], '\x5a');
        ASSERT_LE(n, 255u);
        ASSERT_EQ(mem[n], '\0');
        EXPECT_TRUE(valid_utf8(mem));
        // The longest prefix of the reference that fits and ends on a character boundary.
        size_t want = std::min<size_t>(255, full.size());
        while (want > 0 && (static_cast<unsigned char>(full[want]) & 0xC0) == 0x80) --want;
        EXPECT_EQ(std::string(mem, n), full.substr(0, want));
    }
    char tiny[1] = {'x'};
    EXPECT_EQ(usb_hidraw_wide_to_utf8(L"abc", tiny, 1), 0u);
    EXPECT_EQ(tiny[0], '\0');
}

TEST(UdevRule, EveryKnownProbeIsCoveredOnBothNodes) {
    const std::string path = std::string(KORVANE_SOURCE_DIR) + "/packaging/60-korvane-cmsis-dap.rules";
    std::ifstream f(path);
    ASSERT_TRUE(f.good()) << path;

    const std::set<std::string> match_keys = {"ACTION", "SUBSYSTEM", "KERNEL", "ATTR", "ATTRS", "ENV", "DRIVERS"};
    const std::set<std::string> assign_keys = {"MODE", "GROUP", "TAG", "GOTO", "LABEL", "ENV"};
    const std::regex token(R"re(^\s*([A-Z]+)(\{([A-Za-z_]+)\})?\s*(==|!=|\+=|:=|=)\s*"([^"]*)"\s*$)re");

    std::map<std::string, std::set<std::string>> covered;  // "usb"/"hidraw" -> "vvvv:pppp"
    std::set<std::string> product_match, gotos, labels;
    std::string line;
    int lineno = 0;
    while (std::getline(f, line)) {
        ++lineno;
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        std::map<std::string, std::string> kv;
        std::stringstream ss(t);
        std::string part;
        while (std::getline(ss, part, ',')) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(part, m, token)) << "line " << lineno << ": bad token '" << part << "'";
            const std::string key = m[1], op = m[4];
            const bool is_match = op == "==" || op == "!=";
            ASSERT_TRUE(is_match ? match_keys.count(key) : assign_keys.count(key))
                << "line " << lineno << ": " << key << op;
            kv[key + (m[3].matched ? "{" + m[3].str() + "}" : "") + op] = m[5];
        }
        if (kv.count("GOTO=")) gotos.insert(kv["GOTO="]);
        if (kv.count("LABEL=")) labels.insert(kv["LABEL="]);
        std::string node;
        if (kv.count("SUBSYSTEM==") && kv["SUBSYSTEM=="] == "usb") node = "usb";
        if (kv.count("KERNEL==") && kv["KERNEL=="] == "hidraw*") node = "hidraw";
        if (node.empty()) continue;
        EXPECT_EQ(kv["MODE="], "0660") << "line " << lineno;
        EXPECT_EQ(kv["GROUP="], "plugdev") << "line " << lineno;
        EXPECT_EQ(kv["TAG+="], "uaccess") << "line " << lineno;
        // The hidraw node's own attributes carry no IDs; they live on the USB parent.
        const std::string a = node == "usb" ? "ATTR" : "ATTRS";
        const std::string v = kv[a + "{idVendor}=="], p = kv[a + "{idProduct}=="];
        if (!v.empty() || !p.empty()) {
            EXPECT_TRUE(std::regex_match(v, std::regex("[0-9a-f]{4}"))) << "line " << lineno << ": " << v;
            EXPECT_TRUE(std::regex_match(p, std::regex("[0-9a-f]{4}"))) << "line " << lineno << ": " << p;
            covered[node].insert(v + ":" + p);
        }
        if (kv["ATTRS{product}=="] == "*CMSIS-DAP*") product_match.insert(node);
    }
    for (const auto& g : gotos) EXPECT_TRUE(labels.count(g)) << "GOTO " << g << " has no LABEL";

    const char* probes[] = {"0d28:0204", "0d28:0205", "1fc9:0143", "0483:374b", "0483:374e", "1366:0101",
                            "03eb:2141", "2341:003d", "04b4:f139", "2e8a:000c", "2e8a:0004"};
    for (const char* id : probes) {
        EXPECT_TRUE(covered["usb"].count(id)) << id << " missing for the USB node";
        EXPECT_TRUE(covered["hidraw"].count(id)) << id << " missing for the hidraw node";
    }
    EXPECT_TRUE(product_match.count("usb"));
    EXPECT_TRUE(product_match.count("hidraw"));
}
