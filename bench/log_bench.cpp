// Log writer and diagnostics front: lines per second with logging on (one process, and two
// processes sharing the file), and the cost of a line with logging off.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "util/diag.h"
#include "util/zdlog.h"

namespace fs = std::filesystem;
using namespace qm;

namespace {

constexpr int kLoadLines = 20000;
const std::string kText(80, 'v');

fs::path benchRoot() {
  static const fs::path root =
      fs::path("/tmp") / ("qm-log-bench-" + std::to_string(platform::currentProcessId()));
  return root;
}

// A fresh folder with KVLQuillmark.ini in it, made the user temp folder.
fs::path freshSettings(const std::string& name, long long maxSize) {
  fs::path dir = benchRoot() / name;
  fs::remove_all(dir);
  fs::create_directories(dir / "log");
  std::ofstream(dir / diag::kLogSettingsFile)
      << "[KVLQuillmark]\nLog File=" << (dir / "log" / "bench.log").string()
      << "\nLog MaxSize=" << maxSize << "\nLog Level=5\n";
  setenv("TMPDIR", dir.c_str(), 1);
  return dir;
}

void switchOff() {
  diag::disable();
  zdlog::reset();
}

std::size_t filesIn(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {}));
}

void BM_NormalLineOn(benchmark::State& state) {
  fs::path dir = freshSettings("on", state.range(0));
  if (!diag::setLog("Bench")) {
    state.SkipWithError("logging did not switch on");
    return;
  }
  long long i = 0;
  for (auto _ : state) diag::normal("Bench line: ", ++i);
  state.SetItemsProcessed(state.iterations());
  switchOff();
  fs::remove_all(dir);
}
// Argument: Log MaxSize (0: no limit; otherwise each line also measures the current file).
BENCHMARK(BM_NormalLineOn)->Arg(0)->Arg(1LL << 30)->UseRealTime();

void BM_NormalLineOff(benchmark::State& state) {
  fs::path dir = benchRoot() / "off";
  fs::remove_all(dir);
  fs::create_directories(dir);
  setenv("TMPDIR", dir.c_str(), 1);
  switchOff();
  long long i = 0;
  for (auto _ : state) {
    diag::normal("Bench line: ", ++i);
    benchmark::ClobberMemory();
  }
  if (filesIn(dir) != 0) state.SkipWithError("a file was created with logging off");
  state.counters["files_created"] = static_cast<double>(filesIn(dir));
}
BENCHMARK(BM_NormalLineOff);

// Two processes writing the same file at once.
void twoProcessLoad() {
  fs::path dir = freshSettings("two", 0);
  std::string self = platform::programFolder() + "/log_bench";
  std::string command;
  for (int id = 1; id <= 2; ++id) {
    command += "QM_LOG_BENCH_CHILD=" + std::to_string(id) + " TMPDIR='" + dir.string() + "' '" +
               self + "' & ";
  }
  command += "wait";
  long long start = platform::monotonicMs();
  int code = platform::runAndWait(command, true);
  long long elapsed = platform::monotonicMs() - start;

  const std::regex pattern(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] \[Bench([12])\]\[Normal\] )"
      R"(Line: (\d+) )" +
      kText);
  std::set<std::pair<int, int>> seen;
  long long broken = 0, duplicates = 0;
  for (const auto& entry : fs::directory_iterator(dir / "log")) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      if (std::regex_match(line, m, pattern)) {
        duplicates += !seen.insert({std::stoi(m[1].str()), std::stoi(m[2].str())}).second;
      } else if (line.find("Log state: Enable") == std::string::npos &&
                 line.find("Compile Time") == std::string::npos &&
                 line.find("Log Enable") == std::string::npos) {
        ++broken;
      }
    }
  }
  long long total = 2LL * kLoadLines;
  std::printf(
      "\ntwo processes, one file: %lld lines in %lld ms = %.0f lines/s (children exit %d); "
      "whole lines %zu of %lld, broken %lld, duplicated %lld, lost %lld\n",
      total, elapsed, elapsed > 0 ? total * 1000.0 / static_cast<double>(elapsed) : 0.0, code,
      seen.size(), total, broken, duplicates, total - static_cast<long long>(seen.size()));
  fs::remove_all(dir);
}

void childLoad(const char* id) {
  std::string prefix = std::string("Bench") + id;
  if (!diag::setLog(prefix.c_str())) platform::exitProcess(3);
  for (int i = 0; i < kLoadLines; ++i) diag::normal("Line: ", std::to_string(i) + " " + kText);
  platform::exitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* id = std::getenv("QM_LOG_BENCH_CHILD")) childLoad(id);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  twoProcessLoad();
  fs::remove_all(benchRoot());
  return 0;
}
