// The instruction channel: one signed instruction sent and handled over the message transport,
// the lock transport's latency from the sender taking the lock to the poller's action, and what
// an idle poller costs. The receiver runs in this process on its own threads, as in a program.
#include <benchmark/benchmark.h>

#include <atomic>
#include <ctime>
#include <string>

#include "platform/channel.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "util/ipc_message.h"
#include "util/tool.h"

namespace {

namespace ipc = qm::ipc;
namespace platform = qm::platform;

std::atomic<long long> starts{0};
std::atomic<long long> restarts{0};
std::atomic<long long> lastRestartMs{0};

void onStart() {
  ++starts;
}
void onRestart() {
  lastRestartMs.store(platform::monotonicMs());
  ++restarts;
}

const std::string& channel() {
  static const std::string name = [] {
    std::string text = "KVLBench-" + std::to_string(platform::currentProcessId());
    ipc::receiverSettings().startAction.store(&onStart);
    ipc::receiverSettings().restartAction.store(&onRestart);
    ipc::startReceiver(text.c_str());
    return text;
  }();
  return name;
}

// Message built, signed, delivered, verified and acted on: what a sender waits for.
void BM_MessageRoundTrip(benchmark::State& state) {
  const std::string& name = channel();
  long long before = starts.load();
  for (auto _ : state) {
    ipc::MessageRecord record =
        ipc::makeMessage("QuillmarkWorker", name, ipc::kStart, qm::tool::timeValueText());
    std::string text = ipc::formatMessage(record).value_or("") + std::string(1, '\0');
    if (platform::sendChannelMessage(name, text) != platform::ChannelSend::kDelivered) {
      state.SkipWithError("not delivered");
      break;
    }
  }
  state.counters["handled"] = static_cast<double>(starts.load() - before);
}
BENCHMARK(BM_MessageRoundTrip)->Unit(benchmark::kMicrosecond);

// From the sender holding the lock to the start of the poller's action.
void BM_LockModeLatency(benchmark::State& state) {
  const std::string lockName = channel() + ipc::kRestart;
  int round = 0;
  for (auto _ : state) {
    long long seen = restarts.load();
    long long taken = platform::monotonicMs();
    auto lock = qm::tool::getMutexLock(lockName.c_str(), 100);
    while (restarts.load() == seen) platform::sleepMs(1);
    state.SetIterationTime(static_cast<double>(lastRestartMs.load() - taken) / 1000.0);
    lock.reset();
    // The poller rests 100 ms after an action; let it pass the freed lock once, then take the
    // lock at another point of its 50 ms cycle each time.
    platform::sleepMs(250 + round++ * 7 % 50);
  }
}
BENCHMARK(BM_LockModeLatency)->UseManualTime()->Iterations(40)->Unit(benchmark::kMillisecond);

// CPU time the process spends while the receiver idles, scaled to one minute.
void BM_IdlePollerCpuPerMinute(benchmark::State& state) {
  channel();
  const int seconds = static_cast<int>(state.range(0));
  double cpuMs = 0;
  for (auto _ : state) {
    std::clock_t start = std::clock();
    platform::sleepMs(seconds * 1000);
    cpuMs = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  }
  state.counters["cpu_ms_per_minute"] = cpuMs * 60.0 / seconds;
}
BENCHMARK(BM_IdlePollerCpuPerMinute)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
