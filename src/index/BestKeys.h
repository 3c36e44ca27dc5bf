#pragma once
// The best of many rank keys (lower is better), kept as they come without
// sorting them all: only keys that may still be among the best ALimit are
// kept; whenever twice as many have gathered, the worse half goes and the
// ALimit-th best so far becomes the bar that later keys must pass.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Vantry {

class TBestKeys {
public:
  static constexpr uint64_t NoBar = ~uint64_t{0};

  void Start(size_t ALimit) {
    FLimit = std::max<size_t>(ALimit, 1);
    FBar = NoBar;
    FKeys.clear();
  }
  // What a key must be below to be kept; NoBar until the first halving.
  uint64_t Bar() const { return FBar; }
  void Offer(uint64_t AKey) {
    if (AKey >= FBar) return;
    FKeys.push_back(AKey);
    if (FKeys.size() == 2 * FLimit) {
      std::nth_element(FKeys.begin(), FKeys.begin() + static_cast<long>(FLimit - 1), FKeys.end());
      FKeys.resize(FLimit);
      FBar = FKeys[FLimit - 1];
    }
  }
  // The best AKeep of them (at most the limit), in order.
  const std::vector<uint64_t>& Best(size_t AKeep) {
    const size_t keep = std::min(AKeep, FKeys.size());
    if (keep < FKeys.size()) std::nth_element(FKeys.begin(), FKeys.begin() + static_cast<long>(keep), FKeys.end());
    FKeys.resize(keep);
    std::sort(FKeys.begin(), FKeys.end());
    return FKeys;
  }

private:
  size_t FLimit = 1;
  uint64_t FBar = NoBar;
  std::vector<uint64_t> FKeys;
};

}  // namespace Vantry
