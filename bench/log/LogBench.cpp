// The cost of one logging call to the thread that makes it, for the system's logger (format on
// the caller's thread, then queue for the writer thread) and for spdlog's async logger (queue the
// arguments, format on its worker thread) writing the same messages to a file. Both loggers
// write to a temporary folder that is removed at the end.
//
//   bench_log [--benchmark_min_time=...]
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/CBBLog.h"
#include "base/Log.h"

namespace {

std::string g_root;

void useTemporaryFolders() {
    char tmpl[] = "/tmp/bench_log.XXXXXX";
    g_root = mkdtemp(tmpl);
    setenv("PELMO_APPDATA", (g_root + "/appdata").c_str(), 1);
    setenv("PELMO_REGISTRY", (g_root + "/registry").c_str(), 1);
}

// A line like the plug-in's busiest ones: a class, a number and a wide text.
void BM_CBBLog_Info(benchmark::State& state) {
    auto log = std::make_shared<CBBLog>(L"Skyvane.log", false, 512 * 1024 * 1024LL);
    log->setLevel(4);
    setCurrentLogger(log);
    const std::wstring name = L"tv.channel.dvbt";
    int i = 0;
    for (auto _ : state)
        info(L"[ChannelScan] frequency %d kHz tuned on %s, strength %d", 474000 + i++, name.c_str(), 87);
    state.SetItemsProcessed(state.iterations());
    setCurrentLogger(nullptr);
}

void BM_Spdlog_Info(benchmark::State& state) {
    spdlog::init_thread_pool(8192, 1);
    auto log = spdlog::basic_logger_mt<spdlog::async_factory>("bench", g_root + "/spdlog.log");
    log->set_level(spdlog::level::debug);
    log->set_pattern("%Y/%m/%d %H:%M:%S.%e [%-5l] - %v");
    const std::string name = "tv.channel.dvbt";
    int i = 0;
    for (auto _ : state)
        log->info("[ChannelScan] frequency {} kHz tuned on {}, strength {}", 474000 + i++, name, 87);
    state.SetItemsProcessed(state.iterations());
    spdlog::drop("bench");
    spdlog::shutdown();
}

// A debug line when debug is off: only the level test.
void BM_CBBLog_DebugOff(benchmark::State& state) {
    auto log = std::make_shared<CBBLog>(L"Skyvane.log", false, 512 * 1024 * 1024LL);
    log->setLevel(1);
    setCurrentLogger(log);
    int i = 0;
    for (auto _ : state) debug(L"[ChannelScan] frequency %d kHz", i++);
    state.SetItemsProcessed(state.iterations());
    setCurrentLogger(nullptr);
}

void BM_Spdlog_DebugOff(benchmark::State& state) {
    auto log = spdlog::basic_logger_mt("bench_off", g_root + "/spdlog_off.log");
    log->set_level(spdlog::level::err);
    int i = 0;
    for (auto _ : state) log->debug("[ChannelScan] frequency {} kHz", i++);
    state.SetItemsProcessed(state.iterations());
    spdlog::drop("bench_off");
}

}  // namespace

// A fixed count keeps the files small; the queue of our logger has no bound, spdlog's blocks when full.
BENCHMARK(BM_CBBLog_Info)->Iterations(300000);
BENCHMARK(BM_Spdlog_Info)->Iterations(300000);
BENCHMARK(BM_CBBLog_DebugOff);
BENCHMARK(BM_Spdlog_DebugOff);

int main(int argc, char** argv) {
    useTemporaryFolders();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_root);
    return 0;
}
