#pragma once
// Times a finder's ranking as people type: each query one keystroke at a
// time, with the search narrowing from the last keystroke (typed on) and
// with a fresh search of the whole query (pasted), in milliseconds of one
// core, and prints the median and the worst by query length.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace VantryBench {

// Time on the thread's own clock, best of three: what one core spends, not
// what other programs on a busy machine take from it. ASetUp runs before
// each run, untimed.
inline double CpuMs(const std::function<void()>& ASetUp, const std::function<void()>& AWork) {
  double best = 1e9;
  for (int run = 0; run < 3; ++run) {
    ASetUp();
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    AWork();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    best = std::min(best, (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6);
  }
  return best;
}

// ASearch(search, query) runs one search; the search object carries what
// narrowing needs from one keystroke to the next.
template <class TSearch>
void MeasureKeystrokes(const char* AWhat, size_t ANames, const std::vector<std::string>& AQueries,
                       const std::function<void(TSearch&, const std::string&)>& ASearch) {
  constexpr size_t Longest = 12;
  std::vector<double> typed[Longest + 1], fresh[Longest + 1];
  double worstFresh = 0;
  std::string worstQuery;
  std::vector<std::string> slow;  // the keystrokes over 10 ms, typed on or fresh
  // As in the dialog, one search object lives from keystroke to keystroke
  // and keeps its memory; a fresh search is one after an empty query.
  TSearch next, whole;
  for (const std::string& q : AQueries) {
    TSearch search;
    for (size_t n = 1; n <= Longest && n <= q.size(); ++n) {
      const std::string query = q.substr(0, n);
      typed[n].push_back(CpuMs([&] { next = search; },  // the last keystroke's state, each time
                               [&] { ASearch(next, query); }));
      ASearch(search, query);
      fresh[n].push_back(CpuMs([&] { ASearch(whole, ""); }, [&] { ASearch(whole, query); }));
      if (std::max(typed[n].back(), fresh[n].back()) > 10 && slow.size() < 12) slow.push_back("\"" + query + "\"");
      if (fresh[n].back() > worstFresh) {
        worstFresh = fresh[n].back();
        worstQuery = query;
      }
    }
  }
  std::printf("ranking %zu %s, ms of one core per keystroke (%zu queries typed one character at a time;\n"
              "typed on: narrowing the last keystroke's matches; fresh: the whole query at once):\n",
              ANames, AWhat, AQueries.size());
  double worstTyped = 0;
  auto percentiles = [](const char* ALabel, std::vector<double>& ATimes, double& AWorst) {
    std::sort(ATimes.begin(), ATimes.end());
    AWorst = std::max(AWorst, ATimes.back());
    std::printf("  %s median %6.3f  worst %6.3f", ALabel, ATimes[ATimes.size() / 2], ATimes.back());
  };
  for (size_t n = 1; n <= Longest; ++n) {
    if (typed[n].empty()) continue;
    std::printf("  %2zu chars:", n);
    percentiles("typed on", typed[n], worstTyped);
    percentiles("   fresh", fresh[n], worstFresh);
    std::printf("\n");
  }
  std::printf("  worst keystroke: typed on %.3f ms, fresh %.3f ms (\"%s\") (target: under 10 ms)\n", worstTyped,
              worstFresh, worstQuery.c_str());
  if (!slow.empty()) {
    std::printf("  over 10 ms:");
    for (const std::string& query : slow) std::printf(" %s", query.c_str());
    std::printf("\n");
  }
}

}  // namespace VantryBench
