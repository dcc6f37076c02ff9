// The summary table of a benchmark run: each benchmark program appends one row per measure to a
// tab-separated file, and tools/bench prints every row as one table at the end of the run.
//
// The file is the one VELM_BENCH_TABLE names; without it, results.tsv beside the program.
// A row: measure, reference, our figure, the reference's figure, unit, ratio, goal, verdict.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace benchtable {

enum class Goal {
  RatioAtMost,   // ours / reference <= limit
  RatioAtLeast,  // ours / reference >= limit
  ValueAtLeast,  // ours >= limit (no ratio)
  ValueAtMost,   // ours <= limit (no ratio)
};

inline std::string tablePath() {
  if (const char* path = std::getenv("VELM_BENCH_TABLE"); path && *path) return path;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "results.tsv";
  std::string dir(self, static_cast<size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1) + "results.tsv";
}

inline std::string number(double v) {
  if (!std::isfinite(v)) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, std::fabs(v) >= 100 ? "%.0f" : std::fabs(v) >= 10 ? "%.1f" : "%.3g", v);
  return buf;
}

// Appends one row. theirs may be NAN for a measure that has no reference figure.
inline void row(const std::string& measure, const std::string& reference, double ours, double theirs,
                const std::string& unit, Goal goal, double limit) {
  double ratio = std::isfinite(theirs) && theirs != 0 ? ours / theirs : NAN;
  std::string goalText;
  bool met = false;
  switch (goal) {
    case Goal::RatioAtMost:
      goalText = "ratio <= " + number(limit);
      met = std::isfinite(ratio) && ratio <= limit;
      break;
    case Goal::RatioAtLeast:
      goalText = "ratio >= " + number(limit);
      met = std::isfinite(ratio) && ratio >= limit;
      break;
    case Goal::ValueAtLeast:
      goalText = ">= " + number(limit) + " " + unit;
      met = ours >= limit;
      break;
    case Goal::ValueAtMost:
      goalText = "<= " + number(limit) + " " + unit;
      met = ours <= limit;
      break;
  }
  if (FILE* f = std::fopen(tablePath().c_str(), "a")) {
    std::fprintf(f, "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", measure.c_str(), reference.c_str(), number(ours).c_str(),
                 number(theirs).c_str(), unit.c_str(), number(ratio).c_str(), goalText.c_str(),
                 met ? "met" : "NOT met");
    std::fclose(f);
  }
}

}  // namespace benchtable
