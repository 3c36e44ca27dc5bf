#include "platform/TypInfo.h"

#include <map>

// The bounds of the list of VANTRY_REGISTER_CLASS references, made by the
// linker for the program or library that holds this code. Weak, so that one
// without registered classes links too (both are null then).
extern "C" {
[[gnu::weak, gnu::visibility("hidden")]] extern const Vantry::TClassReference __start_vantry_classes[];
[[gnu::weak, gnu::visibility("hidden")]] extern const Vantry::TClassReference __stop_vantry_classes[];
}

namespace Vantry {

const TClassInfo& TObject::StaticClass() {
  static constexpr TClassInfo Info = [] {
    TClassInfo info;
    info.Name = "TObject";
    return info;
  }();
  return Info;
}

const TClassInfo& TObject::ClassType() const { return StaticClass(); }

std::string_view TObject::ClassName() const { return ClassType().Name; }

bool TObject::InheritsFrom(const TClassInfo& AClass) const { return ClassType().InheritsFrom(AClass); }

bool TClassInfo::InheritsFrom(const TClassInfo& AClass) const {
  for (const TClassInfo* c = this; c; c = c->Parent())
    if (c == &AClass) return true;
  return false;
}

namespace {

template <class Item>
const Item* FindIn(const TClassInfo* AClass, std::span<const Item> TClassInfo::*ATable, std::string_view AName) {
  for (const TClassInfo* c = AClass; c; c = c->Parent())
    for (const Item& item : c->*ATable)
      if (SameText(item.Name, AName)) return &item;
  return nullptr;
}

// Class names are looked up ignoring case, as Pascal names are.
struct TNoCaseLess {
  using is_transparent = void;
  bool operator()(std::string_view A, std::string_view B) const { return CompareText(A, B) < 0; }
};

using TClassRegistry = std::map<std::string_view, const TClassInfo*, TNoCaseLess>;

// Made on first use from the linked list, which is complete before any code runs.
TClassRegistry& ClassRegistry() {
  static TClassRegistry registry = [] {
    TClassRegistry linked;
    for (const TClassReference* c = __start_vantry_classes; c != __stop_vantry_classes; ++c) {
      const TClassInfo& info = (*c)();
      linked[info.Name] = &info;
    }
    return linked;
  }();
  return registry;
}

}  // namespace

const TPropInfo* TClassInfo::FindProperty(std::string_view AName) const {
  return FindIn(this, &TClassInfo::Properties, AName);
}

const TMethodInfo* TClassInfo::FindMethod(std::string_view AName) const {
  return FindIn(this, &TClassInfo::Methods, AName);
}

const TFieldInfo* TClassInfo::FindField(std::string_view AName) const {
  return FindIn(this, &TClassInfo::Fields, AName);
}

bool RegisterClass(const TClassInfo& AClass) {
  ClassRegistry()[AClass.Name] = &AClass;
  return true;
}

const TClassInfo* FindClass(std::string_view AName) {
  auto& registry = ClassRegistry();
  auto it = registry.find(AName);
  return it == registry.end() ? nullptr : it->second;
}

std::any BindPublishedMethod(TObject& ARoot, std::string_view AMethod) {
  const TMethodInfo* method = ARoot.ClassType().FindMethod(AMethod);
  if (!method) throw EReadError("method '%s' not found in %s", {AMethod, ARoot.ClassName()});
  return method->Bind(ARoot);
}

namespace Detail {

void RaiseBadValue(const TPropInfo& AProp, const char* AExpected) {
  throw EReadError("property '%s' needs %s", {AProp.Name, AExpected});
}

int FindName(const TPropInfo& AProp, const std::string& AName) {
  for (size_t i = 0; i < AProp.Names.size(); ++i)
    if (SameText(AProp.Names[i], AName)) return static_cast<int>(i);
  throw EReadError("'%s' is not a value of property '%s'", {AName, AProp.Name});
}

}  // namespace Detail

}  // namespace Vantry
