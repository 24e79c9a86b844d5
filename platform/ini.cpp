#include "platform/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

namespace {

struct Line {
    size_t start;  // first byte of the line (after the BOM for the first line)
    size_t end;    // end of the content, before "\n" or "\r\n"
    size_t next;   // start of the following line
};

}  // namespace

static const char kBom[] = "\xEF\xBB\xBF";

static std::mutex g_write_lock;
static std::atomic<IniWriteHook> g_write_hook{nullptr};
static std::atomic<unsigned long> g_tmp_counter{0};
static thread_local char t_error[2048];

__attribute__((format(printf, 1, 2))) static void set_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(t_error, sizeof t_error, fmt, ap);
    va_end(ap);
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    // A lone '\r' can end the last line of a CRLF file that lost its final '\n'.
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

static char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

static bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

static size_t body_start(std::string_view t) {
    return t.substr(0, 3) == std::string_view(kBom, 3) ? 3 : 0;
}

static bool next_line(std::string_view t, size_t& pos, Line& ln) {
    if (pos >= t.size()) return false;
    ln.start = pos;
    size_t nl = t.find('\n', pos);
    if (nl == std::string_view::npos) {
        ln.end = ln.next = t.size();
    } else {
        ln.next = nl + 1;
        ln.end = (nl > pos && t[nl - 1] == '\r') ? nl - 1 : nl;
    }
    pos = ln.next;
    return true;
}

static std::string_view content(std::string_view t, const Line& ln) {
    return t.substr(ln.start, ln.end - ln.start);
}

// A header ends the previous section even when its ']' is missing; the name
// then runs to the end of the line.
static bool header_name(std::string_view line, std::string_view& name) {
    line = trim(line);
    if (line.empty() || line.front() != '[') return false;
    line.remove_prefix(1);
    size_t close = line.find(']');
    name = trim(close == std::string_view::npos ? line : line.substr(0, close));
    return true;
}

static bool key_line(std::string_view line, std::string_view& key, std::string_view& value) {
    line = trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') return false;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == value.back() &&
        (value.front() == '"' || value.front() == '\''))
        value = value.substr(1, value.size() - 2);
    return true;
}

// Finds the first section called `section`. `body_end` is where the next
// header starts (or the end of the text).
static bool find_section(std::string_view t, std::string_view section, Line& header,
                         size_t& body_end) {
    size_t pos = body_start(t);
    Line ln;
    bool found = false;
    while (next_line(t, pos, ln)) {
        std::string_view name;
        if (!header_name(content(t, ln), name)) continue;
        if (found) {
            body_end = ln.start;
            return true;
        }
        if (iequals(name, section)) {
            header = ln;
            found = true;
        }
    }
    body_end = t.size();
    return found;
}

// Names that would read back differently (or not at all) are refused rather
// than written: a reader trims blanks, treats ';'/'#' lines as comments and
// '[' lines as headers.
static const char* key_problem(const char* key) {
    if (!key || !*key) return "key is empty";
    std::string_view k(key);
    if (k.find_first_of("=\r\n") != std::string_view::npos)
        return "key contains '=' or a line break";
    if (k.front() == '[' || k.front() == ';' || k.front() == '#')
        return "key starts with '[', ';' or '#'";
    if (is_blank(k.front()) || is_blank(k.back())) return "key starts or ends with a blank";
    return nullptr;
}

static const char* section_problem(const char* section) {
    if (!section || !*section) return "section name is empty";
    std::string_view s(section);
    if (s.find_first_of("]\r\n") != std::string_view::npos)
        return "section name contains ']' or a line break";
    if (is_blank(s.front()) || is_blank(s.back()))
        return "section name starts or ends with a blank";
    return nullptr;
}

static const char* value_problem(const char* value) {
    if (value && std::strpbrk(value, "\r\n")) return "value contains a line break";
    return nullptr;
}

// Returns a description of the first invalid argument, nullptr when all are fine.
static const char* set_problem(const char* section, const IniPair* pairs, int count,
                               const char** bad_key) {
    *bad_key = "";
    if (count < 0 || (count > 0 && !pairs)) return "no keys given";
    if (const char* p = section_problem(section)) return p;
    for (int i = 0; i < count; ++i) {
        const char* p = key_problem(pairs[i].key);
        if (!p) p = value_problem(pairs[i].value);
        if (p) {
            *bad_key = pairs[i].key ? pairs[i].key : "";
            return p;
        }
    }
    return nullptr;
}

// Values whose edges a reader would trim or unquote are wrapped in one pair
// of double quotes so they read back exactly as given.
static std::string make_key_line(std::string_view key, std::string_view value) {
    bool quote = !value.empty() &&
                 (is_blank(value.front()) || is_blank(value.back()) ||
                  (value.size() >= 2 && value.front() == value.back() &&
                   (value.front() == '"' || value.front() == '\'')));
    std::string line;
    line.reserve(key.size() + value.size() + 3);
    line.append(key);
    line += '=';
    if (quote) line += '"';
    line.append(value);
    if (quote) line += '"';
    return line;
}

static const char* line_ending_of(std::string_view t) {
    size_t nl = t.find('\n');
    return (nl != std::string_view::npos && nl > 0 && t[nl - 1] == '\r') ? "\r\n" : "\n";
}

// What to add after the text's last line to end it; a dangling '\r' of a
// CRLF file only needs its '\n'.
static std::string ending_for(const std::string& t, const char* eol) {
    if (t.empty() || t.back() == '\n') return "";
    if (t.back() == '\r' && std::strcmp(eol, "\r\n") == 0) return "\n";
    return eol;
}

// The first line at or after `pos` (before `end`) that sets `key`.
static bool find_key(std::string_view t, size_t pos, size_t end, std::string_view key, Line& match) {
    Line ln{};
    while (pos < end && next_line(t, pos, ln)) {
        std::string_view c = content(t, ln), k, v;
        if (key_line(c, k, v) && iequals(k, key)) {
            match = ln;
            return true;
        }
    }
    return false;
}

static void apply_pair(std::string& t, std::string_view section, const IniPair& pair,
                       const char* eol) {
    std::string_view key(pair.key);
    Line header{}, ln{}, last{}, match{};
    size_t body_end = 0;
    bool has_section = find_section(t, section, header, body_end);
    bool has_key = false;
    if (has_section) {
        last = header;
        size_t pos = header.next;
        while (pos < body_end && next_line(t, pos, ln)) {
            std::string_view c = content(t, ln), k, v;
            if (key_line(c, k, v) && iequals(k, key)) {
                match = ln;
                has_key = true;
                break;
            }
            if (!trim(c).empty()) last = ln;
        }
    }

    if (has_key) {
        if (pair.value)
            t.replace(match.start, match.end - match.start, make_key_line(key, pair.value));
        else  // every copy: a duplicate below the first would show through
            do {
                size_t len = match.next - match.start;
                t.erase(match.start, len);
                body_end -= len;
            } while (find_key(t, match.start, body_end, key, match));
        return;
    }
    if (!pair.value) return;  // deleting a key that is not there

    std::string line = make_key_line(key, pair.value);
    if (has_section) {
        if (last.next > last.end)
            t.insert(last.next, line + eol);
        else  // the section's last line is the file's last and has no line ending
            t.insert(last.next, ending_for(t, eol) + line);
        return;
    }
    if (t.size() > body_start(t)) t += ending_for(t, eol);
    t += '[';
    t.append(section);
    t += ']';
    t += eol;
    t += line;
    t += eol;
}

IniGet ini_text_get(const std::string& text, const char* section, const char* key, char* out,
                    size_t cap) {
    if (!out) cap = 0;
    if (cap > 0) out[0] = '\0';
    if (!section || !key) return INI_GET_MISSING;
    std::string_view t(text);
    Line header{}, ln{};
    size_t body_end = 0;
    if (!find_section(t, section, header, body_end)) return INI_GET_MISSING;
    size_t pos = header.next;
    while (pos < body_end && next_line(t, pos, ln)) {
        std::string_view k, v;
        if (!key_line(content(t, ln), k, v) || !iequals(k, key)) continue;
        if (v.size() + 1 > cap) return INI_GET_TOO_LONG;
        std::memcpy(out, v.data(), v.size());
        out[v.size()] = '\0';
        return INI_GET_OK;
    }
    return INI_GET_MISSING;
}

bool ini_text_set(std::string& text, const char* section, const IniPair* pairs, int count) {
    const char* bad_key;
    if (set_problem(section, pairs, count, &bad_key)) return false;
    try {
        // Work on a copy so a failure half-way leaves `text` as it was.
        std::string t = text;
        const char* eol = line_ending_of(t);
        for (int i = 0; i < count; ++i) apply_pair(t, section, pairs[i], eol);
        text.swap(t);
        return true;
    } catch (...) {
        return false;
    }
}

void ini_text_remove_section(std::string& text, const char* section) {
    if (!section) return;
    Line header{};
    size_t body_end = 0;
    if (find_section(text, section, header, body_end))
        text.erase(header.start, body_end - header.start);
}

// Reads a whole regular file; on failure `err` holds errno. Opened without
// blocking and checked with fstat, so a FIFO or device in the settings path
// cannot hang the program.
static bool read_file(const char* path, std::string& out, int& err) {
    out.clear();
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno ? errno : EIO;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno ? errno : EIO;
            close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, (size_t)n);
    }
    close(fd);
    return true;
}

IniGet ini_get(const char* path, const char* section, const char* key, char* out, size_t cap) {
    if (out && cap > 0) out[0] = '\0';
    if (!path || !*path) return INI_GET_MISSING;
    try {
        std::string text;
        int err = 0;
        if (!read_file(path, text, err)) return INI_GET_MISSING;
        return ini_text_get(text, section, key, out, cap);
    } catch (...) {
        return INI_GET_MISSING;
    }
}

static std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Writes `text` to a new file next to `target` and renames it over `target`,
// so readers and crashes only ever see the old or the new complete file.
static bool replace_file(const std::string& target, const std::string& text, bool keep_mode,
                         mode_t mode) {
    std::string tmp;
    int fd = -1;
    // A crashed earlier process with the same pid may have left a file behind.
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = target + ".tmp." + std::to_string(getpid()) + "." +
              std::to_string(g_tmp_counter.fetch_add(1) + 1);
        fd = open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) {
        set_error("cannot create temporary file '%s': %s", tmp.c_str(), std::strerror(errno));
        return false;
    }

    bool ok = false;
    try {
        // open() applied the umask; the replacement keeps the old file's mode.
        if (keep_mode) (void)fchmod(fd, mode);
        size_t done = 0;
        ok = true;
        while (ok && done < text.size()) {
            size_t n = std::min<size_t>(4096, text.size() - done);
            ssize_t w = write(fd, text.data() + done, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                set_error("cannot write temporary file '%s': %s", tmp.c_str(),
                          w < 0 ? std::strerror(errno) : "no progress");
                ok = false;
                break;
            }
            done += size_t(w);
            if (IniWriteHook hook = g_write_hook.load()) hook(done);
        }
        if (ok && fsync(fd) != 0) {
            set_error("cannot flush temporary file '%s': %s", tmp.c_str(), std::strerror(errno));
            ok = false;
        }
    } catch (...) {
        set_error("write of temporary file '%s' was aborted", tmp.c_str());
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        set_error("cannot close temporary file '%s': %s", tmp.c_str(), std::strerror(errno));
        ok = false;
    }
    if (ok && std::rename(tmp.c_str(), target.c_str()) != 0) {
        set_error("cannot rename '%s' to '%s': %s", tmp.c_str(), target.c_str(),
                  std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }

    // Makes the rename itself durable; not every file system supports it.
    int dir = open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}

template <class Change>
static bool modify_file(const char* path, Change&& change) {
    if (!path || !*path) {
        set_error("no settings file name given");
        return false;
    }
    try {
        std::lock_guard<std::mutex> lock(g_write_lock);

        // Replace the file a symbolic link points to, not the link itself.
        std::string target = path;
        struct stat st;
        if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
            char* real = realpath(path, nullptr);
            if (!real) {
                set_error("cannot resolve symbolic link '%s': %s", path, std::strerror(errno));
                return false;
            }
            target = real;
            std::free(real);
        }

        std::string old;
        int err = 0;
        if (!read_file(target.c_str(), old, err)) {
            // Only a file that is not there counts as empty; anything else
            // would be overwritten and lost.
            if (err != ENOENT) {
                set_error("cannot read '%s': %s", target.c_str(),
                          err == EINVAL ? "not a regular file" : std::strerror(err));
                return false;
            }
            old.clear();
        }

        std::string text = old;
        if (!change(text)) return false;
        if (text == old) return true;

        bool keep_mode = stat(target.c_str(), &st) == 0;
        mode_t mode = keep_mode ? (st.st_mode & 07777) : 0644;
        return replace_file(target, text, keep_mode, mode);
    } catch (const std::bad_alloc&) {
        set_error("out of memory while saving '%s'", path);
        return false;
    } catch (...) {
        set_error("unexpected failure while saving '%s'", path);
        return false;
    }
}

bool ini_put(const char* path, const char* section, const IniPair* pairs, int count) {
    const char* bad_key;
    if (const char* problem = set_problem(section, pairs, count, &bad_key)) {
        set_error("cannot save key '%s' in section '%s': %s", bad_key, section ? section : "",
                  problem);
        return false;
    }
    return modify_file(path, [&](std::string& text) {
        if (ini_text_set(text, section, pairs, count)) return true;
        set_error("out of memory while changing section '%s'", section);
        return false;
    });
}

bool ini_remove_section(const char* path, const char* section) {
    if (!section) {
        set_error("no section name given");
        return false;
    }
    return modify_file(path, [&](std::string& text) {
        ini_text_remove_section(text, section);
        return true;
    });
}

const char* ini_error() { return t_error; }

void ini_set_write_hook(IniWriteHook hook) { g_write_hook.store(hook); }
