// Fetching a large page from a loopback server, with the event callback run
// after every block as the window would have it.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "engine/Download.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RecordingHost.h"

namespace {

void BM_DownloadUrl(benchmark::State& state)
{
    setenv("NO_PROXY", "*", 1);
    TChildProcess server(PythonFixture("http_server.py"));
    const std::int64_t size = state.range(0);
    const std::string address = "http://127.0.0.1:" + server.FirstLine() + "/bytes?n=" + std::to_string(size);
    TRecordingHost host;
    TEngineFlags flags;
    TPageDownload download(host, flags);
    std::int64_t progressCalls = 0;
    download.ShowProgress = [&](std::int64_t, std::int64_t) { ++progressCalls; };
    std::string text;
    for (auto _ : state) {
        if (!download.DownloadUrl(address, text) || static_cast<std::int64_t>(text.size()) != size) {
            state.SkipWithError(("download failed: " + (host.Messages.empty() ? std::string() : host.Messages.back())).c_str());
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["events_per_fetch"] =
        static_cast<double>(host.EventRuns) / static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
    state.counters["progress_per_fetch"] =
        static_cast<double>(progressCalls) / static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
}
BENCHMARK(BM_DownloadUrl)->Arg(10 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
