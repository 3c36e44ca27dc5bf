#include "platform/Classes.h"

#include "platform/Application.h"
#include "platform/Streaming.h"

#include <algorithm>
#include <cassert>

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

void TStringList::Sort() {
  std::sort(FItems.begin(), FItems.end(), [](const std::string& A, const std::string& B) {
    int c = CompareText(A, B);
    return c != 0 ? c < 0 : A < B;
  });
}

std::string TStringList::Text() const {
  std::string text;
  for (const std::string& s : FItems) text += s + '\n';
  return text;
}

}  // namespace Vantry
