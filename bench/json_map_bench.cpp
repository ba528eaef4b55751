// JSON map costs on the request path, each beside the cost of copying the same bytes.
//   request: parse of a 20-key request (about 2 KB) and 20 typed reads, then free
//   answer:  serialise of a 5-key answer map
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "util/json_map.h"

namespace {

using qm::json::JsonMap;

// 20 keys as a page sends them: short names, a few long Base64 values, one Base64-flagged value.
const std::string& request() {
  static const std::string text = [] {
    std::string t = R"({"FunctionName":"GPKI_SignData","SessionId":"AB12CD34_SID",)"
                    R"("QuillmarkFunctionIndex":"12","AdapterJsonKeyCheck":"true",)";
    for (int i = 0; i < 12; ++i) {
      t += "\"param" + std::to_string(i) + "\":\"" + std::string(i % 3 == 0 ? 300 : 40, 'A' + i) +
           "\",";
    }
    t += R"("userPin":"123456","Data":"SGVsbG8gd29ybGQ%3D","Data_QuillmarkBase64Flag":"true",)";
    t += R"("url":"https://app.example.com"})";
    return t;
  }();
  return text;
}

const char* const kReadKeys[] = {"FunctionName",
                                 "SessionId",
                                 "QuillmarkFunctionIndex",
                                 "AdapterJsonKeyCheck",
                                 "param0",
                                 "param1",
                                 "param2",
                                 "param3",
                                 "param4",
                                 "param5",
                                 "param6",
                                 "param7",
                                 "param8",
                                 "param9",
                                 "param10",
                                 "param11",
                                 "userPin",
                                 "Data",
                                 "url",
                                 "absent"};

void BM_RequestParseAndRead(benchmark::State& state) {
  const std::string& text = request();
  for (auto _ : state) {
    JsonMap map = JsonMap::parse(text.c_str());
    for (const char* key : kReadKeys) benchmark::DoNotOptimize(map.text(key));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_RequestParseAndRead);

// Floor: one heap copy of the request text.
void BM_RequestCopy(benchmark::State& state) {
  const std::string& text = request();
  for (auto _ : state) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    benchmark::DoNotOptimize(copy);
    std::free(copy);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_RequestCopy);

JsonMap answer() {
  JsonMap map = JsonMap::create();
  map.setResult(0);
  map.set("SessionID", "AB12CD34_SID");
  map.set("ServerVersion", "1.0.23.0510");
  map.set("LibVersion", "1.0.8.1");
  map.set("InstallerVersion", "1.0.23");
  return map;
}

void BM_AnswerSerialise(benchmark::State& state) {
  JsonMap map = answer();
  for (auto _ : state) benchmark::DoNotOptimize(map.serialise());
  state.counters["bytes"] = static_cast<double>(map.serialise()->size());
}
BENCHMARK(BM_AnswerSerialise);

// Floor: copying the finished answer text.
void BM_AnswerCopy(benchmark::State& state) {
  const std::string text = *answer().serialise();
  for (auto _ : state) {
    std::string copy(text);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_AnswerCopy);

}  // namespace

BENCHMARK_MAIN();
