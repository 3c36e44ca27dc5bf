#pragma once
// Where the reader came from: every jump (a declaration found, Go to Line, a
// reference chosen) records the place it left, and Back and Forward walk
// the places across files, as a browser walks pages.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Vantry {

struct TPlace {
  std::string Path;  // the file's path as opened
  size_t Offset = 0;  // the cursor's byte offset in its text
  bool operator==(const TPlace& AOther) const { return Path == AOther.Path && Offset == AOther.Offset; }
};

class TNavigationHistory {
public:
  static constexpr size_t MostPlaces = 100;

  // A jump is about to leave AFrom: Forward's places are dropped, as a new
  // path is taken.
  void Record(const TPlace& AFrom) {
    FForward.clear();
    Push(FBack, AFrom);
  }
  bool CanGoBack() const { return !FBack.empty(); }
  bool CanGoForward() const { return !FForward.empty(); }
  // The place to go back to, AHere kept for Forward; none when there is none.
  std::optional<TPlace> Back(const TPlace& AHere) { return Walk(FBack, FForward, AHere); }
  std::optional<TPlace> Forward(const TPlace& AHere) { return Walk(FForward, FBack, AHere); }

private:
  static void Push(std::vector<TPlace>& AStack, const TPlace& APlace) {
    if (!AStack.empty() && AStack.back() == APlace) return;  // two jumps from one place are one step back
    AStack.push_back(APlace);
    if (AStack.size() > MostPlaces) AStack.erase(AStack.begin());
  }
  static std::optional<TPlace> Walk(std::vector<TPlace>& AFrom, std::vector<TPlace>& ATo, const TPlace& AHere) {
    if (AFrom.empty()) return std::nullopt;
    TPlace place = AFrom.back();
    AFrom.pop_back();
    Push(ATo, AHere);
    return place;
  }

  std::vector<TPlace> FBack, FForward;  // the nearest place last
};

}  // namespace Vantry
