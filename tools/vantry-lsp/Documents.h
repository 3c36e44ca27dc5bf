#pragma once
// The documents the editor has open, with their texts as it last sent them
// (didOpen, didChange, didClose): what it asks about is answered from these
// texts, unsaved changes included, rather than from the files on disk.

#include "Positions.h"

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vantry::Lsp {

struct TDocument {
  std::string Path;  // empty when the URI names no file
  TText Text;
};

// An edit the editor sent: the text of Range replaced, or with no range the
// whole text.
struct TChange {
  std::optional<TRange> Range;
  std::string Text;
};

class TDocuments {
public:
  // Opens AUri with AText, or replaces the text of a document open already.
  void Open(const std::string& AUri, std::string AText);
  // Applies AChanges in order, each to the text the one before left, with
  // characters counted in UTF-8 when AUtf8, else in UTF-16. When one does not
  // apply, none is, and std::invalid_argument says why. AUri must be open.
  void Change(const std::string& AUri, std::vector<TChange> AChanges, bool AUtf8);
  void Close(const std::string& AUri);
  // The document open as AUri, or null.
  const TDocument* Find(const std::string& AUri) const;
  // The editor's text of the file at APath, or null when no document of it
  // is open.
  const TText* TextOf(const std::string& APath) const;
  // The texts of every open document of a file, by path: a copy, for a
  // thread of its own.
  std::map<std::string, std::string> Texts() const;
  // What Find and TextOf return is the documents' own: it follows the
  // document's changes and lasts until the document is closed.

private:
  std::unordered_map<std::string, TDocument> FOpen;  // by URI
};

}  // namespace Vantry::Lsp
