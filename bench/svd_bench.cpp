// Loads the STM32F407 SVD (2 MB, 76 peripherals) N times and prints the best
// and median time with the model's size; with valgrind present, also the
// instructions one load takes under callgrind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "symbols/svd.h"

static double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int main(int argc, char** argv) {
    const std::string path = std::string(KORVANE_SHARED_DATA) + "/svd/STM32F407.svd";
    bool once = argc > 1 && strcmp(argv[1], "--once") == 0;
    int runs = argc > 1 && !once ? atoi(argv[1]) : 30;
    if (runs < 1) runs = 1;
    if (once) {  // the process callgrind measures
        SvdDevice* d = svd_load(path.c_str());
        svd_free(d);
        return d ? 0 : 1;
    }

    std::vector<double> ms;
    long regs = 0, fields = 0;
    int periphs = 0;
    for (int i = 0; i < runs; ++i) {
        double t0 = now_ms();
        SvdDevice* d = svd_load(path.c_str());
        double t1 = now_ms();
        if (!d) {
            fprintf(stderr, "svd_bench: %s: %s\n", path.c_str(), svd_error());
            return 1;
        }
        ms.push_back(t1 - t0);
        periphs = svd_peripheral_count(d);
        regs = fields = 0;
        for (int p = 0; p < periphs; ++p) {
            const SvdPeripheral* per = svd_get_peripheral(d, p);
            regs += svd_register_count(per);
            for (int r = 0; r < svd_register_count(per); ++r) fields += svd_field_count(svd_get_register(per, r));
        }
        svd_free(d);
    }
    std::sort(ms.begin(), ms.end());
    printf("svd_load STM32F407.svd x%d: best %.2f ms, median %.2f ms (target < 100 ms)\n", runs, ms.front(),
           ms[ms.size() / 2]);
    printf("model: %d peripherals, %ld registers, %ld fields\n", periphs, regs, fields);

    if (system("command -v valgrind >/dev/null 2>&1") == 0) {
        std::string cmd = "valgrind --tool=callgrind --callgrind-out-file=/dev/null '--toggle-collect=svd_load*' '" +
                          std::string(argv[0]) + "' --once 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        char line[512];
        while (p && fgets(line, sizeof line, p))
            if (const char* c = strstr(line, "Collected :"))
                printf("callgrind: %ld instructions in one svd_load\n", atol(c + strlen("Collected :")));
        if (p) pclose(p);
    }
    return 0;
}
