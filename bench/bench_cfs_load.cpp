// The CFS loader in process, without the start-up of a program: a whole load of 1, 8 and 64 MiB
// texts, and the loader's own share of it, the text block grown by each 1024-byte chunk
// (realloc to exactly the bytes so far plus the terminator, then the copy), beside one block
// of the final size filled by the same copies. bench_cfs_load.sh compares whole processes.
#include "cfs/cfs.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t k_mib = 1024 * 1024;
constexpr size_t k_chunk = 1024;

// Entry lines varied by a fixed linear congruential sequence, cut to exactly size bytes.
std::string make_text(size_t size) {
    static const char *const families[] = {"QSTOR ACME-", "HALCYON HD-", "MERIDIAN MX",
                                           "NORTHVL NV-", "TORVEX T"};
    std::string text;
    text.reserve(size + 128);
    unsigned long x = 12345;
    char line[160];
    while (text.size() < size) {
        x = (x * 1103515245 + 12345) % 2147483648UL;
        unsigned a = x % 5;
        unsigned m = (x / 8) % 10000;
        x = (x * 1103515245 + 12345) % 2147483648UL;
        unsigned r = x % 97;
        snprintf(line, sizeof line, "%s%04u*;%c%02u.B0?;fw/%u/%.3s%04u_%02u.bin;%c%02u.B1*\n",
                 families[a], m, 'A' + a, r, a, families[a], m, r + 1, 'A' + a, r + 1);
        text += line;
    }
    text.resize(size);
    return text;
}

// A CFS file of a text of size bytes in the temporary directory; removed when the run ends.
std::string packed_file(size_t size) {
    std::string text = make_text(size);
    size_t len = 0;
    unsigned char *bytes = cfs_pack(text.data(), text.size(), k_cfs_default_pad, &len);
    if (bytes == nullptr) {
        return "";
    }
    char path[] = "/tmp/bench_cfs_load_XXXXXX";
    int fd = mkstemp(path);
    bool ok = fd >= 0 && write(fd, bytes, len) == static_cast<ssize_t>(len);
    free(bytes);
    if (fd >= 0) {
        close(fd);
    }
    return ok ? path : "";
}

void bm_cfs_load(benchmark::State &state) {
    size_t size = static_cast<size_t>(state.range(0)) * k_mib;
    std::string path = packed_file(size);
    if (path.empty()) {
        state.SkipWithError("cannot make the CFS file");
        return;
    }
    for (auto _ : state) {
        size_t len = 0;
        char *text = cfs_load_with_length(path.c_str(), &len);
        if (text == nullptr || len != size) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(text);
        free(text);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The loader's growth pattern alone: one realloc per chunk to the exact size so far.
void bm_chunk_growth(benchmark::State &state) {
    size_t size = static_cast<size_t>(state.range(0)) * k_mib;
    unsigned char chunk[k_chunk];
    memset(chunk, 'x', sizeof chunk);
    for (auto _ : state) {
        char *text = nullptr;
        size_t used = 0;
        while (used < size) {
            char *grown = static_cast<char *>(realloc(text, used + k_chunk + 1));
            if (grown == nullptr) {
                state.SkipWithError("realloc failed");
                break;
            }
            text = grown;
            memcpy(text + used, chunk, k_chunk);
            used += k_chunk;
        }
        benchmark::DoNotOptimize(text);
        free(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The same copies into one block of the final size: what the chunks cost without growing.
void bm_single_block(benchmark::State &state) {
    size_t size = static_cast<size_t>(state.range(0)) * k_mib;
    unsigned char chunk[k_chunk];
    memset(chunk, 'x', sizeof chunk);
    for (auto _ : state) {
        char *text = static_cast<char *>(malloc(size + 1));
        if (text == nullptr) {
            state.SkipWithError("malloc failed");
            break;
        }
        for (size_t used = 0; used < size; used += k_chunk) {
            memcpy(text + used, chunk, k_chunk);
        }
        benchmark::DoNotOptimize(text);
        free(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

} // namespace

BENCHMARK(bm_cfs_load)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_chunk_growth)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_single_block)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
