#pragma once
// A small library of Pascal sources written below a test's temporary
// folder, and its declaration table as the index builds it.

#include "index/DeclarationScanner.h"
#include "index/DeclarationTable.h"
#include "support/TestSupport.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace VantryTest {

using TLibrarySources = std::vector<std::pair<const char*, const char*>>;  // path below the root, text

inline std::shared_ptr<const Vantry::TDeclarationTable> WriteLibrary(TTempDir& ATemp, const std::string& ARoot,
                                                                     const TLibrarySources& ASources) {
  Vantry::TDeclarationTableBuilder builder(ATemp / ARoot);
  Vantry::TDeclarationScanner scanner;
  for (const auto& [path, text] : ASources) {
    ATemp.WriteFile(ARoot + "/" + path, text);
    const auto& found = scanner.Scan(text, Vantry::IsIncludeFileName(path));
    builder.AddFile(path, 1, 1, found, scanner.Links(), scanner.NameHashes());
  }
  return std::make_shared<const Vantry::TDeclarationTable>(builder.Finish());
}

}  // namespace VantryTest
