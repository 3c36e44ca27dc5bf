#include "platform/Classes.h"

#include "platform/Application.h"
#include "platform/Streaming.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cctype>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <locale.h>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

namespace Vantry {

const TClassInfo& TComponent::StaticClass() {
  static constexpr TPropInfo Properties[] = {Published::Integer<&TComponent::SetTag>("Tag")};
  static constexpr TClassInfo Info = ClassInfoOf<TComponent, TObject>("TComponent").WithProperties(Properties);
  return Info;
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  assert(FComponentState.Contains(csDestroying) && "components are freed with Free(), not delete");
  DestroyComponents();
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::BeforeDestruction() { FComponentState.Include(csDestroying); }

void TComponent::Free() {
  try {
    BeforeDestruction();
  } catch (...) {
    FComponentState.Include(csDestroying);
    delete this;
    throw;
  }
  delete this;
}

TComponent* TComponent::Components(int AIndex) const {
  if (AIndex < 0 || AIndex >= ComponentCount()) throw EListError("List index out of bounds (%d)", {AIndex});
  return FComponents[AIndex];
}

TComponent* TComponent::FindComponent(std::string_view AName) const {
  if (AName.empty()) return nullptr;
  auto it = FNameIndex.find(UpperCase(std::string(AName)));
  return it == FNameIndex.end() ? nullptr : it->second;
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    RemoveComponent(last);
    last->Free();
  }
}

void TComponent::SetName(const std::string& ANewName) {
  if (FName == ANewName) return;
  if (!ANewName.empty() && !IsValidIdent(ANewName))
    throw EComponentError("'%s' is not a valid component name", {ANewName});
  if (FOwner) FOwner->ValidateRename(this, FName, ANewName);
  FName = ANewName;
}

void TComponent::ValidateRename(TComponent* AComponent, const std::string& AOldName, const std::string& ANewName) {
  TComponent* existing = FindComponent(ANewName);
  if (existing && existing != AComponent)
    throw EComponentError("A component named %s already exists", {ANewName});
  if (!AOldName.empty()) FNameIndex.erase(UpperCase(AOldName));
  if (!ANewName.empty()) FNameIndex[UpperCase(ANewName)] = AComponent;
}

void TComponent::SetDesigning(bool AValue) {
  if (AValue)
    FComponentState.Include(csDesigning);
  else
    FComponentState.Exclude(csDesigning);
}

void TComponent::Loaded() { FComponentState.Exclude(csLoading); }

void TComponent::InsertComponent(TComponent* AComponent) {
  assert(!AComponent->FOwner);
  if (!AComponent->FName.empty()) ValidateRename(AComponent, "", AComponent->FName);
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  // What is put on a component being designed is being designed too.
  if (FComponentState.Contains(csDesigning)) AComponent->FComponentState.Include(csDesigning);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  // Components usually go last created first, so search from the back.
  auto it = std::find(FComponents.rbegin(), FComponents.rend(), AComponent);
  assert(it != FComponents.rend());
  if (it == FComponents.rend()) return;
  FComponents.erase(std::next(it).base());
  if (!AComponent->FName.empty()) FNameIndex.erase(UpperCase(AComponent->FName));
  AComponent->FOwner = nullptr;
  // A published field must not go on pointing at a component that has gone.
  if (!FComponentState.Contains(csDestroying) && !AComponent->FName.empty())
    if (const TFieldInfo* field = ClassType().FindField(AComponent->FName)) field->Forget(*this, AComponent);
}

TComponent* ConstructComponent(TComponent* AComponent) {
  try {
    AComponent->AfterConstruction();
  } catch (...) {
    AComponent->Free();
    throw;
  }
  return AComponent;
}

const TClassInfo& TDataModule::StaticClass() {
  static constexpr TPropInfo Properties[] = {
      Published::Event<&TDataModule::OnCreate>("OnCreate"),
      Published::Event<&TDataModule::OnDestroy>("OnDestroy"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<TDataModule, TComponent>("TDataModule").WithProperties(Properties);
  return Info;
}

void TDataModule::AfterConstruction() {
  if (&ClassType() == &TDataModule::StaticClass() || ComponentState().Contains(csDesigning)) return;
  InitInheritedComponent(this, TDataModule::StaticClass());
  DoCreate();
}

void TDataModule::BeforeDestruction() {
  bool destroying = ComponentState().Contains(csDestroying);
  TComponent::BeforeDestruction();
  if (!destroying) DoDestroy();
}

namespace {
void CallEvent(const TNotifyEvent& AEvent, TObject* ASender) {
  if (!AEvent) return;
  try {
    AEvent(ASender);
  } catch (...) {
    Application().HandleException(ASender);
  }
}
}  // namespace

void TDataModule::DoCreate() { CallEvent(OnCreate, this); }

void TDataModule::DoDestroy() { CallEvent(OnDestroy, this); }

const TClassInfo& TStringList::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TStringList, TObject>("TStringList");
  return Info;
}

void TStringList::CheckIndex(int AIndex, int ALimit) const {
  if (AIndex < 0 || AIndex > ALimit) throw EListError("List index out of bounds (%d)", {AIndex});
}

int TStringList::Add(const std::string& S) {
  FItems.push_back(S);
  return Count() - 1;
}

int TStringList::Add(std::string&& S) {
  FItems.push_back(std::move(S));
  return Count() - 1;
}

void TStringList::Insert(int AIndex, const std::string& S) {
  CheckIndex(AIndex, Count());
  FItems.insert(FItems.begin() + AIndex, S);
}

void TStringList::Delete(int AIndex) {
  CheckIndex(AIndex, Count() - 1);
  FItems.erase(FItems.begin() + AIndex);
}

const std::string& TStringList::operator[](int AIndex) const {
  CheckIndex(AIndex, Count() - 1);
  return FItems[AIndex];
}

std::string& TStringList::operator[](int AIndex) {
  CheckIndex(AIndex, Count() - 1);
  return FItems[AIndex];
}

int TStringList::IndexOf(std::string_view S) const {
  auto it = std::find(FItems.begin(), FItems.end(), S);
  return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
}

namespace {

// The order Sort follows: the process's collation (LC_COLLATE), with case
// folded as the same locale folds its letters. Each name is turned into a
// sort key once (strxfrm of the folded name), so sorting costs one key per
// name and a byte comparison per pair, not a locale comparison per pair.
class TCollation {
public:
  // The collation in force now; rebuilt when LC_COLLATE has changed. Any
  // thread may sort. A plain static, not a thread_local: a thread_local with
  // a destructor would keep the library that sorts from ever unloading.
  static std::shared_ptr<const TCollation> Current() {
    static std::mutex lock;
    static std::shared_ptr<const TCollation> current;
    const char* name = std::setlocale(LC_COLLATE, nullptr);
    std::string wanted = name ? name : "C";
    std::lock_guard guard(lock);
    if (!current || current->FName != wanted) current = std::make_shared<const TCollation>(wanted);
    return current;
  }

  explicit TCollation(std::string AName) : FName(std::move(AName)) {
    if (FName != "C" && FName != "POSIX") {
      // The process's locale, with the character type of the collation's
      // locale where the two differ.
      FLocale = duplocale(LC_GLOBAL_LOCALE);
      if (locale_t withType = FLocale ? newlocale(LC_CTYPE_MASK, FName.c_str(), FLocale) : nullptr) FLocale = withType;
    }
    if (!FLocale) {
      for (int c = 0; c < 128; ++c) FLowerAscii[c] = std::string(1, static_cast<char>(std::tolower(c)));
      return;
    }
    // ASCII letters fold through a table made once; in most locales it is
    // plain ASCII lower case, but not in all (Turkish "I").
    TUseLocale use(FLocale);
    for (int c = 0; c < 128; ++c) {
      FLowerAscii[c] = Encode(static_cast<wchar_t>(towlower(static_cast<wint_t>(c))));
      FLowerAsciiByte[c] = FLowerAscii[c].size() == 1 ? FLowerAscii[c][0] : '\0';
    }
  }
  ~TCollation() {
    if (FLocale) freelocale(FLocale);
  }
  TCollation(const TCollation&) = delete;
  TCollation& operator=(const TCollation&) = delete;

  // The sort keys of a list's names, one after another in one buffer: a
  // name's key is strxfrm of its folded form. A name holding a NUL, which no
  // collation takes, gets its bytes with ASCII letters folded instead and is
  // marked, to be sorted after every other name.
  struct TKeys {
    std::string Bytes;
    std::vector<size_t> Ends;  // where each name's key ends in Bytes
    std::vector<bool> NotText;
    std::string_view Key(size_t AIndex) const {
      size_t start = AIndex == 0 ? 0 : Ends[AIndex - 1];
      return std::string_view(Bytes).substr(start, Ends[AIndex] - start);
    }
  };

  TKeys Keys(const std::vector<std::string>& AItems) const {
    TKeys keys;
    keys.Ends.reserve(AItems.size());
    keys.NotText.assign(AItems.size(), false);
    if (!FLocale) {
      for (const std::string& item : AItems) {
        AppendFoldedAscii(item, keys.Bytes);
        keys.Ends.push_back(keys.Bytes.size());
      }
      return keys;
    }
    TUseLocale use(FLocale);
    std::string folded;
    // Keys are written straight into the buffer, which is kept longer than
    // the keys in it (up to "used"): strxfrm runs again only when a key does
    // not fit in the room left, and the buffer then doubles.
    size_t used = 0;
    for (size_t i = 0; i < AItems.size(); ++i) {
      if (!Fold(AItems[i], folded)) {
        keys.NotText[i] = true;
        keys.Bytes.resize(used);
        AppendFoldedAscii(AItems[i], keys.Bytes);
        used = keys.Bytes.size();
      } else {
        const size_t room = keys.Bytes.size() - used;
        size_t n = strxfrm(keys.Bytes.data() + used, folded.c_str(), room);
        if (n >= room) {
          keys.Bytes.resize(std::max(keys.Bytes.size() * 2, used + n + 1));
          strxfrm(keys.Bytes.data() + used, folded.c_str(), n + 1);
        }
        used += n;
      }
      keys.Ends.push_back(used);
    }
    keys.Bytes.resize(used);
    return keys;
  }

private:
  // Makes a locale the calling thread's for a while.
  struct TUseLocale {
    explicit TUseLocale(locale_t ALocale) : Saved(uselocale(ALocale)) {}
    ~TUseLocale() { uselocale(Saved); }
    locale_t Saved;
  };

  static void AppendFoldedAscii(const std::string& S, std::string& AOut) {
    for (char c : S) AOut.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }

  static std::string Encode(wchar_t C) {
    char buffer[MB_LEN_MAX];
    std::mbstate_t state{};
    size_t n = std::wcrtomb(buffer, C, &state);
    return n == static_cast<size_t>(-1) ? std::string() : std::string(buffer, n);
  }

  // Lower-cases S character by character as the locale does. A byte that
  // is not part of a character in the locale's encoding stays as it is, so
  // that the collation places the name by the part that can be read, as
  // glibc's own does. False when S holds a NUL, which no collation takes.
  bool Fold(const std::string& S, std::string& AFolded) const {
    // Most names are ASCII, which most locales fold byte for byte: that part
    // is written in one go, the rest character by character.
    AFolded.resize(S.size());
    size_t i = 0;
    for (; i < S.size(); ++i) {
      const auto byte = static_cast<unsigned char>(S[i]);
      const char lower = byte < 128 ? FLowerAsciiByte[byte] : '\0';
      if (!lower) break;
      AFolded[i] = lower;
    }
    AFolded.resize(i);
    std::mbstate_t state{};
    while (i < S.size()) {
      auto byte = static_cast<unsigned char>(S[i]);
      if (byte == 0) return false;
      if (byte < 128) {
        AFolded += FLowerAscii[byte];
        ++i;
        continue;
      }
      wchar_t c;
      size_t n = std::mbrtowc(&c, S.data() + i, S.size() - i, &state);
      std::string lower = n == 0 || n > S.size() - i ? std::string() : Encode(static_cast<wchar_t>(towlower(static_cast<wint_t>(c))));
      if (lower.empty()) {  // invalid, cut short, or no lower case to write
        AFolded += S[i];
        state = {};
        ++i;
        continue;
      }
      AFolded += lower;
      i += n;
    }
    return true;
  }

  std::string FName;
  locale_t FLocale = nullptr;  // null: the C locale, bytes after ASCII folding
  std::string FLowerAscii[128];
  char FLowerAsciiByte[128] = {};  // the same where it is one byte (NUL excepted), else 0
};

// One name while sorting. Keys are compared past the part that every key of
// the group shares (the folder of a listing's paths, mostly), and their next
// eight bytes are held here as a number: most comparisons take one integer
// comparison, without reading the key or the name from elsewhere in memory.
struct TSortEntry {
  uint64_t Head;  // the key's next eight bytes, big-endian, zeros past its end
  size_t Index;   // of the name in the list
};

// From this many names on, heads are sorted a byte at a time: a comparison
// sort of a long list spends most of its time on branches the processor
// cannot foresee.
constexpr size_t RadixSortFrom = 256;

// Orders the entries by their heads, equal heads in the order they came:
// one stable pass per byte, the last byte first. A byte that every head
// shares is passed over.
void SortByHead(std::vector<TSortEntry>& AGroup) {
  std::vector<std::array<size_t, 256>> counts(8);
  for (const TSortEntry& e : AGroup)
    for (int b = 0; b < 8; ++b) ++counts[b][(e.Head >> (8 * b)) & 0xFF];
  std::vector<TSortEntry> moved(AGroup.size());
  for (int b = 0; b < 8; ++b) {
    std::array<size_t, 256>& count = counts[b];
    if (count[(AGroup[0].Head >> (8 * b)) & 0xFF] == AGroup.size()) continue;
    size_t at = 0;
    for (size_t& c : count) at += std::exchange(c, at);
    for (const TSortEntry& e : AGroup) moved[count[(e.Head >> (8 * b)) & 0xFF]++] = e;
    AGroup.swap(moved);
  }
}

// Sorts the group as comparing whole keys would, then the names' bytes where
// the keys are equal: the part every key shares does not change the order,
// and where two heads differ, so do the keys, in the same direction.
void SortGroup(std::vector<TSortEntry>& AGroup, const TCollation::TKeys& AKeys,
               const std::vector<std::string>& AItems) {
  if (AGroup.empty()) return;
  std::string_view shared = AKeys.Key(AGroup[0].Index);
  for (const TSortEntry& e : AGroup) {
    const std::string_view key = AKeys.Key(e.Index);
    const size_t n = std::min(shared.size(), key.size());
    size_t same = 0;
    while (same < n && shared[same] == key[same]) ++same;
    shared = shared.substr(0, same);
  }
  for (TSortEntry& e : AGroup) {
    const std::string_view rest = AKeys.Key(e.Index).substr(shared.size());
    e.Head = 0;
    for (size_t k = 0; k < 8; ++k)
      e.Head = (e.Head << 8) | (k < rest.size() ? static_cast<unsigned char>(rest[k]) : 0u);
  }
  auto before = [&](const TSortEntry& A, const TSortEntry& B) {
    if (A.Head != B.Head) return A.Head < B.Head;
    int c = AKeys.Key(A.Index).compare(AKeys.Key(B.Index));
    return c != 0 ? c < 0 : AItems[A.Index] < AItems[B.Index];
  };
  if (AGroup.size() < RadixSortFrom) {
    std::sort(AGroup.begin(), AGroup.end(), before);
    return;
  }
  SortByHead(AGroup);
  for (auto run = AGroup.begin(); run != AGroup.end();) {
    auto end = std::find_if(run + 1, AGroup.end(), [&](const TSortEntry& e) { return e.Head != run->Head; });
    if (end - run > 1) std::sort(run, end, before);
    run = end;
  }
}

}  // namespace

void TStringList::Sort() {
  if (FItems.size() < 2) return;
  const TCollation::TKeys keys = TCollation::Current()->Keys(FItems);
  // Names the collation cannot tell apart (case twins, or names a locale
  // weighs the same) keep a fixed order: by their bytes. Names that are not
  // text come after the rest.
  std::vector<TSortEntry> text, other;
  text.reserve(FItems.size());
  for (size_t i = 0; i < FItems.size(); ++i) (keys.NotText[i] ? other : text).push_back({0, i});
  SortGroup(text, keys, FItems);
  SortGroup(other, keys, FItems);
  std::vector<std::string> sorted;
  sorted.reserve(FItems.size());
  for (const auto* group : {&text, &other})
    for (size_t k = 0; k < group->size(); ++k) {
      // Names are taken in an order unrelated to where they lie: asking for
      // a later one ahead keeps a long list from waiting on memory each time.
      if (k + 16 < group->size()) __builtin_prefetch(&FItems[(*group)[k + 16].Index]);
      sorted.push_back(std::move(FItems[(*group)[k].Index]));
    }
  FItems = std::move(sorted);
}

int TStringList::CompareStrings(const std::string& S1, const std::string& S2) const {
  const TCollation::TKeys keys = TCollation::Current()->Keys({S1, S2});
  if (keys.NotText[0] != keys.NotText[1]) return keys.NotText[0] ? 1 : -1;
  const int c = keys.Key(0).compare(keys.Key(1));
  if (c != 0) return c < 0 ? -1 : 1;
  return S1 == S2 ? 0 : S1 < S2 ? -1 : 1;
}

std::string TStringList::Text() const {
  std::string text;
  for (const std::string& s : FItems) text += s + '\n';
  return text;
}

}  // namespace Vantry
