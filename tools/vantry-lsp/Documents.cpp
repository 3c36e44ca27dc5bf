#include "Documents.h"

#include <cassert>
#include <stdexcept>
#include <utility>

namespace Vantry::Lsp {

void TDocuments::Open(const std::string& AUri, std::string AText) {
  TDocument& document = FOpen[AUri];
  document.Path = PathOfUri(AUri);
  document.Text.Set(std::move(AText));
}

void TDocuments::Change(const std::string& AUri, std::vector<TChange> AChanges, bool AUtf8) {
  const auto found = FOpen.find(AUri);
  assert(found != FOpen.end() && "a change to a document that is not open");
  if (found == FOpen.end()) throw std::invalid_argument("a change to " + AUri + ", which is not open");
  // Worked on a copy: a change that does not apply leaves the text as it was.
  TText text = found->second.Text;
  for (TChange& change : AChanges) {
    if (!change.Range) {
      text.Set(std::move(change.Text));
      continue;
    }
    const uint32_t begin = text.OffsetOf(change.Range->Start, AUtf8);
    const uint32_t end = text.OffsetOf(change.Range->End, AUtf8);
    if (end < begin) throw std::invalid_argument("a change's range ends before it starts");
    std::string changed = text.Text;
    changed.replace(begin, end - begin, change.Text);
    text.Set(std::move(changed));
  }
  found->second.Text = std::move(text);
}

void TDocuments::Close(const std::string& AUri) { FOpen.erase(AUri); }

const TDocument* TDocuments::Find(const std::string& AUri) const {
  const auto found = FOpen.find(AUri);
  return found != FOpen.end() ? &found->second : nullptr;
}

std::map<std::string, std::string> TDocuments::Texts() const {
  std::map<std::string, std::string> texts;
  for (const auto& [uri, document] : FOpen)
    if (!document.Path.empty()) texts[document.Path] = document.Text.Text;
  return texts;
}

const TText* TDocuments::TextOf(const std::string& APath) const {
  const TText* text = nullptr;
  for (const auto& [uri, document] : FOpen)
    if (document.Path == APath) text = &document.Text;
  return text;
}

}  // namespace Vantry::Lsp
