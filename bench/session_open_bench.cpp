// Opening a session in process, against its parts: a bare load of a fresh adapter copy (open,
// both exports, close), the whole opening and release of one slot (copy, load, bind, unlock,
// version query and checks, release, delete), and the file copy alone. Private temporary root,
// the scripted component, logging off (no ini).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "../tests/fixtures/scripted_component/scripted_component.h"
#include "adapter/adapter_api.h"
#include "platform/dynlib.h"
#include "session/session_table.h"
#include "util/tool.h"

namespace fs = std::filesystem;
using namespace qm::session;

namespace {

constexpr char kLibDir[] = "KVL";
constexpr char kComName[] = "KVLZDGPKICryptATLAdapter";

struct Root {
  fs::path dir, shared, program, installed, scratch;
};

const Root& root() {
  static const Root r = [] {
    Root r;
    const fs::path bin = QUILLMARK_BIN_DIR;
    r.dir = fs::temp_directory_path() / ("qm-session-open-bench-" + qm::tool::instanceTag());
    for (const char* sub : {"appdata", "tmp", "home", "run", "scratch"}) {
      fs::create_directories(r.dir / sub);
    }
    r.shared = r.dir / "appdata" / "KVLQuillmark";
    r.program = r.dir / "program";
    r.installed = r.program / kLibDir / (std::string(kComName) + ".so");
    r.scratch = r.dir / "scratch";
    fs::create_directories(r.installed.parent_path());
    fs::copy_file(bin / kLibDir / r.installed.filename(), r.installed);
    const fs::path script = r.dir / "script";
    std::ofstream(script).flush();
    const std::pair<const char*, std::string> env[] = {
        {"QUILLMARK_COMMON_APPDATA", (r.dir / "appdata").string()},
        {"TMPDIR", (r.dir / "tmp").string()},
        {"HOME", (r.dir / "home").string()},
        {"XDG_RUNTIME_DIR", (r.dir / "run").string()},
        {"QUILLMARK_COMPONENT_DIR", (bin / qm::test::kComponentDirFromBin).string()},
        {qm::test::kScriptVariable, script.string()},
    };
    for (const auto& [name, value] : env) ::setenv(name, value.c_str(), 1);
    return r;
  }();
  return r;
}

// A new file each time, as a session gets: a file already loaded would only be found again.
fs::path freshCopy(long n) {
  const fs::path copy = root().scratch / ("copy" + std::to_string(n) + ".so");
  fs::copy_file(root().installed, copy);
  return copy;
}

void BM_CopyOnly(benchmark::State& state) {
  const fs::path copy = root().scratch / "copy-only.so";
  for (auto _ : state) {
    fs::copy_file(root().installed, copy);
    fs::remove(copy);
  }
}
BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMicrosecond);

// The copy is made outside the timing: only open, both symbols, close.
void BM_BareLoad(benchmark::State& state) {
  long n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path copy = freshCopy(n++);
    state.ResumeTiming();
    std::string error;
    auto library = qm::platform::DynamicLibrary::open(copy.string(), &error);
    if (!library) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(library->symbol(qm::adapter::kCallMethodName));
    benchmark::DoNotOptimize(library->symbol(qm::adapter::kCallJsonMapMethodName));
    library->close();
    state.PauseTiming();
    fs::remove(copy);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_BareLoad)->Unit(benchmark::kMicrosecond);

// Copy, load, bind, unlock, version query and checks, then release and delete the copy.
void BM_OpenAndRelease(benchmark::State& state) {
  const Root& r = root();
  if (!initialiseSessionTable(r.shared.string(), r.program.string())) {
    state.SkipWithError("session table not initialised");
    return;
  }
  OpenRequest request;
  request.libDir = kLibDir;
  request.comName = kComName;
  request.origin = "https://www.example.com";
  request.minServerVersion = kServerVersion;
  for (auto _ : state) {
    request.id = newSessionId();
    JsonMapOwner answer = JsonMapOwner::create();
    std::optional<int> slot = openSession(answer, request);
    if (!slot || !session(*slot)->loadedCopy) {
      state.SkipWithError("session not opened from its copy");
      break;
    }
    releaseSession(slot);
  }
  releaseAllSessions();
}
BENCHMARK(BM_OpenAndRelease)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  root();
  // Also on the exits taken for bad flags.
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(root().dir, ec);
  });
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
