#include "engine/ChangeMeasure.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

// Page-like text: lines of 0 to 160 bytes drawn mostly from markup and prose
// characters, with an occasional byte from the upper half.
TLines MakePage(std::size_t bytes, unsigned seed)
{
    static const std::string common =
        "<>/=\" abcdefghijklmnopqrstuvwxyzetaoinshrdlu ABCDEFGHIJ0123456789.,;:-_#&";
    std::mt19937 rng(seed);
    TLines lines;
    std::size_t total = 0;
    while (total < bytes) {
        std::string line(rng() % 161, ' ');
        for (auto& c : line) {
            const unsigned r = rng();
            c = (r % 64 == 0) ? static_cast<char>(128 + (r >> 8) % 128)
                              : common[(r >> 8) % common.size()];
        }
        total += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

void BM_ChangeMeasure(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    const TLines fresh = MakePage(size, 1);
    const TLines stored = MakePage(size, 2);
    for (auto _ : state)
        benchmark::DoNotOptimize(ChangeMeasure(fresh, stored));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(JoinedLength(fresh) + JoinedLength(stored)));
}

// Two pages of 1 MiB and two of 16 MiB.
BENCHMARK(BM_ChangeMeasure)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

} // namespace
