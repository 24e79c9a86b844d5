// The real USB back-ends' input checks, the product strings HID probes
// report (against the C library's UTF-8 encoder), and the udev rule.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/usb.h"

// Defined in platform/usb_hidraw.cpp.
size_t usb_hidraw_wide_to_utf8(const wchar_t* in, char* out, size_t cap);

TEST(UsbBackends, NoHandleOrPathIsRefusedNotDereferenced) {
    const UsbBulkBackend* b = usb_libusb_backend();
    char buf[8] = "xxxxxxx";
    EXPECT_EQ(b->get_string_ascii(nullptr, 1, buf, sizeof buf), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(buf[0], '\0');
    UsbConfigDesc cfg;
    uint8_t data[65] = {};
    int done = 77;
    EXPECT_EQ(b->get_active_config(nullptr, &cfg), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->claim_interface(nullptr, 0), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->release_interface(nullptr, 0), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(b->bulk_transfer(nullptr, 0x81, data, 4, &done, 10), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(done, 0);
    b->close(nullptr);
    const UsbHidBackend* h = usb_hidraw_backend();
    for (const char* path : {"/dev/hidraw-korvane-does-not-exist", "/nonexistent/dir/hidraw0", "", (const char*)nullptr})
        EXPECT_EQ(h->open_path(h->ctx, path), nullptr) << (path ? path : "(null)");
    EXPECT_EQ(h->write(nullptr, data, sizeof data, 10), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(h->read(nullptr, data, sizeof data, 10), USB_ERROR_INVALID_PARAM);
    UsbHidDeviceInfo out[2];
    EXPECT_EQ(h->enumerate(h->ctx, out, 0), 0);
    EXPECT_EQ(h->enumerate(h->ctx, nullptr, 4), USB_ERROR_INVALID_PARAM);
    EXPECT_EQ(h->enumerate(h->ctx, out, -1), USB_ERROR_INVALID_PARAM);
    h->close(nullptr);
}

// What the C library's encoder makes of `w` in `cap` bytes: characters it
// refuses (surrogates, negatives) become '?', as do values past U+10FFFF
// (it still encodes those, as old 31-bit UTF-8 did); the string stops at the
// last whole character that fits with its NUL.
std::string reference_utf8(const std::wstring& w, size_t cap) {
    locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!loc) return "C.UTF-8 locale missing";
    locale_t old = uselocale(loc);
    std::string out;
    for (wchar_t c : w) {
        char b[MB_LEN_MAX];
        std::mbstate_t st{};
        const size_t n = c > 0x10FFFF ? size_t(-1) : std::wcrtomb(b, c, &st);
        const std::string ch = n == size_t(-1) ? "?" : std::string(b, n);
        if (out.size() + ch.size() + 1 > cap) break;
        out += ch;
    }
    uselocale(old);
    freelocale(loc);
    return out;
}

TEST(HidrawProductString, MatchesTheCLibraryEncoderWithinItsBuffer) {
    auto times = [](const std::wstring& unit) { std::wstring w; while (w.size() < 400) w += unit; return w; };
    struct Case { std::wstring in; size_t cap = 256; } const cases[] = {
        {L""}, {L"CMSIS-DAP"}, {L"Caf\u00e9 \u00b5Link"}, {L"\u20ac\u4e2d\u6587 probe"},
        {L"\U0001F600 DAPLink \U0010FFFF"}, {L"\u007f\u0080\u07ff\u0800\uffff\U00010000"},
        {{L'A', wchar_t(0xD800), L'B', wchar_t(0xDFFF), wchar_t(0x110000), wchar_t(-5), L'C'}},
        {times(L"a")}, {times(L"\u00e9")}, {times(L"\u20ac")}, {times(L"\U0001F600")}, {times(L"ab\u20ac")},
        {L"abc", 1}, {L"a\u20ac", 4}, {L"a\u20ac", 5},
    };
    for (const Case& c : cases) {
        const std::string want = reference_utf8(c.in, c.cap);
        std::vector<char> mem(c.cap + 16, '\x5a');
        const size_t n = usb_hidraw_wide_to_utf8(c.in.c_str(), mem.data(), c.cap);
        EXPECT_EQ(std::string(mem.data(), n), want) << want;
        EXPECT_EQ(mem[n], '\0') << want;
        EXPECT_EQ(std::string(mem.begin() + c.cap, mem.end()), std::string(16, '\x5a')) << "written past the buffer";
    }
    char out[4] = "x";
    EXPECT_EQ(usb_hidraw_wide_to_utf8(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

// Every known probe on both nodes, with the same access, and nothing else.
TEST(UdevRule, EveryKnownProbeIsCoveredOnBothNodes) {
    std::ifstream f(KORVANE_SOURCE_DIR "/packaging/60-korvane-cmsis-dap.rules");
    ASSERT_TRUE(f.good());
    const std::string access = R"re(, MODE="0660", GROUP="plugdev", TAG\+="uaccess")re";
    const std::regex usb(R"re(SUBSYSTEM=="usb", ATTR\{idVendor\}=="([0-9a-f]{4})", ATTR\{idProduct\}=="([0-9a-f]{4})")re" + access),
        hid(R"re(KERNEL=="hidraw\*", ATTRS\{idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f]{4})")re" + access),
        by_name(R"re((SUBSYSTEM=="usb"|KERNEL=="hidraw\*"), ATTRS\{product\}=="\*CMSIS-DAP\*")re" + access),
        jump(R"re(ACTION=="remove", GOTO="(\w+)"|LABEL="(\w+)")re");
    std::map<std::string, std::set<std::string>> covered;  // node -> "vvvv:pppp"
    std::set<std::string> named, gotos, labels;
    std::smatch m;
    for (std::string line; std::getline(f, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (std::regex_match(line, m, usb)) covered["usb"].insert(m[1].str() + ":" + m[2].str());
        else if (std::regex_match(line, m, hid)) covered["hidraw"].insert(m[1].str() + ":" + m[2].str());
        else if (std::regex_match(line, m, by_name)) named.insert(m[1]);
        else if (std::regex_match(line, m, jump)) (m[1].matched ? gotos : labels).insert(m[1].matched ? m[1].str() : m[2].str());
        else ADD_FAILURE() << "unexpected rule: " << line;
    }
    EXPECT_EQ(gotos, labels);
    EXPECT_EQ(named.size(), 2u);
    const std::set<std::string> probes = {"0d28:0204", "0d28:0205", "1fc9:0143", "0483:374b", "0483:374e", "1366:0101",
                                          "03eb:2141", "2341:003d", "04b4:f139", "2e8a:000c", "2e8a:0004"};
    EXPECT_EQ(covered["usb"], probes);
    EXPECT_EQ(covered["hidraw"], probes);
}
