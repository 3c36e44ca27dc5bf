#include "source_menu/ZebFiles.h"

namespace Vantry {

namespace {

// Both listings walk the directory the same way and differ only in which
// entries they keep.
template <class Keep>
void ListEntries(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList, Keep AKeep) {
  if (!AList) return;
  AList->Clear();
  // An empty path would otherwise become "/", the whole file system.
  if (ADirectory.empty()) return;
  const std::string prefix = ADirectory.back() == '/' ? ADirectory : ADirectory + '/';
  TSearchRec rec;  // its handle is closed on every path, exceptions included
  for (int found = FindFirst(prefix + AMask, AAttr, rec); found == 0; found = FindNext(rec))
    if (AKeep(rec)) AList->Add(prefix + rec.Name);
  FindClose(rec);
}

}  // namespace

void ListDirectories(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList) {
  ListEntries(ADirectory, AMask, AAttr, AList, [](const TSearchRec& R) {
    return (R.Attr & faDirectory) != 0 && R.Name != "." && R.Name != "..";
  });
}

void ListFiles(const std::string& ADirectory, const std::string& AMask, int AAttr, TStrings* AList) {
  ListEntries(ADirectory, AMask, AAttr, AList, [](const TSearchRec& R) { return (R.Attr & faDirectory) == 0; });
}

}  // namespace Vantry
