// A pass of vendrel-check over 200 sites of about 100 KiB each on a loopback
// HTTP server, 40 of which have changed, delivering to a loopback SMTP sink;
// a first pass that delivers all 200; and a pass in which nothing changed. Each pass is the real command in its
// own process, so wall time and peak resident memory are what a cron job sees.
//
// The argument is a round trip in milliseconds. Above 0 every connection,
// HTTP and SMTP, goes through a proxy that adds it, and the pages are spread
// over 40 hosts (127.0.0.2 to 127.0.0.41), as across the internet.

#include "tests/support/LatencyProxy.h"
#include "tests/support/LoopbackServers.h"
#include "tests/support/PageServer.h"
#include "tests/support/TempDataFolder.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int Sites = 200;
constexpr int Changed = 40;
constexpr std::size_t PageBytes = 100 * 1024;

std::string Page(int site, int variant)
{
    std::mt19937 rng(static_cast<unsigned>(site * 7919));
    std::string page = "<html><head><title>Site " + std::to_string(site) +
                       "</title><link rel=\"stylesheet\" href=\"style.css\"></head><body>\r\n";
    static const char* words[] = {"alpha", "beta", "gamma", "delta", "news", "report", "update", "weather",
                                  "market", "sports", "science", "music", "travel", "health", "policy"};
    int link = 0;
    while (page.size() < PageBytes) {
        page += "<p>";
        for (int w = 0; w < 12; ++w) {
            page += words[rng() % 15];
            page += ' ';
        }
        if (variant % 2 == 1)
            page += "ZZZZ QQQQ XXXX JJJJ KKKK VVVV 9999 8888 7777 ";
        page += "<a href=\"page" + std::to_string(link++) + ".html\">more</a></p>\r\n";
    }
    return page + "</body></html>\r\n";
}

struct TRun {
    double seconds;
    double cpuSeconds;
    long maxRssKb;
    int status;
};

TRun SpawnAndWait()
{
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        // BENCH_CHECK_WRAPPER (say "perf record -g -o /tmp/pass.data") runs
        // each pass under a profiler.
        std::vector<std::string> words;
        if (const char* wrapper = std::getenv("BENCH_CHECK_WRAPPER")) {
            std::istringstream split(wrapper);
            for (std::string word; split >> word;)
                words.push_back(word);
        }
        words.emplace_back(VENDREL_CHECK);
        std::vector<char*> argv;
        for (auto& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return {seconds, cpu, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The system counts the memory a child had before it started the command in
// the command's peak; a child forked from the benchmark would carry all the
// served pages. So the commands are started by a small process forked before
// anything is loaded.
class TLauncher {
public:
    TLauncher()
    {
        int request[2];
        int reply[2];
        if (pipe(request) != 0 || pipe(reply) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(request[1]);
            close(reply[0]);
            // Each request names the data home the command is to use.
            std::uint32_t length = 0;
            while (read(request[0], &length, sizeof length) == sizeof length) {
                std::string dataHome(length, '\0');
                if (read(request[0], dataHome.data(), length) != static_cast<ssize_t>(length))
                    break;
                setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
                const TRun run = SpawnAndWait();
                if (write(reply[1], &run, sizeof run) != sizeof run)
                    break;
            }
            _exit(0);
        }
        close(request[0]);
        close(reply[1]);
        request_ = request[1];
        reply_ = reply[0];
    }
    ~TLauncher()
    {
        close(request_);
        close(reply_);
        waitpid(pid_, nullptr, 0);
    }
    TRun Run()
    {
        const std::string dataHome = std::getenv("XDG_DATA_HOME");
        const auto length = static_cast<std::uint32_t>(dataHome.size());
        TRun run{0, 0, 0, -1};
        if (write(request_, &length, sizeof length) != sizeof length ||
            write(request_, dataHome.data(), length) != static_cast<ssize_t>(length) ||
            read(reply_, &run, sizeof run) != sizeof run)
            return {0, 0, 0, -1};
        return run;
    }

private:
    pid_t pid_ = -1;
    int request_ = -1;
    int reply_ = -1;
};

TLauncher Launcher;

TRun RunCheck()
{
    return Launcher.Run();
}

constexpr int Hosts = 40;

struct TWorld {
    TTempDataFolder folder;
    TPageServer http;
    TSmtpSink smtp{false, true};
    std::unique_ptr<TLatencyProxy> proxy;
    int variant = 0;

    explicit TWorld(int rttMs)
    {
        int smtpPort = smtp.Port();
        std::vector<std::string> hostBase;
        if (rttMs > 0) {
            proxy = std::make_unique<TLatencyProxy>(rttMs);
            for (int h = 0; h < Hosts; ++h) {
                const std::string address = "127.0.0." + std::to_string(2 + h);
                hostBase.push_back("http://" + address + ":" + std::to_string(proxy->Listen(address, http.Port())));
            }
            smtpPort = proxy->Listen("127.0.0.1", smtp.Port());
            proxy->Start();
        } else {
            hostBase.push_back(http.Url(""));
        }
        WriteFile(folder.DataFolder() + "Settings.dat",
                  "[Server]\r\nSMTPServer=127.0.0.1\r\nSMTPPort=" + std::to_string(smtpPort) +
                      "\r\n[Settings]\r\nDestEmail=bench@example.org\r\nActiveNetConnection=False\r\n");
        std::string sites;
        for (int i = 0; i < Sites; ++i) {
            const std::string path = "/site" + std::to_string(i) + "/index.html";
            SetPage(i);
            sites += "Site " + std::to_string(1000 + i) + std::string(18, ' ') + "{" +
                     hostBase[static_cast<std::size_t>(i) % hostBase.size()] + path + "}-2\r\n";
        }
        WriteFile(folder.DataFolder() + "Sites.dat", sites);
        // The first pass delivers every site and stores its page.
        RunCheck();
    }

    // Each version of a page has its own ETag, as a web server gives it.
    void SetPage(int site, int version = 0)
    {
        TPageServer::TPage page;
        page.Body = Page(site, version);
        page.ETag = "\"" + std::to_string(site) + "-" + std::to_string(version) + "\"";
        http.SetPage("/site" + std::to_string(site) + "/index.html", std::move(page));
    }

    void ChangeSome()
    {
        ++variant;
        for (int i = 0; i < Changed; ++i)
            SetPage(i * (Sites / Changed), variant);
    }
};

// Runs the passes, each after an untimed prepare, and reports their mean
// wall and CPU time, the highest peak resident memory and the mails each
// pass sent; a pass that fails or sends another number of mails is an error.
template <typename F>
void RunPasses(benchmark::State& state, TWorld& world, F prepare, int expectedMails)
{
    double total = 0;
    double cpu = 0;
    long rss = 0;
    int mails = 0;
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        const int before = world.smtp.Messages();
        state.ResumeTiming();
        const TRun run = RunCheck();
        state.SetIterationTime(run.seconds);
        total += run.seconds;
        cpu += run.cpuSeconds;
        rss = std::max(rss, run.maxRssKb);
        mails = world.smtp.Messages() - before;
        if (run.status != 0 || mails != expectedMails)
            state.SkipWithError("vendrel-check failed");
    }
    const auto passes = static_cast<double>(state.iterations());
    state.counters["pass_s"] = total / passes;
    state.counters["cpu_s"] = cpu / passes;
    state.counters["per_site_ms"] = total / passes * 1000.0 / Sites;
    state.counters["peak_rss_MB"] = static_cast<double>(rss) / 1024.0;
    state.counters["mails"] = mails;
}

void BM_CheckPassFortyChanged(benchmark::State& state)
{
    TWorld world(static_cast<int>(state.range(0)));
    RunPasses(state, world, [&] { world.ChangeSome(); }, Changed);
}

// Every site delivered: the first pass after the sites were added.
void BM_CheckPassFirst(benchmark::State& state)
{
    TWorld world(static_cast<int>(state.range(0)));
    RunPasses(state, world, [&] { std::filesystem::remove_all(world.folder.DataFolder() + "HTML"); }, Sites);
}

void BM_CheckPassUnchanged(benchmark::State& state)
{
    TWorld world(static_cast<int>(state.range(0)));
    RunPasses(state, world, [] {}, 0);
}

} // namespace

// The round trip: 0 (loopback as it is) and 50 ms (a close server across the internet).
BENCHMARK(BM_CheckPassFortyChanged)->Arg(0)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CheckPassFirst)->Arg(0)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CheckPassUnchanged)->Arg(0)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
