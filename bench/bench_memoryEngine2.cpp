// Record stores: bulk loading and random lookups, beside the standard containers.
//
// The data: records with ascending IDs, two types per ID, payloads of 16 to 256 bytes (the
// same pseudo-random sizes and keys in every run). The store is filled with memAddFlexDataAtEnd
// and then indexed; the same records go into a std::map keyed by (ID, type) and into a sorted
// std::vector searched with std::lower_bound. Lookups hand back the payload's address and
// size, without copying. Lookups are measured for stores of 1,000 to 1,000,000 records;
// the scan without an index only up to 100,000 records (it is linear).
//
// After the table the program prints, for each store size, the lookup time of each container
// relative to the indexed store (processor time, which a busy machine disturbs less than the
// wall clock), and the index's size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "memoryEngine2.h"

namespace {

constexpr int kTypesPerID = 2;
constexpr size_t kLookupKeys = 8192;

struct Key {
  UInt32 id;
  UInt32 type;
};

// Payload sizes for records 0 .. n - 1 (ID i / 2 + 1, type i % 2 + 1).
std::vector<UInt32> payloadSizes(size_t records) {
  std::mt19937 random(2026);
  std::uniform_int_distribution<UInt32> size(16, 256);
  std::vector<UInt32> sizes(records);
  for (auto& s : sizes) s = size(random);
  return sizes;
}

std::vector<Key> lookupKeys(size_t records) {
  std::mt19937 random(7);
  std::uniform_int_distribution<UInt32> id(1, static_cast<UInt32>(records / kTypesPerID));
  std::uniform_int_distribution<UInt32> type(1, kTypesPerID);
  std::vector<Key> keys(kLookupKeys);
  for (auto& k : keys) k = {id(random), type(random)};
  return keys;
}

const std::vector<char>& payloadBytes() {
  static const std::vector<char> bytes = [] {
    std::vector<char> b(256);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 7);
    return b;
  }();
  return bytes;
}

struct FlexStore {
  FlexDynArray store;
  explicit FlexStore(size_t records, bool indexed) {
    memNewFlexDynArray(&store, 0);
    const auto sizes = payloadSizes(records);
    for (size_t i = 0; i < records; ++i)
      memAddFlexDataAtEnd(&store, static_cast<UInt32>(i / kTypesPerID + 1), static_cast<UInt32>(i % kTypesPerID + 1),
                          sizes[i], payloadBytes().data());
    if (indexed) memBuildFlexIndex(&store);
  }
  ~FlexStore() { memFreeFlexDynArray(&store); }
};

using MapStore = std::map<std::pair<UInt32, UInt32>, std::vector<char>>;

MapStore makeMap(size_t records) {
  MapStore map;
  const auto sizes = payloadSizes(records);
  for (size_t i = 0; i < records; ++i)
    map.emplace(std::make_pair(static_cast<UInt32>(i / kTypesPerID + 1), static_cast<UInt32>(i % kTypesPerID + 1)),
                std::vector<char>(payloadBytes().begin(), payloadBytes().begin() + sizes[i]));
  return map;
}

struct SortedRecord {
  UInt32 id;
  UInt32 type;
  std::vector<char> payload;
};

std::vector<SortedRecord> makeSorted(size_t records) {
  std::vector<SortedRecord> v;
  v.reserve(records);
  const auto sizes = payloadSizes(records);
  for (size_t i = 0; i < records; ++i)
    v.push_back({static_cast<UInt32>(i / kTypesPerID + 1), static_cast<UInt32>(i % kTypesPerID + 1),
                 std::vector<char>(payloadBytes().begin(), payloadBytes().begin() + sizes[i])});
  return v;
}

// ---- Bulk loading of 100,000 records

void BM_Load_FlexAddAtEndAndIndex(benchmark::State& state) {
  for (auto _ : state) {
    FlexStore s(100000, true);
    benchmark::DoNotOptimize(s.store.data);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Load_FlexAddAtEndAndIndex)->Unit(benchmark::kMillisecond);

void BM_Load_Map(benchmark::State& state) {
  for (auto _ : state) {
    MapStore m = makeMap(100000);
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Load_Map)->Unit(benchmark::kMillisecond);

void BM_Load_SortedVector(benchmark::State& state) {
  for (auto _ : state) {
    auto v = makeSorted(100000);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Load_SortedVector)->Unit(benchmark::kMillisecond);

// ---- Random lookups; the argument is the number of records

template <bool indexed>
void BM_Lookup_Flex(benchmark::State& state) {
  const size_t records = static_cast<size_t>(state.range(0));
  FlexStore s(records, indexed);
  const auto keys = lookupKeys(records);
  size_t k = 0;
  benchmark::IterationCount found = 0;
  for (auto _ : state) {
    const Key& key = keys[k++ % kLookupKeys];
    UInt32 size = 0;
    const void* payload = nullptr;
    found += memGetFlexDataInfo(&s.store, key.id, key.type, &size, &payload) == noErr;
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(size);
  }
  if (found != state.iterations()) state.SkipWithError("a record was not found");
  state.counters["index_entries"] = s.store.index.itemCount;
  state.counters["store_MiB"] = s.store.allocatedAmount / 1048576.0;
}
BENCHMARK(BM_Lookup_Flex<true>)->Name("BM_Lookup_FlexIndexed")->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_Lookup_Flex<false>)->Name("BM_Lookup_FlexScan")->RangeMultiplier(10)->Range(1000, 100000);

void BM_Lookup_Map(benchmark::State& state) {
  const size_t records = static_cast<size_t>(state.range(0));
  const MapStore m = makeMap(records);
  const auto keys = lookupKeys(records);
  size_t k = 0;
  benchmark::IterationCount found = 0;
  for (auto _ : state) {
    const Key& key = keys[k++ % kLookupKeys];
    auto it = m.find({key.id, key.type});
    found += it != m.end();
    const void* payload = it->second.data();
    size_t size = it->second.size();
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(size);
  }
  if (found != state.iterations()) state.SkipWithError("a record was not found");
}
BENCHMARK(BM_Lookup_Map)->RangeMultiplier(10)->Range(1000, 1000000);

void BM_Lookup_SortedVector(benchmark::State& state) {
  const size_t records = static_cast<size_t>(state.range(0));
  const auto v = makeSorted(records);
  const auto keys = lookupKeys(records);
  size_t k = 0;
  benchmark::IterationCount found = 0;
  for (auto _ : state) {
    const Key& key = keys[k++ % kLookupKeys];
    auto it = std::lower_bound(v.begin(), v.end(), key, [](const SortedRecord& r, const Key& want) {
      return r.id < want.id || (r.id == want.id && r.type < want.type);
    });
    found += it != v.end() && it->id == key.id && it->type == key.type;
    const void* payload = it->payload.data();
    size_t size = it->payload.size();
    benchmark::DoNotOptimize(payload);
    benchmark::DoNotOptimize(size);
  }
  if (found != state.iterations()) state.SkipWithError("a record was not found");
}
BENCHMARK(BM_Lookup_SortedVector)->RangeMultiplier(10)->Range(1000, 1000000);

// Keeps every run's time per iteration and the index sizes, for the ratios printed afterwards.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      auto entries = run.counters.find("index_entries");
      if (entries != run.counters.end()) entries_[run.benchmark_name()] = entries->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nLookup time relative to the indexed store (higher is slower):\n");
    std::printf("%10s %12s %14s %10s %14s %14s\n", "records", "indexed ns", "index entries", "scan", "std::map",
                "sorted vector");
    for (long records = 1000; records <= 1000000; records *= 10) {
      const double indexed = time(runName("BM_Lookup_FlexIndexed", records));
      if (indexed <= 0) continue;
      auto ratio = [&](const char* name) {
        const double t = time(runName(name, records));
        char text[32] = "-";
        if (t > 0) std::snprintf(text, sizeof text, "%.2f", t / indexed);
        return std::string(text);
      };
      auto it = entries_.find(runName("BM_Lookup_FlexIndexed", records));
      std::printf("%10ld %12.1f %14.0f %10s %14s %14s\n", records, indexed, it != entries_.end() ? it->second : 0.0,
                  ratio("BM_Lookup_FlexScan").c_str(), ratio("BM_Lookup_Map").c_str(),
                  ratio("BM_Lookup_SortedVector").c_str());
    }
    const double load = time("BM_Load_FlexAddAtEndAndIndex");
    if (load > 0)
      std::printf("\nLoading 100,000 records relative to the store: std::map %.2f, sorted vector %.2f\n",
                  time("BM_Load_Map") / load, time("BM_Load_SortedVector") / load);
  }

 private:
  static std::string runName(const char* base, long records) {
    std::string name(base);
    name += '/';
    name += std::to_string(records);
    return name;
  }
  double time(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }
  std::map<std::string, double> times_;
  std::map<std::string, double> entries_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
