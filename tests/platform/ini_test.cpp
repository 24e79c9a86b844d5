// Settings files: reading and editing rules, and what a save does to the file it replaces.
#include "platform/ini.h"
#include "tests/test_util.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#define BOM "\xEF\xBB\xBF"

namespace {

using Got = std::pair<IniGet, std::string>;
Got ok(const std::string& v) { return {INI_GET_OK, v}; }
const Got kMissing{INI_GET_MISSING, ""};

// Looks a key up with room for `cap` bytes in a buffer that starts out all 'X'.
Got get(const std::string& text, const char* section, const char* key, size_t cap = 65536) {
    std::vector<char> out(65536, 'X');
    IniGet r = ini_text_get(text, section, key, out.data(), cap);
    return {r, std::string(out.data(), strnlen(out.data(), out.size()))};
}

Got get_file(const std::string& path, const char* section, const char* key) {
    std::vector<char> out(65536, 'X');
    return {ini_get(path.c_str(), section, key, out.data(), out.size()), out.data()};
}

bool put1(const std::string& path, const char* section, const char* key, const char* value) {
    IniPair p{key, value};
    return ini_put(path.c_str(), section, &p, 1);
}

std::string varied(size_t n) {  // no two chunks of it are alike
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + (i * 7 + i / 26) % 26);
    return s;
}

// Runs `body` in a forked child and gives its exit code (-1 when it did not exit).
int in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

size_t entries(const std::string& dir) { return size_t(std::distance(std::filesystem::directory_iterator(dir), {})); }

}  // namespace

TEST(IniText, ReadingRules) {
    const std::string t = BOM "[ \tTarget Device\t ]  ; trailing words\n"
        "; speed=1\n   # speed=2\njust some words\n\n"
        " \t Part Number \t=\t  STM32F407  VG \t\nurl = http://x/?a=b&c=d\nempty =\n=no key\n"
        "speed=4000\nSPEED=second\n"
        "[q]\ndouble = \"C:\\Program Files\\x\"\nsingle = 'abc'\nnested = \"\"inner\"\"\n"
        "padded = \"  keep blanks  \"\nmismatched = \"abc'\nlone = \"\nmiddle = a\"b\"c\n"
        "[broken\ny=2\n[target device]\nonly_in_second=1\n";
    const std::string crlf = "top=1\r\n[s]\r\nb = two \r\nc=\"q\"\r\nlast=end\r";
    const std::string small = "[s]\nk=12345\ne=\n";
    const char* td = "Target Device";
    struct { const std::string& text; const char *s, *k; Got want; size_t cap = 65536; } r[] = {
        {t, "target DEVICE", "part number", ok("STM32F407  VG")},
        {t, td, "url", ok("http://x/?a=b&c=d")}, {t, td, "empty", ok("")},
        {t, td, "speed", ok("4000")}, {t, td, "just some words", kMissing},
        {t, td, "only_in_second", kMissing},  // the first of duplicate sections wins
        {t, "q", "double", ok("C:\\Program Files\\x")}, {t, "q", "single", ok("abc")},
        {t, "q", "nested", ok("\"inner\"")}, {t, "q", "padded", ok("  keep blanks  ")},
        {t, "q", "mismatched", ok("\"abc'")}, {t, "q", "lone", ok("\"")},
        {t, "q", "middle", ok("a\"b\"c")}, {t, "q", "y", kMissing}, {t, "broken", "y", ok("2")},
        {t, nullptr, "url", kMissing}, {t, "q", nullptr, kMissing},
        {crlf, "", "top", kMissing}, {crlf, "s", "top", kMissing}, {crlf, "s", "b", ok("two")},
        {crlf, "s", "c", ok("q")}, {crlf, "s", "last", ok("end")},
        // A value that does not fit is refused, not cut; with cap 0 nothing is written.
        {small, "s", "k", {INI_GET_TOO_LONG, ""}, 5}, {small, "s", "k", ok("12345"), 6},
        {small, "s", "e", ok(""), 1},
        {small, "s", "k", {INI_GET_TOO_LONG, std::string(65536, 'X')}, 0},
    };
    for (size_t i = 0; i < std::size(r); ++i)
        EXPECT_EQ(get(r[i].text, r[i].s, r[i].k, r[i].cap), r[i].want) << "row " << i;
    EXPECT_EQ(ini_text_get(small, "s", "k", nullptr, 10), INI_GET_TOO_LONG);
}

// One ini_text_set of a single key and the exact text it must give.
TEST(IniText, EditsChangeOnlyTheLineConcernedKeepingItsEnding) {
    const char* dup = "[s]\nk=1\nk=2\n\n[t]\n[S]\nk=3\nm=1\n";
    struct Edit { const char *before, *section, *key, *value, *after; } const edits[] = {
        {"; top\nk=out\n[w]\n  k = 1 ; x\n\n[P]\n\tK\t= 4000\nm='0672'\n", "p", "k", "9",
         "; top\nk=out\n[w]\n  k = 1 ; x\n\n[P]\nk=9\nm='0672'\n"},
        {"[s]\n;k=old\n", "s", "k", "new", "[s]\n;k=old\nk=new\n"},
        // A new key goes after the section's last non-blank line, a new section at the end.
        {"[a]\nx=1\n\n \t\n[b]\ny=2\n", "a", "z", "3", "[a]\nx=1\nz=3\n\n \t\n[b]\ny=2\n"},
        {"[a]\nx=1\n; about b\n[b]\n", "a", "z", "3", "[a]\nx=1\n; about b\nz=3\n[b]\n"},
        {"[a]\n\n[b]\n", "a", "z", "3", "[a]\nz=3\n\n[b]\n"}, {"[a]\nx=1", "a", "z", "3", "[a]\nx=1\nz=3"},
        {"[a]\nx=1", "new", "k", "v", "[a]\nx=1\n[new]\nk=v\n"},
        // Only the first of duplicate sections and keys is set; a deleted key
        // goes with its copies in that section, else the next would be read.
        {dup, "s", "k", "X", "[s]\nk=X\nk=2\n\n[t]\n[S]\nk=3\nm=1\n"}, {dup, "s", "k", nullptr, "[s]\n\n[t]\n[S]\nk=3\nm=1\n"},
        {"[s]\nk=1\nx=0\nK = 2\n[t]\nk=4\n", "s", "k", nullptr, "[s]\nx=0\n[t]\nk=4\n"}, {"[s]\na=1\nb=2", "s", "B", nullptr, "[s]\na=1\n"},
        {"[a]\r\nx=1\r\n\r\n[b]\r\n", "a", "y", "5", "[a]\r\nx=1\r\ny=5\r\n\r\n[b]\r\n"},
        {"[a]\r\nx=1\r", "b", "k", "v", "[a]\r\nx=1\r\n[b]\r\nk=v\r\n"},
        // New lines follow the first line ending; a replaced line keeps its own.
        {"[a]\nx=1\r\n", "a", "x", "2", "[a]\nx=2\r\n"}, {"[a]\r\nx=1\n", "a", "y", "2", "[a]\r\nx=1\ny=2\r\n"},
        {BOM "[s]\nk=1\n", "S", "K", "2", BOM "[s]\nK=2\n"}, {BOM, "t", "k", "2", BOM "[t]\nk=2\n"},
    };
    for (const Edit& e : edits) {
        std::string text = e.before;
        IniPair p{e.key, e.value};
        EXPECT_TRUE(ini_text_set(text, e.section, &p, 1) && text == e.after) << e.key << " in:\n" << e.before << "gave:\n" << text;
    }
    // Whatever is written reads back exactly.
    for (const char* v : {"plain", "", " lead", "trail ", "\ttab\t", "\"quoted\"", "'single'", "\"", "'", "\"mixed'",
                          "a = b ; c # d", "  ", "\" x", "[no]"}) {
        std::string text = "[s]\nx=1\n";
        IniPair p{"k", v};
        EXPECT_TRUE(ini_text_set(text, "s", &p, 1) && get(text, "s", "k") == ok(v)) << "[" << v << "]";
    }
}

TEST(IniFile, InvalidInputIsRefusedLeavingTextAndFileUnchanged) {
    TempDir dir("ini_test");
    const std::string path = dir / "debugger.ini", original = "[s]\nk=v\n";
    ASSERT_TRUE(write_text_file(path, original));
    auto refused = [&](const char* section, const IniPair* pairs, int count) {
        std::string text = original;
        return !ini_text_set(text, section, pairs, count) && text == original &&
               !ini_put(path.c_str(), section, pairs, count) && *ini_error();
    };
    const IniPair bad[] = {{"a=b", "1"}, {"a\rb", "1"}, {"a\nb", "1"}, {"[x", "1"}, {"; x", "1"}, {"#x", "1"}, {" x", "1"},
                           {"x ", "1"}, {"\tx", "1"}, {"", "1"}, {nullptr, "1"}, {"k", "a\nb"}, {"k", "a\r"}, {"k", "\n"}};
    for (const IniPair& p : bad) {  // every pair is checked before the first is applied
        IniPair pairs[] = {{"k", "changed"}, {"new", "1"}, p};
        EXPECT_TRUE(refused("s", pairs, 3)) << (p.key ? p.key : "(null)") << " = " << p.value;
    }
    const IniPair good{"k", "1"};
    for (const char* section : {"", "a]b", "a\nb", "a\r", " s", "s\t", (const char*)nullptr})
        EXPECT_TRUE(refused(section, &good, 1)) << (section ? section : "(null)");
    EXPECT_TRUE(refused("s", nullptr, 1) && refused("s", &good, -1));
    EXPECT_FALSE(ini_remove_section(path.c_str(), nullptr) || ini_put(nullptr, "s", &good, 1) || ini_put("", "s", &good, 1) ||
                 ini_remove_section(nullptr, "s") || ini_remove_section("", "s"));
    EXPECT_EQ(read_text_file(path), original);
}

TEST(IniFile, SaveKeepsOtherBytesAndSkipsSavesThatChangeNothing) {
    TempDir dir("ini_test");
    const std::string path = dir / "debugger.ini";
    EXPECT_EQ(get_file(path, "s", "k"), kMissing);
    ASSERT_TRUE(write_text_file(path, BOM "; by hand\r\n[Recent]\r\nf0 = \"C:\\fw\\b.elf\"\r\n\r\n"
                                    "[probe]\r\n  Speed = 4000   \r\n# keep\r\n\r\n[Window]\r\nx=1\r\n[window]\r\ny=2\r\n"));
    IniPair pairs[] = {{"speed", "1000"}, {"reset", "hardware"}};
    ASSERT_TRUE(ini_put(path.c_str(), "PROBE", pairs, 2) && put1(path, "ui", "theme", "dark") &&
                ini_remove_section(path.c_str(), "window")) << ini_error();  // the first [window] only
    EXPECT_EQ(read_text_file(path), BOM "; by hand\r\n[Recent]\r\nf0 = \"C:\\fw\\b.elf\"\r\n\r\n"
                                  "[probe]\r\nspeed=1000\r\n# keep\r\nreset=hardware\r\n\r\n[window]\r\ny=2\r\n[ui]\r\ntheme=dark\r\n");
    EXPECT_EQ(get_file(path, "recent", "F0"), ok("C:\\fw\\b.elf"));
    struct stat st0, st1, st2;
    ASSERT_TRUE(stat(path.c_str(), &st0) == 0 && put1(path, "probe", "speed", "1000") && put1(path, "probe", "gone", nullptr) &&
                ini_remove_section(path.c_str(), "absent") && stat(path.c_str(), &st1) == 0);
    ASSERT_TRUE(put1(path, "probe", "speed", "2") && stat(path.c_str(), &st2) == 0) << ini_error();
    EXPECT_EQ(st1.st_ino, st0.st_ino) << "a save that changed nothing rewrote the file";
    EXPECT_NE(st2.st_ino, st0.st_ino) << "a real change did not replace the file";
}

// What is in the settings file's place, and what a save of one key makes of
// it: a save that cannot be done safely says why and changes nothing.
TEST(IniFile, SaveIntoEachKindOfPlace) {
    struct stat st {};
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> setup, check;
        const char* why = "";  // empty: saved
    } const cases[] = {
        {"missing folder", [](auto&) {}, [](auto& p) { EXPECT_FALSE(std::filesystem::exists(p.substr(0, p.rfind('/')))); },
         "cannot create temporary file"},
        {"folder", [](auto& p) { mkdir(p.c_str(), 0755), write_text_file(p + "/inside", "x"); },  // unreadable even by root
         [](auto& p) { EXPECT_EQ(read_text_file(p + "/inside"), "x"); }, "cannot read '"},
        {"FIFO", [](auto& p) { EXPECT_TRUE(mkfifo(p.c_str(), 0644) == 0 && get_file(p, "s", "k") == kMissing); },  // no blocking open
         [&](auto& p) { EXPECT_TRUE(lstat(p.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)); }, "not a regular file"},
        {"symbolic link", [](auto& p) { write_text_file(p + ".real", "[s]\nk=1\n"), symlink((p + ".real").c_str(), p.c_str()); },
         [&](auto& p) { EXPECT_TRUE(lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && read_text_file(p) == "[s]\nk=2\n"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("ini_test");
        const std::string path = dir / (*c.name == 'm' ? "no/such/debugger.ini" : "debugger.ini");
        c.setup(path);
        EXPECT_EQ(put1(path, "s", "k", "2"), !*c.why) << ini_error();
        EXPECT_NE(std::string(ini_error()).find(c.why), std::string::npos) << ini_error();
        c.check(path);
        EXPECT_EQ(entries(dir.path), size_t(*c.name == 'm' ? 0 : *c.name == 's' ? 2 : 1)) << "a temporary file was left";
    }
    const mode_t old_umask = umask(022);  // so that a mode set by open() alone would show
    TempDir dir("ini_test");
    for (mode_t mode : {mode_t(0600), mode_t(0666), mode_t(0640)}) {
        EXPECT_TRUE(write_text_file(dir / "m.ini", "[s]\nk=1\n") && chmod((dir / "m.ini").c_str(), mode) == 0);
        EXPECT_TRUE(put1(dir / "m.ini", "s", "k", "2") && stat((dir / "m.ini").c_str(), &st) == 0) << ini_error();
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
    umask(old_umask);
}

// A save failing part-way like a full disk, or cut off after its first chunk,
// leaves the original; the leftover does not get in the way of the next save.
TEST(IniFile, FailedOrInterruptedSavesLeaveTheOriginal) {
    TempDir dir("ini_test");
    const std::string path = dir / "debugger.ini", big = varied(40000);
    const std::string original = varied(6000) + "\n[probe]\r\nserial=0672FF\r\n\r\n[ui]\r\nz=2\r\n";
    ASSERT_TRUE(write_text_file(path, original));
    EXPECT_EQ(in_child([&] {  // a file size limit makes write() fail part-way
                  signal(SIGXFSZ, SIG_IGN);
                  struct rlimit lim = {10000, 10000};
                  return setrlimit(RLIMIT_FSIZE, &lim) != 0 ? 10 : put1(path, "probe", "blob", big.c_str()) ? 11
                         : !std::strstr(ini_error(), "cannot write temporary file")                     ? 12
                         : !std::strstr(ini_error(), std::strerror(EFBIG))                              ? 13 : 0;
              }), 0);
    EXPECT_EQ(entries(dir.path), 1u) << "a temporary file was left behind";
    EXPECT_EQ(in_child([&] {
                  ini_set_write_hook([](size_t n) { _exit(n > 0 && n <= 4096 ? 42 : 43); });
                  return put1(path, "probe", "blob", big.c_str()) ? 0 : 1;  // the hook never fired
              }), 42);
    EXPECT_EQ(read_text_file(path), original);
    EXPECT_EQ(entries(dir.path), 2u) << "the half-written copy should be a file of its own";
    ASSERT_TRUE(put1(path, "probe", "blob", big.c_str())) << ini_error();
    EXPECT_EQ(get_file(path, "probe", "blob"), ok(big));
}
