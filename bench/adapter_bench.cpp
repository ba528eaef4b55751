// Adapter library through its map entry point, with the scripted component behind it: a call of
// a function without parameters, a call with two text parameters, and the first call of a
// session (initialise: component created, 61 functions added and sorted).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "../tests/fixtures/scripted_component/scripted_component.h"
#include "adapter/adapter_api.h"
#include "platform/dynlib.h"
#include "platform/process.h"
#include "util/json_map.h"

namespace fs = std::filesystem;

namespace {

fs::path benchRoot() {
  static const fs::path root =
      fs::temp_directory_path() /
      ("qm-adapter-bench-" + std::to_string(qm::platform::currentProcessId()));
  return root;
}

// One private copy of the built adapter, as a session loads it.
struct Adapter {
  std::optional<qm::platform::DynamicLibrary> library;
  CallJsonMapMethodFunction call = nullptr;

  Adapter() {
    fs::path built = fs::path(QUILLMARK_BIN_DIR) / "KVL" / "KVLZDGPKICryptATLAdapter.so";
    fs::path copy = benchRoot() / built.filename();
    fs::copy_file(built, copy, fs::copy_options::overwrite_existing);
    std::string error;
    library = qm::platform::DynamicLibrary::open(copy.string(), &error);
    if (!library) throw std::runtime_error(error);
    call = library->function<CallJsonMapMethodFunction>(qm::adapter::kCallJsonMapMethodName);
  }
};

Adapter& adapter() {
  static Adapter instance;
  return instance;
}

qm::json::JsonMap request(std::initializer_list<std::pair<const char*, std::string>> entries) {
  qm::json::JsonMap map = qm::json::JsonMap::create();
  for (const auto& [key, value] : entries) map.set(key, value.c_str());
  return map;
}

bool expect(const char* result, const char* wanted, benchmark::State& state) {
  if (result != nullptr && std::string(result) == wanted) return true;
  state.SkipWithError((std::string("unexpected result: ") + (result ? result : "null")).c_str());
  return false;
}

// Arg 0: found by name (no index, the binary search); 1: by "QuillmarkFunctionIndex".
void BM_CallWithoutParameters(benchmark::State& state) {
  auto map = state.range(0) ? request({{"QuillmarkFunctionIndex", "43"}}) : request({});
  if (!expect(adapter().call(map.get(), "GPKI_GetSlotCount"), "50", state)) return;
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter().call(map.get(), "GPKI_GetSlotCount"));
  }
}
BENCHMARK(BM_CallWithoutParameters)->ArgName("byIndex")->Arg(0)->Arg(1);

// Two text parameters (1 KiB of XML and an id), key check on: read, converted to BSTRs,
// passed, wiped and freed; a text output converted back.
void BM_CallWithTwoTexts(benchmark::State& state) {
  std::string xml = "<Doc Id=\"a\">" + std::string(1000, 'x') + "</Doc>";
  auto map = request({{"bstrXML", xml},
                      {"bstrSignId", "a"},
                      {"AdapterJsonKeyCheck", "true"},
                      {"QuillmarkFunctionIndex", state.range(0) ? "27" : "none"}});
  const char* name = "GPKI_XMLCalcTemplateDigest";
  if (!expect(adapter().call(map.get(), name), name, state)) return;
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter().call(map.get(), name));
  }
}
BENCHMARK(BM_CallWithTwoTexts)->ArgName("byIndex")->Arg(0)->Arg(1);

// The first call after "Quillmark_Release": component creation and the function map built.
void BM_FirstCall(benchmark::State& state) {
  auto release = request({{"QuillmarkFunctionIndex", "-3"}});
  auto map = request({});
  for (auto _ : state) {
    state.PauseTiming();
    adapter().call(release.get(), "Quillmark_Release");
    state.ResumeTiming();
    benchmark::DoNotOptimize(adapter().call(map.get(), "GPKI_GetSlotCount"));
  }
  expect(adapter().call(map.get(), "GPKI_GetSlotCount"), "50", state);
}
BENCHMARK(BM_FirstCall);

}  // namespace

int main(int argc, char** argv) {
  fs::remove_all(benchRoot());
  fs::create_directories(benchRoot());
  // The scripted component of the build tree, answering its defaults; no record, no log.
  std::string components = (fs::path(QUILLMARK_BIN_DIR) / qm::test::kComponentDirFromBin).string();
  setenv("QUILLMARK_COMPONENT_DIR", components.c_str(), 1);
  unsetenv(qm::test::kScriptVariable);
  unsetenv(qm::test::kRecordVariable);
  setenv("TMPDIR", benchRoot().c_str(), 1);

  try {
    adapter();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "adapter_bench: %s\n", e.what());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // A session releases its component before the library goes.
  auto release = request({{"QuillmarkFunctionIndex", "-3"}});
  adapter().call(release.get(), "Quillmark_Release");
  fs::remove_all(benchRoot());
  return 0;
}
