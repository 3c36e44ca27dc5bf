#pragma once
// Timing helpers for the benchmark programs: best and median of repeated runs.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace VantryBench {

struct TTiming {
  double BestSeconds;
  double MedianSeconds;
};

inline TTiming Measure(int ARuns, const std::function<void()>& AWork) {
  std::vector<double> times;
  for (int i = 0; i < ARuns; ++i) {
    auto start = std::chrono::steady_clock::now();
    AWork();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

inline void Report(const char* AWhat, const TTiming& ATiming, int AOperations = 1) {
  std::printf("%-52s best %9.3f ms  median %9.3f ms", AWhat, ATiming.BestSeconds * 1e3, ATiming.MedianSeconds * 1e3);
  if (AOperations > 1) std::printf("  (%.2f us per operation)", ATiming.BestSeconds * 1e6 / AOperations);
  std::printf("\n");
}

}  // namespace VantryBench
