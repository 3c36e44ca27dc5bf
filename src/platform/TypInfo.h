#pragma once
// Run-time type information for the component library: the polymorphic root
// TObject, class references that can construct components, and the explicit
// per-class tables of published properties, methods and fields through which
// stored descriptions are applied.
//
// The tables are constant data, built at compile time: they exist before any
// code runs and are never destroyed, so components may use them at any point
// of a library's loading and unloading.

#include "platform/SysUtils.h"

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace Vantry {

class TClassInfo;
class TComponent;

// The root of every class. "Is a X" is dynamic_cast; ClassType() names the
// class at run time and leads to its published tables.
class TObject {
public:
  virtual ~TObject() = default;
  static const TClassInfo& StaticClass();
  virtual const TClassInfo& ClassType() const;
  std::string_view ClassName() const;
  bool InheritsFrom(const TClassInfo& AClass) const;
};

// Declares a class's type information; the class's unit defines
// StaticClass(), returning a constant TClassInfo (see ClassInfoOf).
#define VANTRY_CLASS(T)                                              \
public:                                                              \
  static const ::Vantry::TClassInfo& StaticClass();                 \
  const ::Vantry::TClassInfo& ClassType() const override { return StaticClass(); }

// A Pascal-style set of up to 32 enumeration values, one bit each.
template <class E>
class TSet {
public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> AItems) {
    for (E e : AItems) FBits |= Bit(e);
  }
  static constexpr TSet FromBits(uint32_t ABits) {
    TSet s;
    s.FBits = ABits;
    return s;
  }
  constexpr uint32_t Bits() const { return FBits; }
  constexpr bool Contains(E AItem) const { return (FBits & Bit(AItem)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TSet& Include(E AItem) { FBits |= Bit(AItem); return *this; }
  constexpr TSet& Exclude(E AItem) { FBits &= ~Bit(AItem); return *this; }
  constexpr TSet operator+(TSet O) const { return FromBits(FBits | O.FBits); }
  constexpr TSet operator-(TSet O) const { return FromBits(FBits & ~O.FBits); }
  constexpr TSet operator*(TSet O) const { return FromBits(FBits & O.FBits); }
  constexpr bool operator==(const TSet&) const = default;

private:
  static constexpr uint32_t Bit(E AItem) { return uint32_t{1} << static_cast<unsigned>(AItem); }
  uint32_t FBits = 0;
};

// A stored description compiled into the program (see
// cmake/EmbedDescriptions.cmake): the text and the file it came from.
struct TDescriptionData {
  const char* FileName;
  const unsigned char* Bytes;
  size_t Size;
  std::string_view Text() const { return {reinterpret_cast<const char*>(Bytes), Size}; }
};

// A value as a stored description writes it, before it meets a property.
struct TIdentValue { std::string Name; };              // True, esAddIn, a method name
struct TSetValue { std::vector<std::string> Names; };  // [esEnabled, esChecked]
struct TListValue { std::vector<std::string> Lines; }; // ('one' 'two')
struct TBinaryValue { std::vector<uint8_t> Bytes; };   // {89504E47...}: an image's data
using TStoredValue = std::variant<int64_t, std::string, TIdentValue, TSetValue, TListValue, TBinaryValue>;

enum class TPropKind { Integer, Boolean, String, Enumeration, Set, Strings, Graphic, Event };

struct TPropInfo;
// Applies a stored value to a property of an instance. Root is the component
// whose description is being read: events bind to its methods. A value that
// does not fit raises EReadError; the reader adds where it stood.
using TPropSetter = void (*)(const TPropInfo& AProp, TObject& AInstance, const TStoredValue& AValue, TObject& ARoot);

struct TPropInfo {
  std::string_view Name;
  TPropKind Kind;
  TPropSetter Set;
  std::span<const std::string_view> Names;  // an enumeration's or a set's values, in ordinal order
};

// A published method: makes the event handler (a std::function in a
// std::any) that calls the method on the given root.
struct TMethodInfo {
  std::string_view Name;
  std::any (*Bind)(TObject& ARoot);
};

// A published field: a member that points to the owned component of the
// same name. Its class is where a description's child classes are looked up
// first.
struct TFieldInfo {
  std::string_view Name;
  const TClassInfo& (*FieldClass)();
  bool (*Assign)(TObject& AOwner, TComponent* AComponent);  // false: the component's class does not fit
  void (*Forget)(TObject& AOwner, TComponent* AComponent);  // nils the field if it refers to AComponent
};

// A class reference: name, parent, virtual constructor, published tables and
// stored description. Built with ClassInfoOf.
class TClassInfo {
public:
  std::string_view Name;
  const TClassInfo& (*ParentClass)() = nullptr;
  // Constructs an instance and lets it finish construction; null for
  // classes that are not components or cannot be instantiated.
  TComponent* (*Create)(TComponent* AOwner) = nullptr;
  std::span<const TPropInfo> Properties;
  std::span<const TMethodInfo> Methods;
  std::span<const TFieldInfo> Fields;
  const TDescriptionData* Description = nullptr;

  const TClassInfo* Parent() const { return ParentClass ? &ParentClass() : nullptr; }
  bool InheritsFrom(const TClassInfo& AClass) const;
  // Look-ups search this class, then its ancestors; names ignore case.
  const TPropInfo* FindProperty(std::string_view AName) const;
  const TMethodInfo* FindMethod(std::string_view AName) const;
  const TFieldInfo* FindField(std::string_view AName) const;

  constexpr TClassInfo WithProperties(std::span<const TPropInfo> A) const { auto c = *this; c.Properties = A; return c; }
  constexpr TClassInfo WithMethods(std::span<const TMethodInfo> A) const { auto c = *this; c.Methods = A; return c; }
  constexpr TClassInfo WithFields(std::span<const TFieldInfo> A) const { auto c = *this; c.Fields = A; return c; }
  constexpr TClassInfo WithDescription(const TDescriptionData* A) const { auto c = *this; c.Description = A; return c; }
};

// A class reference as the class list keeps it: the class's StaticClass.
using TClassReference = const TClassInfo& (*)();

// Makes a class known by name to stored descriptions, for children that no
// published field names. Prefer VANTRY_REGISTER_CLASS, which needs no code
// to run; this adds a class at run time. Returns true so it can initialise a
// static flag.
bool RegisterClass(const TClassInfo& AClass);
// The class of that name (ignoring case) among the registered ones, or null.
const TClassInfo* FindClass(std::string_view AName);

// Registers class T, at namespace scope in T's unit:
//   VANTRY_REGISTER_CLASS(TecInterfaceMenuItem);
// The linker collects these references into one list per program or
// library, which FindClass reads on first use. So a class is known before
// any static initialiser runs, and a library's main that reads a stored
// description finds it whatever the order of the objects that were linked.
#define VANTRY_REGISTER_CLASS(T) VANTRY_REGISTER_CLASS_AS(T, __COUNTER__)
#define VANTRY_REGISTER_CLASS_AS(T, N) VANTRY_REGISTER_CLASS_NUMBERED(T, N)
#define VANTRY_REGISTER_CLASS_NUMBERED(T, N)                                                       \
  [[gnu::used, gnu::retain, gnu::section("vantry_classes")]] static constexpr ::Vantry::TClassReference \
      VantryRegisteredClass##N = &T::StaticClass

// Finishes construction of a new component (AfterConstruction); frees it and
// re-raises if that fails. Defined with TComponent.
TComponent* ConstructComponent(TComponent* AComponent);

// Finds the root's published method and binds it; raises EReadError naming
// it when the root's class has no such method.
std::any BindPublishedMethod(TObject& ARoot, std::string_view AMethod);

namespace Detail {

[[noreturn]] void RaiseBadValue(const TPropInfo& AProp, const char* AExpected);
int FindName(const TPropInfo& AProp, const std::string& AName);

template <class M>
struct TMemberTraits;
template <class C, class V>
struct TMemberTraits<void (C::*)(V)> {
  using Class = C;
  using Value = std::decay_t<V>;
};
template <class C, class V>
struct TMemberTraits<V C::*> {
  using Class = C;
  using Value = V;
};

template <auto Member, class V>
void Store(TObject& AInstance, V&& AValue) {
  using C = typename TMemberTraits<decltype(Member)>::Class;
  auto& instance = static_cast<C&>(AInstance);
  if constexpr (std::is_member_function_pointer_v<decltype(Member)>)
    (instance.*Member)(std::forward<V>(AValue));
  else
    instance.*Member = std::forward<V>(AValue);
}

template <class V>
const V& Expect(const TPropInfo& AProp, const TStoredValue& AValue, const char* AExpected) {
  if (auto* v = std::get_if<V>(&AValue)) return *v;
  RaiseBadValue(AProp, AExpected);
}

template <auto Setter>
void SetInteger(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  using V = typename TMemberTraits<decltype(Setter)>::Value;
  int64_t v = Expect<int64_t>(P, AValue, "an integer");
  if (v < static_cast<int64_t>(std::numeric_limits<V>::min()) || v > static_cast<int64_t>(std::numeric_limits<V>::max()))
    RaiseBadValue(P, "an integer in its range");
  Store<Setter>(O, static_cast<V>(v));
}

template <auto Setter>
void SetBoolean(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  const std::string& ident = Expect<TIdentValue>(P, AValue, "True or False").Name;
  if (!SameText(ident, "True") && !SameText(ident, "False")) RaiseBadValue(P, "True or False");
  Store<Setter>(O, SameText(ident, "True"));
}

template <auto Setter>
void SetString(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  Store<Setter>(O, Expect<std::string>(P, AValue, "a string"));
}

template <auto Setter>
void SetEnumeration(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  using E = typename TMemberTraits<decltype(Setter)>::Value;
  Store<Setter>(O, static_cast<E>(FindName(P, Expect<TIdentValue>(P, AValue, "an enumeration value").Name)));
}

template <auto Setter>
void SetSet(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  using V = typename TMemberTraits<decltype(Setter)>::Value;
  uint32_t bits = 0;
  for (const std::string& name : Expect<TSetValue>(P, AValue, "a set").Names) bits |= uint32_t{1} << FindName(P, name);
  Store<Setter>(O, V::FromBits(bits));
}

template <auto Setter>
void SetStrings(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  using V = typename TMemberTraits<decltype(Setter)>::Value;
  V lines;
  for (const std::string& s : Expect<TListValue>(P, AValue, "a list of strings").Lines) lines.Add(s);
  Store<Setter>(O, lines);
}

// A graphic (TIcon) from its image data: empty data is no image; anything
// else must be data the graphic can hold (V::IsImageData).
template <auto Setter>
void SetGraphic(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject&) {
  using V = typename TMemberTraits<decltype(Setter)>::Value;
  const std::vector<uint8_t>& bytes = Expect<TBinaryValue>(P, AValue, "image data in braces").Bytes;
  V graphic;
  if (!bytes.empty()) {
    if (!V::IsImageData(bytes)) RaiseBadValue(P, V::ImageDataKinds());
    graphic.LoadFromData(bytes);
  }
  Store<Setter>(O, graphic);
}

template <auto Field>
void SetEvent(const TPropInfo& P, TObject& O, const TStoredValue& AValue, TObject& ARoot) {
  using Ev = typename TMemberTraits<decltype(Field)>::Value;
  std::any handler = BindPublishedMethod(ARoot, Expect<TIdentValue>(P, AValue, "a method name").Name);
  auto* typed = std::any_cast<Ev>(&handler);
  if (!typed) RaiseBadValue(P, "a method with the event's parameters");
  Store<Field>(O, *typed);
}

template <class C, class R, class... A>
std::any BindMethodOf(TObject& ARoot, R (C::*AMethod)(A...)) {
  C* self = dynamic_cast<C*>(&ARoot);
  return std::function<void(A...)>([self, AMethod](A... AArgs) { (self->*AMethod)(std::forward<A>(AArgs)...); });
}

template <auto Method>
std::any BindMethod(TObject& ARoot) {
  return BindMethodOf(ARoot, Method);
}

template <auto Field>
bool AssignField(TObject& AOwner, TComponent* AComponent) {
  using P = typename TMemberTraits<decltype(Field)>::Value;
  auto* typed = dynamic_cast<P>(AComponent);
  if (!typed) return false;
  Store<Field>(AOwner, typed);
  return true;
}

template <auto Field>
void ForgetField(TObject& AOwner, TComponent* AComponent) {
  using C = typename TMemberTraits<decltype(Field)>::Class;
  auto& field = static_cast<C&>(AOwner).*Field;
  if (field && static_cast<TComponent*>(field) == AComponent) field = nullptr;
}

template <class T>
TComponent* CreateInstance(TComponent* AOwner) {
  return ConstructComponent(new T(AOwner));
}

}  // namespace Detail

// Entries of a published table:
//   static constexpr TPropInfo Properties[] = {
//       Published::String<&TFoo::SetCaption>("Caption"),
//       Published::Event<&TFoo::OnClick>("OnClick")};
// A property takes either a setter method or a data member.
namespace Published {
template <auto S> constexpr TPropInfo Integer(std::string_view N) { return {N, TPropKind::Integer, &Detail::SetInteger<S>, {}}; }
template <auto S> constexpr TPropInfo Boolean(std::string_view N) { return {N, TPropKind::Boolean, &Detail::SetBoolean<S>, {}}; }
template <auto S> constexpr TPropInfo String(std::string_view N) { return {N, TPropKind::String, &Detail::SetString<S>, {}}; }
template <auto S> constexpr TPropInfo Strings(std::string_view N) { return {N, TPropKind::Strings, &Detail::SetStrings<S>, {}}; }
template <auto S> constexpr TPropInfo Graphic(std::string_view N) { return {N, TPropKind::Graphic, &Detail::SetGraphic<S>, {}}; }
template <auto S>
constexpr TPropInfo Enumeration(std::string_view N, std::span<const std::string_view> AValues) {
  return {N, TPropKind::Enumeration, &Detail::SetEnumeration<S>, AValues};
}
template <auto S>
constexpr TPropInfo Set(std::string_view N, std::span<const std::string_view> AElements) {
  return {N, TPropKind::Set, &Detail::SetSet<S>, AElements};
}
template <auto F> constexpr TPropInfo Event(std::string_view N) { return {N, TPropKind::Event, &Detail::SetEvent<F>, {}}; }
template <auto M> constexpr TMethodInfo Method(std::string_view N) { return {N, &Detail::BindMethod<M>}; }
template <auto F>
constexpr TFieldInfo Field(std::string_view N) {
  using P = std::remove_pointer_t<typename Detail::TMemberTraits<decltype(F)>::Value>;
  return {N, &P::StaticClass, &Detail::AssignField<F>, &Detail::ForgetField<F>};
}
}  // namespace Published

// The class reference of T, whose parent class is Parent; components that
// can be constructed from an owner get a virtual constructor. Add tables
// with WithProperties, WithMethods, WithFields and WithDescription.
template <class T, class Parent>
constexpr TClassInfo ClassInfoOf(std::string_view AName) {
  TClassInfo info;
  info.Name = AName;
  info.ParentClass = &Parent::StaticClass;
  if constexpr (std::is_base_of_v<TComponent, T> && !std::is_abstract_v<T> && std::is_constructible_v<T, TComponent*>)
    info.Create = &Detail::CreateInstance<T>;
  return info;
}

}  // namespace Vantry
