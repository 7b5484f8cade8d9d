// How long the daemon takes to read its settings, as the store grows.
//
//   ConfigLoad/N      CServiceConfig::Load of a Config key of 30 values and
//                     an Environment key of N values
//   StoreWalk/N       walking one key of N values and reading each text
//
// Each run builds its registry file in a throw-away state root first (in
// the file's own text format, not through N writes), then measures only
// the reading. The figure to watch is the time per value: flat when the
// load grows linearly.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "daemon/registry_access.h"
#include "daemon/service_config.h"
#include "platform/environment.h"
#include "platform/process.h"

namespace {

class ThrowAwayRoot {
 public:
  ThrowAwayRoot() {
    m_path = std::filesystem::temp_directory_path() /
             ("vornd-bench-" + std::to_string(platform::currentProcessId()));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
    m_old = platform::getEnvironmentVariable("VORND_ROOT");
    platform::setEnvironmentVariable("VORND_ROOT", m_path.string());
  }
  ~ThrowAwayRoot() {
    platform::setEnvironmentVariable("VORND_ROOT", m_old);
    std::filesystem::remove_all(m_path);
  }
  std::string registryFile() const { return (m_path / "registry").string(); }

 private:
  std::filesystem::path m_path;
  std::optional<std::string> m_old;
};

const char kService[] = "SYSTEM\\CurrentControlSet\\Services\\bench";

void writeStore(const std::string& path, int configValues, int environmentValues) {
  std::ofstream out(path, std::ios::binary);
  out << "vornd registry 1\n";
  out << "[SYSTEM\\CurrentControlSet\\Services\\bench\\Config]\n";
  out << "\"SockPort\"=REG_EXPAND_SZ:\"8061\"\n";
  out << "\"LogCreate\"=REG_EXPAND_SZ:\"Yes\"\n";
  for (int i = 2; i < configValues; ++i) {
    out << "\"Unused" << i << "\"=REG_EXPAND_SZ:\"value " << i << "\"\n";
  }
  out << "[SYSTEM\\CurrentControlSet\\Services\\bench\\Environment]\n";
  for (int i = 0; i < environmentValues; ++i) {
    out << "\"VAR" << i << "\"=REG_EXPAND_SZ:\"C:\\\\vorn\\\\data\\\\" << i << "\"\n";
  }
}

void ConfigLoad(benchmark::State& state) {
  ThrowAwayRoot root;
  const int values = static_cast<int>(state.range(0));
  writeStore(root.registryFile(), 30, values);
  for (auto _ : state) {
    CServiceConfig config;
    config.Load("bench");
    if (config.Environment.size() < static_cast<std::size_t>(values)) {
      state.SkipWithError("the environment did not load");
      break;
    }
    benchmark::DoNotOptimize(config);
  }
  state.SetItemsProcessed(state.iterations() * (values + 30));
  state.counters["time_per_value"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (values + 30),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(ConfigLoad)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void StoreWalk(benchmark::State& state) {
  ThrowAwayRoot root;
  const int values = static_cast<int>(state.range(0));
  writeStore(root.registryFile(), 0, values);
  for (auto _ : state) {
    RegKey key(platform::localMachine(), std::string(kService) + "\\Environment");
    std::size_t bytes = 0;
    for (RegValue value : RegValueSequence(key)) bytes += value.Text().size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["time_per_value"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * values,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(StoreWalk)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
