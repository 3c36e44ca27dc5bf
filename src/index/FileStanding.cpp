#include "index/FileStanding.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <unordered_map>

namespace Vantry {

std::string LowerBaseName(std::string_view APath) {
  const size_t slash = APath.find_last_of("/\\");
  return LowerCase(std::string(slash == std::string_view::npos ? APath : APath.substr(slash + 1)));
}

namespace {

std::string Stem(const std::string& ABaseName) { return ABaseName.substr(0, ABaseName.rfind('.')); }

bool IsUnitFile(std::string_view ABaseName) {
  const size_t dot = ABaseName.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : ABaseName.substr(dot);
  return ext == ".pas" || ext == ".pp" || ext == ".p";
}

// An include directive's name as the file it finds: without an extension
// the compiler tries ".inc" first.
std::string IncludedName(std::string_view AName) {
  std::string name = LowerBaseName(AName);
  if (name.find('.') == std::string::npos) name += ".inc";
  return name;
}

uint8_t RarityOf(size_t AUsers) {
  return static_cast<uint8_t>(MostRarity - std::min<size_t>(MostRarity, std::bit_width(AUsers)));
}

}  // namespace

std::vector<TFileStanding> StandingOfFiles(const std::string& ARoot, const std::vector<TStandingSource>& AFiles,
                                           const TTarget& ATarget) {
  TTargetRules rules(ATarget);
  std::vector<std::string_view> paths;
  for (const TStandingSource& f : AFiles) paths.push_back(f.Path);
  rules.ReadPackages(ARoot, paths);

  std::vector<TFileStanding> standing(AFiles.size());
  // Who uses which unit, counted once a file, among the files the target
  // reads; and who includes which file.
  std::unordered_map<std::string, size_t> users;
  // Who includes which file, and how: 'i', 'h' (in an implementation) or
  // 'x' (in a branch the target's compiler skips).
  std::unordered_map<std::string, std::vector<std::pair<uint32_t, char>>> includers;
  for (uint32_t f = 0; f < AFiles.size(); ++f) {
    standing[f].Place = rules.Place(AFiles[f].Path, AFiles[f].Program);
    const bool counts = (standing[f].Place & 8) == 0;
    std::vector<std::string> used;
    ForEachLink(AFiles[f].Links, [&](char AKind, std::string_view AName) {
      if (AKind == 'i' || AKind == 'h' || AKind == 'x') {
        includers[IncludedName(AName)].push_back({f, AKind});
      } else if (counts && (AKind == 'u' || AKind == 'm')) {
        used.push_back(LowerBaseName(AName));
      }
    });
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    for (const std::string& unit : used) ++users[unit];
  }
  // How many use a file's unit: its own for a unit, the most used of its
  // includers' for an include file (followed through nested includes).
  std::vector<int64_t> count(AFiles.size(), -1);
  // System and objpas are used by every program without being named, but
  // searched last: a widely used unit's declaration of a name shadows
  // theirs (SysUtils's LowerCase, System's), and objpas's shadows System's
  // (Integer). They count as half and a quarter as used as the most used
  // unit that is named.
  size_t mostUsed = 0;
  for (const auto& [unit, n] : users) mostUsed = std::max(mostUsed, n);
  std::function<int64_t(uint32_t, int)> usersOf = [&](uint32_t AFile, int ADepth) -> int64_t {
    if (count[AFile] >= 0) return count[AFile];
    count[AFile] = 0;  // a cycle of includes counts nothing more
    const std::string name = LowerBaseName(AFiles[AFile].Path);
    int64_t n = 0;
    if (AFiles[AFile].Program) {
      n = 0;
    } else if (IsUnitFile(name)) {
      const std::string unit = Stem(name);
      n = unit == "objpas"   ? static_cast<int64_t>(mostUsed / 2)
          : unit == "system" ? static_cast<int64_t>(mostUsed / 4)
                             : static_cast<int64_t>(users[unit]);
    } else if (ADepth < 16) {
      if (auto it = includers.find(name); it != includers.end())
        for (const auto& [by, kind] : it->second)
          if (kind != 'x') n = std::max(n, usersOf(by, ADepth + 1));
    }
    return count[AFile] = n;
  };
  for (uint32_t f = 0; f < AFiles.size(); ++f) standing[f].Rarity = RarityOf(static_cast<size_t>(usersOf(f, 0)));
  // An include file is hidden when every file that includes it does so in
  // a unit's implementation, or is hidden itself.
  std::vector<int8_t> hidden(AFiles.size(), -1);
  std::function<bool(uint32_t, int)> hiddenOf = [&](uint32_t AFile, int ADepth) -> bool {
    if (hidden[AFile] >= 0) return hidden[AFile];
    hidden[AFile] = 0;
    const auto it = includers.find(LowerBaseName(AFiles[AFile].Path));
    if (it == includers.end() || ADepth >= 16 || IsUnitFile(LowerBaseName(AFiles[AFile].Path))) return false;
    bool all = true;
    for (const auto& [by, kind] : it->second) all = all && (kind == 'h' || (kind == 'i' && hiddenOf(by, ADepth + 1)));
    hidden[AFile] = all;
    return all;
  };
  for (uint32_t f = 0; f < AFiles.size(); ++f) {
    standing[f].Hidden = hiddenOf(f, 0);
    // Included only where the target's compiler skips: another target's.
    const auto it = includers.find(LowerBaseName(AFiles[f].Path));
    if (it != includers.end() && std::all_of(it->second.begin(), it->second.end(), [](const auto& I) { return I.second == 'x'; }))
      standing[f].Place |= 8;
  }
  return standing;
}

}  // namespace Vantry
