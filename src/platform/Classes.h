#pragma once
// The component model: components with owners and names, data modules, string
// lists and event types.

#include "platform/TypInfo.h"

#include <exception>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vantry {

VANTRY_EXCEPTION(EListError, Exception);  // an index outside a list

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TComponentStateFlag { csLoading, csReading, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateFlag>;

// A component belongs to its owner, which frees it, last created first, when
// it is freed itself. Components live on the heap and are freed with Free(),
// never with delete: Free runs BeforeDestruction while the whole object is
// still there, which is where events such as OnDestroy may safely run.
class TComponent : public TObject {
  VANTRY_CLASS(TComponent)

public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Called once the constructors have run; CreateComponent and class
  // references call it. Here a component may read its stored description.
  virtual void AfterConstruction() {}
  // Called by Free before the destructors run.
  virtual void BeforeDestruction();
  void Free();

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int AIndex) const;
  // The owned component of that name, ignoring case; null if there is none.
  TComponent* FindComponent(std::string_view AName) const;
  // Frees every owned component, last created first.
  void DestroyComponents();

  const std::string& Name() const { return FName; }
  // An identifier or empty, unique among the owner's components ignoring
  // case; otherwise EComponentError.
  virtual void SetName(const std::string& ANewName);
  int Tag() const { return FTag; }
  void SetTag(int AValue) { FTag = AValue; }

  TComponentState ComponentState() const { return FComponentState; }
  void SetDesigning(bool AValue);
  // Called by the stored-description reader once the whole stream is read.
  virtual void Loaded();

private:
  friend class TReader;
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void ValidateRename(TComponent* AComponent, const std::string& AOldName, const std::string& ANewName);

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::unordered_map<std::string, TComponent*> FNameIndex;  // upper-cased name -> component
  std::string FName;
  int FTag = 0;
  TComponentState FComponentState;
};

// Constructs a component of class T and finishes its construction; the owner
// (if any) frees it.
template <class T>
T* CreateComponent(TComponent* AOwner) {
  return static_cast<T*>(ConstructComponent(new T(AOwner)));
}

// Frees a component a pointer may hold, and clears the pointer.
template <class T>
void FreeAndNil(T*& AComponent) {
  T* c = AComponent;
  AComponent = nullptr;
  if (c) c->Free();
}

// A container of components, designed like a form. Its constructor is
// CreateNew: an empty module. A descendant built through CreateComponent or
// a class reference takes its stored description and then runs OnCreate.
class TDataModule : public TComponent {
  VANTRY_CLASS(TDataModule)

public:
  explicit TDataModule(TComponent* AOwner) : TComponent(AOwner) {}
  void AfterConstruction() override;
  void BeforeDestruction() override;

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;

protected:
  // Call the events; an exception they raise goes to Application().HandleException.
  void DoCreate();
  void DoDestroy();
};

// An ordered list of strings.
class TStringList : public TObject {
  VANTRY_CLASS(TStringList)

public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> ALines) : FItems(ALines) {}

  // Appends and returns the new index.
  int Add(const std::string& S);
  int Add(std::string&& S);
  void Insert(int AIndex, const std::string& S);
  void Delete(int AIndex);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& operator[](int AIndex) const;
  std::string& operator[](int AIndex);
  // The first index of S (exact comparison), or -1.
  int IndexOf(std::string_view S) const;
  // Ascending in the process's collation (LC_COLLATE) ignoring case; what
  // the collation cannot tell apart goes by its bytes, so the order is total.
  // Entries that are not text in the locale's encoding sort after the rest.
  void Sort();
  // Negative, zero or positive as S1 sorts before, with or after S2: the
  // order Sort gives, one pair at a time.
  int CompareStrings(const std::string& S1, const std::string& S2) const;
  void Assign(const TStringList& ASource) { FItems = ASource.FItems; }
  // The lines, each followed by a line break.
  std::string Text() const;

  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  bool operator==(const TStringList& O) const { return FItems == O.FItems; }

private:
  void CheckIndex(int AIndex, int ALimit) const;
  std::vector<std::string> FItems;
};

using TStrings = TStringList;

}  // namespace Vantry
