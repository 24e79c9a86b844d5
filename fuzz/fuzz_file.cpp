#include "fuzz/fuzz_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/log_store.h"

// The readers log every refusal; millions of them would fill debugger.log.
static const bool s_no_log_file = (log_set_file_path(""), true);

void fuzz_begin() { log_clear(&logv); }

const char* fuzz_file(const uint8_t* data, size_t size) {
    static int fd = memfd_create("fuzz-input", 0);
    static char path[64];
    if (fd < 0) return nullptr;
    if (ftruncate(fd, 0) != 0) return nullptr;
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
        if (n <= 0) return nullptr;
        done += (size_t)n;
    }
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return path;
}

const char* fuzz_folder() {
    static char dir[64];
    if (!dir[0]) {
        snprintf(dir, sizeof dir, "/tmp/korvane-fuzz-XXXXXX");
        if (!mkdtemp(dir)) {
            perror("mkdtemp");
            abort();
        }
    }
    return dir;
}
