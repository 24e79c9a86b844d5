// Target INI files: the reader never overruns a capacity, leaves every text
// terminated, and what it accepted keeps its promises (steps, sequences,
// sector runs inside their bounds; erase units inside the flash).
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_file.h"
#include "target/target_algo.h"

namespace {

void need(bool ok) {
    if (!ok) abort();
}

void terminated(const char* s, size_t cap) { need(strnlen(s, cap) < cap); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_begin();
    static TargetAlgo* algo = new TargetAlgo;  // 200 KB: not on the stack
    const char* path = fuzz_file(data, size);
    if (!path) return 0;
    const bool ok = target_algo_load(path, algo);
    need(algo->seq_count >= 0 && algo->seq_count <= ALGO_MAX_SEQUENCES);
    need(algo->flash.sector_run_count >= 0 && algo->flash.sector_run_count <= ALGO_MAX_SECTOR_RUNS);
    for (const char* s : {algo->device.name, algo->device.vendor, algo->device.family}) terminated(s, ALGO_TEXT_LEN);
    terminated(algo->flash.bin_path, ALGO_PATH_LEN);
    terminated(algo->base_dir, ALGO_PATH_LEN);
    for (int i = 0; i < algo->seq_count; ++i) {
        const Sequence& q = algo->sequences[i];
        terminated(q.name, ALGO_NAME_LEN);
        need(q.step_count >= 0 && q.step_count <= ALGO_MAX_STEPS);
        for (const SeqStep& st : q.steps) {
            need(st.op >= SEQ_OP_NOP && st.op <= SEQ_OP_LOOP_END);
            terminated(st.call_name, ALGO_NAME_LEN);
            for (const char* n : st.arg_names) terminated(n, ALGO_NAME_LEN);
            need(st.skip_count < ALGO_MAX_STEPS);
        }
        need(target_algo_find_seq(algo, q.name) != nullptr);
    }
    if (ok) {
        need(algo->flash.page_size && algo->flash.erase_ms && algo->flash.program_ms);
        const AlgoFlash& fl = algo->flash;
        for (uint64_t a = fl.flash_base; a < (uint64_t)fl.flash_base + fl.flash_size; a += (fl.flash_size / 7) + 1) {
            uint32_t start, sz, num;
            if (!target_algo_unit_at(&fl, (uint32_t)a, true, &start, &sz, &num)) continue;
            need(sz && start <= a && a - start < sz && start >= fl.flash_base);
        }
    }
    target_algo_free(algo);
    return 0;
}
