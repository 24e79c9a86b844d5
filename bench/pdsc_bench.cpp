// The .pdsc reader on the largest ST pack (F4, 238 KB): listing its devices
// and loading one device with its sequences, best and median of N runs, next
// to `xmllint --noout` on the same file (a parse with nothing built on it).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "target/pdsc.h"

static double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class Fn>
static bool row(const char* what, int runs, Fn&& fn) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        double t0 = now_ms();
        if (!fn()) return false;
        ms.push_back(now_ms() - t0);
    }
    std::sort(ms.begin(), ms.end());
    printf("  %-44s best %7.3f ms  median %7.3f ms\n", what, ms[0], ms[ms.size() / 2]);
    return true;
}

int main(int argc, char** argv) {
    const std::string path = std::string(KORVANE_SHARED_DATA) + "/pdsc/Keil.STM32F4xx_DFP.pdsc";
    const char* device = "STM32F407VGTx";
    int runs = argc > 1 ? atoi(argv[1]) : 30;
    if (runs < 1) runs = 1;

    static char names[1024][64];
    int count = pdsc_xml_list_devices(path.c_str(), names, 1024);
    auto dev = std::make_unique<PdscDevice>();
    if (count < 1 || !pdsc_xml_load(path.c_str(), device, dev.get())) {
        fprintf(stderr, "pdsc_bench: %s: %s\n", path.c_str(), count < 1 ? "no devices" : dev->parse_error);
        return 1;
    }
    int nodes = 0;
    for (int i = 0; i < dev->sequence_count; ++i) nodes += dev->sequences[i].pool_used;
    printf("%s: %d devices; %s: %d memories, %d sequences, %d nodes, %d debug variables\n", path.c_str(), count,
           device, dev->memory_count, dev->sequence_count, nodes, dev->debug_var_count);

    bool ok = row("pdsc_xml_list_devices", runs, [&] { return pdsc_xml_list_devices(path.c_str(), names, 1024) == count; });
    ok = ok && row("pdsc_xml_load (one device, its sequences)", runs,
                   [&] { return pdsc_xml_load(path.c_str(), device, dev.get()); });
    if (system("which xmllint >/dev/null 2>&1") == 0) {
        const std::string cmd = "xmllint --noout '" + path + "'";
        ok = ok && row("xmllint --noout (a process each run)", runs, [&] { return system(cmd.c_str()) == 0; });
        ok = ok && row("true (the cost of starting a process)", runs, [&] { return system("true") == 0; });
    } else {
        printf("  xmllint not installed: no comparison row\n");
    }
    return ok ? 0 : 1;
}
