#include "platform/ini.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// A fresh folder under /tmp per test, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/ini_test.XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made) path_ = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

    // Names of everything in the folder except the ones given.
    std::vector<std::string> others(const std::vector<std::string>& known) const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) {
            std::string n = e.path().filename().string();
            bool is_known = false;
            for (const auto& k : known) is_known |= (n == k);
            if (!is_known) names.push_back(n);
        }
        return names;
    }

private:
    std::string path_;
};

std::string read_all(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

bool write_all(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Value lookup with a buffer that is big enough for every test value.
std::pair<IniGet, std::string> get(const std::string& text, const char* section, const char* key) {
    std::vector<char> out(65536, 'X');
    IniGet r = ini_text_get(text, section, key, out.data(), out.size());
    return {r, std::string(out.data())};
}

std::pair<IniGet, std::string> get_file(const std::string& path, const char* section,
                                        const char* key) {
    std::vector<char> out(65536, 'X');
    IniGet r = ini_get(path.c_str(), section, key, out.data(), out.size());
    return {r, std::string(out.data())};
}

std::pair<IniGet, std::string> ok(const std::string& v) { return {INI_GET_OK, v}; }
const std::pair<IniGet, std::string> kMissing{INI_GET_MISSING, ""};

// Applies one key=value (or deletion) and returns the resulting text.
std::string set1(std::string text, const char* section, const char* key, const char* value) {
    IniPair p{key, value};
    EXPECT_TRUE(ini_text_set(text, section, &p, 1)) << key;
    return text;
}

std::string varied(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char('a' + (i * 7 + i / 26) % 26);
    return s;
}

}  // namespace

// ---- reading ---------------------------------------------------------------

TEST(IniTextGet, SkipsCommentsBlankLinesAndLinesWithoutEquals) {
    const std::string text =
        "top=before any section\n"
        "; comment\n"
        "[probe]\n"
        "; speed=1\n"
        "   # speed=2\n"
        "\t;speed=3\n"
        "just some words\n"
        "\n"
        "speed=4000\n"
        "#last=1\n";
    EXPECT_EQ(get(text, "probe", "speed"), ok("4000"));
    EXPECT_EQ(get(text, "probe", "last"), kMissing);
    EXPECT_EQ(get(text, "probe", "just some words"), kMissing);
    // Keys before the first header belong to no section.
    EXPECT_EQ(get(text, "", "top"), kMissing);
    EXPECT_EQ(get(text, "probe", "top"), kMissing);
}

TEST(IniTextGet, TrimsKeysValuesAndSectionNames) {
    const std::string text =
        "  [ \tTarget Device\t ]  ; trailing words\n"
        " \t part number \t=\t  STM32F407  VG \t\n"
        "url = http://x/?a=b&c=d\n"
        "empty =\n"
        "=no key\n";
    EXPECT_EQ(get(text, "Target Device", "part number"), ok("STM32F407  VG"));
    EXPECT_EQ(get(text, "Target Device", "url"), ok("http://x/?a=b&c=d"));
    EXPECT_EQ(get(text, "Target Device", "empty"), ok(""));
    EXPECT_EQ(get(text, "Target Device", "part"), kMissing);
}

TEST(IniTextGet, StripsExactlyOnePairOfMatchingQuotes) {
    const std::string text =
        "[q]\n"
        "double = \"C:\\Program Files\\x\"\n"
        "single = 'abc'\n"
        "nested = \"\"inner\"\"\n"
        "inner = 'say \"hi\"'\n"
        "padded = \"  keep blanks  \"\n"
        "mismatched = \"abc'\n"
        "open = \"abc\n"
        "lone = \"\n"
        "pair = \"\"\n"
        "middle = a\"b\"c\n";
    EXPECT_EQ(get(text, "q", "double"), ok("C:\\Program Files\\x"));
    EXPECT_EQ(get(text, "q", "single"), ok("abc"));
    EXPECT_EQ(get(text, "q", "nested"), ok("\"inner\""));
    EXPECT_EQ(get(text, "q", "inner"), ok("say \"hi\""));
    EXPECT_EQ(get(text, "q", "padded"), ok("  keep blanks  "));
    EXPECT_EQ(get(text, "q", "mismatched"), ok("\"abc'"));
    EXPECT_EQ(get(text, "q", "open"), ok("\"abc"));
    EXPECT_EQ(get(text, "q", "lone"), ok("\""));
    EXPECT_EQ(get(text, "q", "pair"), ok(""));
    EXPECT_EQ(get(text, "q", "middle"), ok("a\"b\"c"));
}

TEST(IniTextGet, SectionAndKeyNamesIgnoreCase) {
    const std::string text = "[Debug Probe]\nSerialNumber=0672FF\n[other]\nserialnumber=no\n";
    EXPECT_EQ(get(text, "debug PROBE", "serialnumber"), ok("0672FF"));
    EXPECT_EQ(get(text, "DEBUG PROBE", "SERIALNUMBER"), ok("0672FF"));
    EXPECT_EQ(get(text, "Debug Probe", "SerialNumbe"), kMissing);
    EXPECT_EQ(get(text, "Debug", "SerialNumber"), kMissing);
}

TEST(IniTextGet, CrlfLinesGiveValuesWithoutCarriageReturn) {
    const std::string text = "[s]\r\na=1\r\n[t]\r\nb = two \r\nc=\"q\"\r\nlast=end";
    EXPECT_EQ(get(text, "s", "a"), ok("1"));
    EXPECT_EQ(get(text, "t", "b"), ok("two"));
    EXPECT_EQ(get(text, "t", "c"), ok("q"));
    EXPECT_EQ(get(text, "t", "last"), ok("end"));
    // A CRLF file cut after its final '\r'.
    EXPECT_EQ(get("[s]\r\na=1\r", "s", "a"), ok("1"));
}

TEST(IniTextGet, FirstDuplicateSectionAndKeyWin) {
    const std::string text =
        "[s]\nk=first\nk=second\n[other]\nx=1\n[S]\nk=third\nonly_in_second=1\n";
    EXPECT_EQ(get(text, "s", "k"), ok("first"));
    // The second [S] is never consulted, even for keys the first lacks.
    EXPECT_EQ(get(text, "s", "only_in_second"), kMissing);
}

TEST(IniTextGet, HeaderWithoutClosingBracketStillEndsTheSection) {
    const std::string text = "[a]\nx=1\n[broken\ny=2\n";
    EXPECT_EQ(get(text, "a", "x"), ok("1"));
    EXPECT_EQ(get(text, "a", "y"), kMissing);
    EXPECT_EQ(get(text, "broken", "y"), ok("2"));
}

TEST(IniTextGet, ByteOrderMarkIsSkipped) {
    EXPECT_EQ(get(kBom + "[s]\nk=v\n", "s", "k"), ok("v"));
    EXPECT_EQ(get(kBom + "[s]\r\nk=v\r\n", "S", "K"), ok("v"));
}

TEST(IniTextGet, ValueThatDoesNotFitIsRefusedNotCut) {
    const std::string text = "[s]\nk=12345\n";
    char out[16];

    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, "s", "k", out, 5), INI_GET_TOO_LONG);
    EXPECT_STREQ(out, "");

    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, "s", "k", out, 6), INI_GET_OK);
    EXPECT_STREQ(out, "12345");

    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, "s", "k", out, 0), INI_GET_TOO_LONG);
    EXPECT_EQ(out[0], 'X');  // cap 0: nothing may be written
    EXPECT_EQ(ini_text_get(text, "s", "k", nullptr, 10), INI_GET_TOO_LONG);
    EXPECT_EQ(ini_text_get(text, "s", "nope", nullptr, 0), INI_GET_MISSING);

    // An empty value fits in one byte.
    EXPECT_EQ(ini_text_get("[s]\ne=\n", "s", "e", out, 1), INI_GET_OK);
    EXPECT_STREQ(out, "");
}

TEST(IniTextGet, MissingGivesEmptyOut) {
    const std::string text = "[s]\nk=v\n";
    char out[8];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, "t", "k", out, sizeof out), INI_GET_MISSING);
    EXPECT_STREQ(out, "");
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, "s", "v", out, sizeof out), INI_GET_MISSING);
    EXPECT_STREQ(out, "");
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_text_get(text, nullptr, "k", out, sizeof out), INI_GET_MISSING);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ini_text_get(text, "s", nullptr, out, sizeof out), INI_GET_MISSING);
    EXPECT_EQ(ini_text_get("", "s", "k", out, sizeof out), INI_GET_MISSING);
}

// ---- changing text ---------------------------------------------------------

TEST(IniTextSet, ReplacingAValueKeepsEveryOtherByte) {
    const std::string before =
        "; Korvane settings\n"
        "stray = outside\n"
        "\n"
        "[window]\n"
        "  width   =  1280   ; not a comment, part of the value\n"
        "# height=5\n"
        "height=720\n"
        "\n"
        "[probe]\n"
        "\tSpeed\t= 4000\n"
        "serial='0672'\n";
    const std::string after =
        "; Korvane settings\n"
        "stray = outside\n"
        "\n"
        "[window]\n"
        "  width   =  1280   ; not a comment, part of the value\n"
        "# height=5\n"
        "height=720\n"
        "\n"
        "[probe]\n"
        "speed=1000\n"
        "serial='0672'\n";
    EXPECT_EQ(set1(before, "PROBE", "speed", "1000"), after);
}

TEST(IniTextSet, ReplacedLineUsesTheKeyAsPassed) {
    EXPECT_EQ(set1("[s]\nMyKey = old value\n", "s", "mykey", "new"), "[s]\nmykey=new\n");
}

TEST(IniTextSet, CommentedOutKeyIsNotReplaced) {
    EXPECT_EQ(set1("[s]\n;k=old\n", "s", "k", "new"), "[s]\n;k=old\nk=new\n");
}

TEST(IniTextSet, NewKeyGoesAfterLastNonBlankLineOfItsSection) {
    EXPECT_EQ(set1("[a]\nx=1\n\n\n[b]\ny=2\n", "a", "z", "3"), "[a]\nx=1\nz=3\n\n\n[b]\ny=2\n");
    // Blank lines that hold only blanks and tabs count as blank.
    EXPECT_EQ(set1("[a]\nx=1\n \t\n[b]\n", "a", "z", "3"), "[a]\nx=1\nz=3\n \t\n[b]\n");
    // A trailing comment is part of the section.
    EXPECT_EQ(set1("[a]\nx=1\n; about b\n[b]\n", "a", "z", "3"), "[a]\nx=1\n; about b\nz=3\n[b]\n");
    // Empty section: right after its header.
    EXPECT_EQ(set1("[a]\n\n[b]\ny=2\n", "a", "z", "3"), "[a]\nz=3\n\n[b]\ny=2\n");
    // Last section with trailing blank lines.
    EXPECT_EQ(set1("[a]\nx=1\n\n\n", "a", "z", "3"), "[a]\nx=1\nz=3\n\n\n");
}

TEST(IniTextSet, NewKeyAfterLastLineWithoutLineEnding) {
    EXPECT_EQ(set1("[a]\nx=1", "a", "z", "3"), "[a]\nx=1\nz=3");
    EXPECT_EQ(set1("[a]", "a", "z", "3"), "[a]\nz=3");
    EXPECT_EQ(set1("[a]\r\nx=1", "a", "z", "3"), "[a]\r\nx=1\r\nz=3");
}

TEST(IniTextSet, NewSectionIsAppendedAtTheEnd) {
    EXPECT_EQ(set1("[a]\nx=1\n", "new", "k", "v"), "[a]\nx=1\n[new]\nk=v\n");
    EXPECT_EQ(set1("[a]\nx=1", "new", "k", "v"), "[a]\nx=1\n[new]\nk=v\n");
    EXPECT_EQ(set1("[a]\nx=1\n\n", "new", "k", "v"), "[a]\nx=1\n\n[new]\nk=v\n");
    EXPECT_EQ(set1("", "new", "k", "v"), "[new]\nk=v\n");

    std::string text = "[a]\nx=1\n";
    IniPair pairs[] = {{"one", "1"}, {"two", "2"}, {"three", "3"}};
    ASSERT_TRUE(ini_text_set(text, "Fresh", pairs, 3));
    EXPECT_EQ(text, "[a]\nx=1\n[Fresh]\none=1\ntwo=2\nthree=3\n");
}

TEST(IniTextSet, CrlfFileKeepsCrlfOnNewAndReplacedLines) {
    std::string text = "; c\r\n[a]\r\nx=1\r\ny=2\r\n\r\n[b]\r\nq=1\r\n";
    IniPair a[] = {{"x", "9"}, {"added", "5"}};
    ASSERT_TRUE(ini_text_set(text, "a", a, 2));
    IniPair c{"k", "v"};
    ASSERT_TRUE(ini_text_set(text, "c", &c, 1));
    EXPECT_EQ(text, "; c\r\n[a]\r\nx=9\r\ny=2\r\nadded=5\r\n\r\n[b]\r\nq=1\r\n[c]\r\nk=v\r\n");

    // A CRLF file cut after its last '\r' gets only the missing '\n'.
    EXPECT_EQ(set1("[a]\r\nx=1\r", "b", "k", "v"), "[a]\r\nx=1\r\n[b]\r\nk=v\r\n");
}

TEST(IniTextSet, LineEndingStyleFollowsTheFirstLineEnding) {
    // First ending LF: new lines use LF; a replaced CRLF line keeps its CRLF.
    EXPECT_EQ(set1("[a]\nx=1\r\n", "a", "x", "2"), "[a]\nx=2\r\n");
    EXPECT_EQ(set1("[a]\nx=1\r\n", "a", "y", "2"), "[a]\nx=1\r\ny=2\n");
    // First ending CRLF: new lines use CRLF; a replaced LF line keeps its LF.
    EXPECT_EQ(set1("[a]\r\nx=1\n", "a", "x", "2"), "[a]\r\nx=2\n");
    EXPECT_EQ(set1("[a]\r\nx=1\n", "a", "y", "2"), "[a]\r\nx=1\ny=2\r\n");
}

TEST(IniTextSet, DuplicateSectionsAndKeysChangeOnlyTheFirst) {
    const std::string text = "[s]\nk=1\nk=2\n\n[t]\n[S]\nk=3\nm=1\n";
    EXPECT_EQ(set1(text, "s", "k", "X"), "[s]\nk=X\nk=2\n\n[t]\n[S]\nk=3\nm=1\n");
    EXPECT_EQ(set1(text, "s", "m", "X"), "[s]\nk=1\nk=2\nm=X\n\n[t]\n[S]\nk=3\nm=1\n");
    EXPECT_EQ(set1(text, "s", "k", nullptr), "[s]\nk=2\n\n[t]\n[S]\nk=3\nm=1\n");
    // Deleting a key the first section lacks leaves the second alone.
    EXPECT_EQ(set1(text, "s", "m", nullptr), text);
}

TEST(IniTextSet, NullValueDeletesTheLine) {
    EXPECT_EQ(set1("[s]\na=1\nb=2\nc=3\n", "s", "B", nullptr), "[s]\na=1\nc=3\n");
    EXPECT_EQ(set1("[s]\r\na=1\r\nb=2\r\n", "s", "b", nullptr), "[s]\r\na=1\r\n");
    EXPECT_EQ(set1("[s]\na=1\nb=2", "s", "b", nullptr), "[s]\na=1\n");
    // Missing key or section: nothing happens, and no section is created.
    EXPECT_EQ(set1("[s]\na=1\n", "s", "zz", nullptr), "[s]\na=1\n");
    EXPECT_EQ(set1("[s]\na=1\n", "t", "a", nullptr), "[s]\na=1\n");
    EXPECT_EQ(set1("", "t", "a", nullptr), "");
}

TEST(IniTextSet, PairsApplyInOrder) {
    std::string text = "[s]\nk=0\n";
    IniPair pairs[] = {{"k", "1"}, {"n", "new"}, {"K", "2"}, {"n", nullptr}};
    ASSERT_TRUE(ini_text_set(text, "s", pairs, 4));
    EXPECT_EQ(text, "[s]\nK=2\n");
    ASSERT_TRUE(ini_text_set(text, "s", pairs, 0));
    EXPECT_EQ(text, "[s]\nK=2\n");
}

TEST(IniTextSet, InvalidNamesAndValuesAreRefusedLeavingTextUnchanged) {
    const std::string original = "[s]\nk=v\n";
    const char* bad_keys[] = {"",    "a=b", "a\rb", "a\nb", "[x", "; x",
                              "#x",  " x",  "x ",   "\tx",  nullptr};
    for (const char* key : bad_keys) {
        std::string text = original;
        IniPair p{key, "1"};
        EXPECT_FALSE(ini_text_set(text, "s", &p, 1)) << (key ? key : "(null)");
        EXPECT_EQ(text, original);
    }
    const char* bad_values[] = {"a\nb", "a\r", "\n"};
    for (const char* value : bad_values) {
        std::string text = original;
        IniPair p{"k", value};
        EXPECT_FALSE(ini_text_set(text, "s", &p, 1));
        EXPECT_EQ(text, original);
    }
    const char* bad_sections[] = {"", "a]b", "a\nb", "a\r", " s", "s\t", nullptr};
    for (const char* section : bad_sections) {
        std::string text = original;
        IniPair p{"k", "1"};
        EXPECT_FALSE(ini_text_set(text, section, &p, 1));
        EXPECT_EQ(text, original);
    }
    // All pairs are checked before any is applied.
    std::string text = original;
    IniPair mixed[] = {{"k", "changed"}, {"new", "1"}, {"bad=key", "1"}};
    EXPECT_FALSE(ini_text_set(text, "s", mixed, 3));
    EXPECT_EQ(text, original);
    EXPECT_FALSE(ini_text_set(text, "s", nullptr, 1));
    EXPECT_FALSE(ini_text_set(text, "s", mixed, -1));
    EXPECT_EQ(text, original);
}

TEST(IniTextSet, EveryValueReadsBackExactly) {
    const char* values[] = {"plain", "", " lead", "trail ", "\ttab\t", "\"quoted\"",
                            "'single'", "\"", "'", "\"mixed'", "a = b ; c # d", "  ",
                            "\" x", "[not a header]"};
    for (const char* value : values) {
        std::string text = set1("[s]\nother=1\n", "s", "k", value);
        EXPECT_EQ(get(text, "s", "k"), ok(value)) << "[" << value << "] as " << text;
        EXPECT_EQ(get(text, "s", "other"), ok("1"));
    }
    // Values that need no protection are written as they are.
    EXPECT_EQ(set1("", "s", "k", "a \"b\" c"), "[s]\nk=a \"b\" c\n");
}

TEST(IniTextSet, ByteOrderMarkIsKept) {
    EXPECT_EQ(set1(kBom + "[s]\nk=1\n", "s", "k", "2"), kBom + "[s]\nk=2\n");
    EXPECT_EQ(set1(kBom + "[s]\nk=1\n", "t", "k", "2"), kBom + "[s]\nk=1\n[t]\nk=2\n");
    EXPECT_EQ(set1(kBom, "t", "k", "2"), kBom + "[t]\nk=2\n");
    EXPECT_EQ(set1(kBom + "[s]\r\n", "s", "k", "2"), kBom + "[s]\r\nk=2\r\n");
}

TEST(IniTextRemoveSection, RemovesHeaderAndLinesUpToNextHeader) {
    std::string text = "; top\n[a]\nx=1\n\n[B]\ny=2\n; about c\n\n[c]\nz=3\n";
    ini_text_remove_section(text, "b");
    EXPECT_EQ(text, "; top\n[a]\nx=1\n\n[c]\nz=3\n");
    ini_text_remove_section(text, "C");
    EXPECT_EQ(text, "; top\n[a]\nx=1\n\n");
    ini_text_remove_section(text, "missing");
    EXPECT_EQ(text, "; top\n[a]\nx=1\n\n");
    ini_text_remove_section(text, nullptr);
    EXPECT_EQ(text, "; top\n[a]\nx=1\n\n");
}

TEST(IniTextRemoveSection, RemovesOnlyTheFirstDuplicateAndKeepsTheBom) {
    std::string text = kBom + "[s]\r\nk=1\r\n[t]\r\n[s]\r\nk=2\r\n";
    ini_text_remove_section(text, "S");
    EXPECT_EQ(text, kBom + "[t]\r\n[s]\r\nk=2\r\n");
    EXPECT_EQ(get(text, "s", "k"), ok("2"));
}

// ---- files -----------------------------------------------------------------

TEST(IniFile, MissingFileReadsAsMissing) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    char out[8];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_get(dir.file("none.ini").c_str(), "s", "k", out, sizeof out), INI_GET_MISSING);
    EXPECT_STREQ(out, "");
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(ini_get(nullptr, "s", "k", out, sizeof out), INI_GET_MISSING);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ini_get("", "s", "k", out, sizeof out), INI_GET_MISSING);
    // A folder is not a settings file.
    EXPECT_EQ(ini_get(dir.path().c_str(), "s", "k", out, sizeof out), INI_GET_MISSING);
}

TEST(IniFile, PutCreatesTheFileAndGetReadsIt) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    IniPair pairs[] = {{"speed", "4000"}, {"serial", "0672FF"}};
    ASSERT_TRUE(ini_put(path.c_str(), "probe", pairs, 2)) << ini_error();
    EXPECT_EQ(read_all(path), "[probe]\nspeed=4000\nserial=0672FF\n");
    EXPECT_EQ(get_file(path, "Probe", "SERIAL"), ok("0672FF"));

    char small[4];
    EXPECT_EQ(ini_get(path.c_str(), "probe", "serial", small, sizeof small), INI_GET_TOO_LONG);
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(dir.others({"debugger.ini"}).empty());
}

TEST(IniFile, SaveKeepsUnrelatedSectionsAndCommentsByteForByte) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    const std::string before = kBom +
                               "; written by hand\r\n"
                               "[Recent]\r\n"
                               "file0 = \"C:\\fw\\blinky.elf\"\r\n"
                               "\r\n"
                               "[probe]\r\n"
                               "  Speed = 4000   \r\n"
                               "# keep me\r\n"
                               "\r\n"
                               "[Window]\r\n"
                               "\tx=10\r\n";
    ASSERT_TRUE(write_all(path, before));

    IniPair pairs[] = {{"speed", "1000"}, {"reset", "hardware"}};
    ASSERT_TRUE(ini_put(path.c_str(), "PROBE", pairs, 2)) << ini_error();
    IniPair extra{"theme", "dark"};
    ASSERT_TRUE(ini_put(path.c_str(), "ui", &extra, 1)) << ini_error();

    const std::string after = kBom +
                              "; written by hand\r\n"
                              "[Recent]\r\n"
                              "file0 = \"C:\\fw\\blinky.elf\"\r\n"
                              "\r\n"
                              "[probe]\r\n"
                              "speed=1000\r\n"
                              "# keep me\r\n"
                              "reset=hardware\r\n"
                              "\r\n"
                              "[Window]\r\n"
                              "\tx=10\r\n"
                              "[ui]\r\n"
                              "theme=dark\r\n";
    EXPECT_EQ(read_all(path), after);
    EXPECT_EQ(get_file(path, "recent", "file0"), ok("C:\\fw\\blinky.elf"));
    EXPECT_EQ(get_file(path, "probe", "speed"), ok("1000"));
}

TEST(IniFile, SaveReplacesTheFileAndSkipsSavesThatChangeNothing) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    ASSERT_TRUE(write_all(path, "[s]\nk=1\n"));
    struct stat st0, st1, st2;
    ASSERT_EQ(stat(path.c_str(), &st0), 0);

    IniPair same{"k", "1"}, gone{"missing", nullptr};
    ASSERT_TRUE(ini_put(path.c_str(), "s", &same, 1)) << ini_error();
    ASSERT_TRUE(ini_put(path.c_str(), "s", &gone, 1)) << ini_error();
    ASSERT_TRUE(ini_remove_section(path.c_str(), "absent")) << ini_error();
    ASSERT_EQ(stat(path.c_str(), &st1), 0);
    EXPECT_EQ(st1.st_ino, st0.st_ino);  // not rewritten

    IniPair change{"k", "2"};
    ASSERT_TRUE(ini_put(path.c_str(), "s", &change, 1)) << ini_error();
    ASSERT_EQ(stat(path.c_str(), &st2), 0);
    EXPECT_NE(st2.st_ino, st0.st_ino);  // a new file took the old one's place
    EXPECT_EQ(read_all(path), "[s]\nk=2\n");

    // Nothing to do on a missing file creates no file.
    const std::string none = dir.file("none.ini");
    ASSERT_TRUE(ini_put(none.c_str(), "s", &gone, 1)) << ini_error();
    ASSERT_TRUE(ini_remove_section(none.c_str(), "s")) << ini_error();
    EXPECT_FALSE(exists(none));
}

TEST(IniFile, SaveKeepsTheFileMode) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    for (mode_t mode : {mode_t(0600), mode_t(0666), mode_t(0640)}) {
        const std::string path = dir.file("m.ini");
        ASSERT_TRUE(write_all(path, "[s]\nk=1\n"));
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        IniPair p{"k", "2"};
        ASSERT_TRUE(ini_put(path.c_str(), "s", &p, 1)) << ini_error();
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(read_all(path), "[s]\nk=2\n");
    }
}

TEST(IniFile, SaveThroughSymbolicLinkUpdatesTheTarget) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string real = dir.file("real.ini"), link = dir.file("link.ini");
    ASSERT_TRUE(write_all(real, "[s]\nk=1\n"));
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    IniPair p{"k", "2"};
    ASSERT_TRUE(ini_put(link.c_str(), "s", &p, 1)) << ini_error();
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_all(real), "[s]\nk=2\n");
}

TEST(IniFile, RemoveSectionFromFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    ASSERT_TRUE(write_all(path, "[a]\nx=1\n\n[Recent]\nf0=a\nf1=b\n\n[c]\nz=3\n"));
    ASSERT_TRUE(ini_remove_section(path.c_str(), "recent")) << ini_error();
    EXPECT_EQ(read_all(path), "[a]\nx=1\n\n[c]\nz=3\n");
    EXPECT_EQ(get_file(path, "recent", "f0"), kMissing);
    EXPECT_FALSE(ini_remove_section(path.c_str(), nullptr));
    EXPECT_STRNE(ini_error(), "");
    EXPECT_EQ(read_all(path), "[a]\nx=1\n\n[c]\nz=3\n");
}

TEST(IniFileErrors, SaveIntoMissingFolderFailsWithReason) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string folder = dir.file("no/such/folder");
    const std::string path = folder + "/debugger.ini";
    IniPair p{"k", "v"};
    EXPECT_FALSE(ini_put(path.c_str(), "s", &p, 1));
    const std::string why = ini_error();
    EXPECT_NE(why.find("cannot create temporary file"), std::string::npos) << why;
    EXPECT_NE(why.find(path + ".tmp."), std::string::npos) << why;
    EXPECT_NE(why.find(std::strerror(ENOENT)), std::string::npos) << why;
    EXPECT_FALSE(exists(folder));
}

TEST(IniFileErrors, MissingPathFails) {
    IniPair p{"k", "v"};
    EXPECT_FALSE(ini_put(nullptr, "s", &p, 1));
    EXPECT_STRNE(ini_error(), "");
    EXPECT_FALSE(ini_put("", "s", &p, 1));
    EXPECT_STRNE(ini_error(), "");
    EXPECT_FALSE(ini_remove_section(nullptr, "s"));
    EXPECT_FALSE(ini_remove_section("", "s"));
    EXPECT_STRNE(ini_error(), "");
}

TEST(IniFileErrors, UnreadableFileIsNotOverwritten) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    // A folder where the file should be cannot be read (even by root).
    const std::string path = dir.file("debugger.ini");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_TRUE(write_all(path + "/inside", "x"));
    IniPair p{"k", "v"};
    EXPECT_FALSE(ini_put(path.c_str(), "s", &p, 1));
    const std::string why = ini_error();
    EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
    EXPECT_NE(why.find(path), std::string::npos) << why;
    EXPECT_EQ(read_all(path + "/inside"), "x");
    EXPECT_TRUE(dir.others({"debugger.ini"}).empty());
}

TEST(IniFileErrors, InvalidKeyIsRefusedAndFileUnchanged) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    const std::string original = "[s]\nk=1\n";
    ASSERT_TRUE(write_all(path, original));
    IniPair pairs[] = {{"k", "2"}, {"evil\n[other]", "x"}};
    EXPECT_FALSE(ini_put(path.c_str(), "s", pairs, 2));
    EXPECT_NE(std::string(ini_error()).find("line break"), std::string::npos) << ini_error();
    IniPair bad_value{"k", "a\r\nb=c"};
    EXPECT_FALSE(ini_put(path.c_str(), "s", &bad_value, 1));
    EXPECT_FALSE(ini_put(path.c_str(), "a]b", pairs, 1));
    EXPECT_FALSE(ini_put(path.c_str(), nullptr, pairs, 1));
    EXPECT_EQ(read_all(path), original);
}

TEST(IniFileErrors, ErrorTextBelongsToTheFailingThread) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string bad = dir.file("missing/x.ini");
    std::string seen_by_other = "unset", seen_after_failure;
    std::thread other([&] {
        IniPair p{"k", "v"};
        EXPECT_FALSE(ini_put(bad.c_str(), "s", &p, 1));
        seen_after_failure = ini_error();
    });
    other.join();
    std::thread fresh([&] { seen_by_other = ini_error(); });
    fresh.join();
    EXPECT_NE(seen_after_failure.find("cannot create temporary file"), std::string::npos);
    EXPECT_EQ(seen_by_other, "");
}

// ---- saving safely ---------------------------------------------------------

static std::vector<size_t>* g_totals = nullptr;
static void record_total(size_t n) { g_totals->push_back(n); }

TEST(IniFileSave, WritesInChunksReportingTheRunningTotal) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    const std::string big = varied(20000);
    std::vector<size_t> totals;
    g_totals = &totals;
    ini_set_write_hook(record_total);
    IniPair p{"blob", big.c_str()};
    bool saved = ini_put(path.c_str(), "s", &p, 1);
    ini_set_write_hook(nullptr);
    g_totals = nullptr;
    ASSERT_TRUE(saved) << ini_error();

    const std::string text = read_all(path);
    EXPECT_EQ(text, "[s]\nblob=" + big + "\n");
    ASSERT_GE(totals.size(), 5u);
    size_t prev = 0;
    for (size_t t : totals) {
        EXPECT_GT(t, prev);
        EXPECT_LE(t - prev, 4096u);
        prev = t;
    }
    EXPECT_EQ(totals.back(), text.size());
}

static void die_after_first_chunk(size_t n) { _exit(n > 0 && n <= 4096 ? 42 : 43); }

TEST(IniFileSave, InterruptedSaveLeavesTheOriginalIntact) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    const std::string original = varied(6000) + "\n[probe]\r\nserial=0672FF\r\n\r\n[ui]\r\nzoom=2\r\n";
    ASSERT_TRUE(write_all(path, original));
    const std::string big = varied(40000);

    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ini_set_write_hook(die_after_first_chunk);
        IniPair p{"blob", big.c_str()};
        ini_put(path.c_str(), "probe", &p, 1);
        _exit(0);  // the hook never fired
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42) << "the save was not cut after its first chunk";

    EXPECT_EQ(read_all(path), original);
    // The half-written copy went to a separate file next to it.
    std::vector<std::string> left = dir.others({"debugger.ini"});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind("debugger.ini.tmp.", 0), 0u) << left[0];
    struct stat st;
    ASSERT_EQ(stat(dir.file(left[0]).c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
    EXPECT_LE(st.st_size, 4096);

    // The leftover does not get in the way of the next save.
    IniPair p{"blob", big.c_str()};
    ASSERT_TRUE(ini_put(path.c_str(), "probe", &p, 1)) << ini_error();
    EXPECT_EQ(get_file(path, "probe", "blob"), ok(big));
    EXPECT_EQ(get_file(path, "probe", "serial"), ok("0672FF"));
}

TEST(IniFileSave, FailedWriteRemovesTheTemporaryFile) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    const std::string original = "[probe]\nserial=0672FF\n";
    ASSERT_TRUE(write_all(path, original));
    const std::string big = varied(40000);

    // In a child, a file size limit makes write() fail part-way like a full disk.
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {10000, 10000};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(10);
        IniPair p{"blob", big.c_str()};
        if (ini_put(path.c_str(), "probe", &p, 1)) _exit(11);
        if (!std::strstr(ini_error(), "cannot write temporary file")) _exit(12);
        if (!std::strstr(ini_error(), std::strerror(EFBIG))) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_all(path), original);
    EXPECT_TRUE(dir.others({"debugger.ini"}).empty());
}

TEST(IniFileSave, ConcurrentPutsFromTwoThreadsLoseNothing) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("debugger.ini");
    ASSERT_TRUE(write_all(path, "; shared\n[other]\nx=1\n\n[shared]\n"));
    constexpr int kKeys = 25, kRounds = 3;

    auto worker = [&](int id, bool* all_ok) {
        *all_ok = true;
        for (int round = 0; round < kRounds; ++round) {
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "t" + std::to_string(id) + "_k" + std::to_string(k);
                std::string value = "round" + std::to_string(round);
                IniPair p{key.c_str(), value.c_str()};
                *all_ok &= ini_put(path.c_str(), "shared", &p, 1);
            }
        }
    };
    bool ok0 = false, ok1 = false;
    std::thread a(worker, 0, &ok0), b(worker, 1, &ok1);
    a.join();
    b.join();
    EXPECT_TRUE(ok0);
    EXPECT_TRUE(ok1);

    const std::string last = "round" + std::to_string(kRounds - 1);
    for (int id = 0; id < 2; ++id)
        for (int k = 0; k < kKeys; ++k) {
            std::string key = "t" + std::to_string(id) + "_k" + std::to_string(k);
            EXPECT_EQ(get_file(path, "shared", key.c_str()), ok(last)) << key;
        }
    EXPECT_EQ(get_file(path, "other", "x"), ok("1"));
    EXPECT_TRUE(dir.others({"debugger.ini"}).empty());
}
