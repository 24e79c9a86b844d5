// The product strings HID probes report, against the C library's UTF-8 encoder.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

// Defined in platform/usb_hidraw.cpp.
size_t usb_hidraw_wide_to_utf8(const wchar_t* in, char* out, size_t cap);

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
