#include "menus/ecMenus.h"

#include "expert/host/ExptIntf.h"

namespace Vantry {

namespace {
constexpr std::string_view InsertPositionNames[] = {"eciaBefore", "eciaAfter", "eciaChildFirst", "eciaChildLast"};
constexpr std::string_view BreakTypeNames[] = {"ecbtNone", "ecbtBarBreak", "ecbtBreak"};
constexpr TIMenuFlags BreakFlags{mfBreak, mfBarBreak};

TecBreakType BreakOf(TIMenuFlags AFlags) {
  if (AFlags.Contains(mfBreak)) return ecbtBreak;
  return AFlags.Contains(mfBarBreak) ? ecbtBarBreak : ecbtNone;
}

TIMenuFlags FlagsOf(TecBreakType ABreak) {
  switch (ABreak) {
    case ecbtBarBreak: return {mfBarBreak};
    case ecbtBreak: return {mfBreak};
    case ecbtNone: break;
  }
  return {};
}
}  // namespace

const TClassInfo& TecInterfaceMenuItem::StaticClass() {
  using T = TecInterfaceMenuItem;
  static constexpr TPropInfo Properties[] = {
      Published::Boolean<&T::SetAutomaticActivation>("AutomaticActivation"),
      Published::Enumeration<&T::SetInsertPosition>("InsertPosition", InsertPositionNames),
      Published::String<&T::SetTargetName>("TargetName"),
      Published::String<&T::SetCaption>("Caption"),
      Published::String<&T::SetMenuItemName>("MenuItemName"),
      Published::String<&T::SetHint>("Hint"),
      Published::Integer<&T::SetShortCut>("ShortCut"),
      Published::Integer<&T::SetContext>("Context"),
      Published::Integer<&T::SetGroupIndex>("GroupIndex"),
      Published::Enumeration<&T::SetBreak>("Break", BreakTypeNames),
      Published::Boolean<&T::SetVisible>("Visible"),
      Published::Boolean<&T::SetChecked>("Checked"),
      Published::Boolean<&T::SetEnabled>("Enabled"),
      Published::Boolean<&T::SetRadioItem>("RadioItem"),
      Published::Event<&T::OnClick>("OnClick"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TComponent>("TecInterfaceMenuItem").WithProperties(Properties);
  return Info;
}

[[maybe_unused]] static const bool Registered = RegisterClass(TecInterfaceMenuItem::StaticClass());

TecInterfaceMenuItem::TecInterfaceMenuItem(TComponent* AOwner)
    : TComponent(AOwner), FSelf(std::make_shared<TecInterfaceMenuItem*>(this)) {}

TecInterfaceMenuItem::~TecInterfaceMenuItem() {
  *FSelf = nullptr;
  Deactivate();
}

void TecInterfaceMenuItem::Loaded() {
  TComponent::Loaded();
  if (FAutomaticActivation) SetActive(true);
}

void TecInterfaceMenuItem::SetActive(bool AValue) {
  if (AValue == Active()) return;
  if (AValue)
    Activate();
  else
    Deactivate();
}

void TecInterfaceMenuItem::Activate() {
  std::weak_ptr<TecInterfaceMenuItem*> self = FSelf;
  TIMenuClickEvent handler = [self](TIMenuItemIntf* ASender) {
    if (auto alive = self.lock(); alive && *alive) (*alive)->MenuItemClick(ASender);
  };
  try {
    FMenuItemIntf = InsertMenuItem(FInsertPosition, FTargetName, FCaption, FMenuItemName, FHint, FShortCut, FContext,
                                   FGroupIndex, StoredFlags(), handler);
  } catch (...) {
    // A component that cannot insert its item stays inactive, silently:
    // its owner tests Active when it must know.
    FMenuItemIntf = nullptr;
  }
}

void TecInterfaceMenuItem::Deactivate() {
  if (TIMenuItemIntf* item = std::exchange(FMenuItemIntf, nullptr)) item->Free();
}

void TecInterfaceMenuItem::MenuItemClick(TIMenuItemIntf* ASender) {
  if (!ASender || ASender != FMenuItemIntf || !OnClick) return;
  // The handler may free this component, and OnClick with it: it runs from a
  // copy, and nothing of the component is touched once it has returned.
  TNotifyEvent handler = OnClick;
  handler(this);
}

TIMenuFlags TecInterfaceMenuItem::StoredFlags() const {
  TIMenuFlags flags = FlagsOf(FBreak);
  if (FVisible) flags.Include(mfVisible);
  if (FChecked) flags.Include(mfChecked);
  if (FRadioItem) flags.Include(mfRadioItem);
  if (FEnabled) flags.Include(mfEnabled);
  return flags;
}

template <class V, class Set, class Get>
void TecInterfaceMenuItem::SetValue(V& AField, const V& AValue, Set AHostSet, Get AHostGet) {
  if (AValue == AField) return;
  if (!FMenuItemIntf) {
    AField = AValue;
    return;
  }
  (FMenuItemIntf->*AHostSet)(AValue);
  AField = static_cast<V>((FMenuItemIntf->*AHostGet)());
}

std::string TecInterfaceMenuItem::Caption() const { return FMenuItemIntf ? FMenuItemIntf->GetCaption() : FCaption; }

void TecInterfaceMenuItem::SetCaption(const std::string& AValue) {
  SetValue(FCaption, AValue, &TIMenuItemIntf::SetCaption, &TIMenuItemIntf::GetCaption);
}

std::string TecInterfaceMenuItem::MenuItemName() const {
  return FMenuItemIntf ? FMenuItemIntf->GetName() : FMenuItemName;
}

std::string TecInterfaceMenuItem::Hint() const { return FMenuItemIntf ? FMenuItemIntf->GetHint() : FHint; }

void TecInterfaceMenuItem::SetHint(const std::string& AValue) {
  SetValue(FHint, AValue, &TIMenuItemIntf::SetHint, &TIMenuItemIntf::GetHint);
}

TShortCut TecInterfaceMenuItem::ShortCut() const {
  return FMenuItemIntf ? static_cast<TShortCut>(FMenuItemIntf->GetShortCut()) : FShortCut;
}

void TecInterfaceMenuItem::SetShortCut(TShortCut AValue) {
  SetValue(FShortCut, AValue, &TIMenuItemIntf::SetShortCut, &TIMenuItemIntf::GetShortCut);
}

int TecInterfaceMenuItem::Context() const { return FMenuItemIntf ? FMenuItemIntf->GetContext() : FContext; }

void TecInterfaceMenuItem::SetContext(int AValue) {
  SetValue(FContext, AValue, &TIMenuItemIntf::SetContext, &TIMenuItemIntf::GetContext);
}

int TecInterfaceMenuItem::GroupIndex() const { return FMenuItemIntf ? FMenuItemIntf->GetGroupIndex() : FGroupIndex; }

void TecInterfaceMenuItem::SetGroupIndex(int AValue) {
  SetValue(FGroupIndex, AValue, &TIMenuItemIntf::SetGroupIndex, &TIMenuItemIntf::GetGroupIndex);
}

TecBreakType TecInterfaceMenuItem::Break() const { return FMenuItemIntf ? BreakOf(FMenuItemIntf->GetFlags()) : FBreak; }

void TecInterfaceMenuItem::SetBreak(TecBreakType AValue) {
  if (AValue == FBreak) return;
  if (!FMenuItemIntf) {
    FBreak = AValue;
    return;
  }
  FMenuItemIntf->SetFlags(BreakFlags, FlagsOf(AValue));
  FBreak = BreakOf(FMenuItemIntf->GetFlags());
}

bool TecInterfaceMenuItem::FlagValue(TIMenuFlag AFlag, bool AStored) const {
  return FMenuItemIntf ? FMenuItemIntf->GetFlags().Contains(AFlag) : AStored;
}

void TecInterfaceMenuItem::SetFlagValue(TIMenuFlag AFlag, bool& AStored, bool AValue) {
  if (AValue == FlagValue(AFlag, AStored)) return;
  if (!FMenuItemIntf) {
    AStored = AValue;
    return;
  }
  FMenuItemIntf->SetFlags({AFlag}, AValue ? TIMenuFlags{AFlag} : TIMenuFlags{});
  AStored = FMenuItemIntf->GetFlags().Contains(AFlag);
}

TIMenuItemIntf* InsertMenuItem(TecMenuInsertPosition APosition, const std::string& ATargetName,
                               const std::string& ACaption, const std::string& AName, const std::string& AHint,
                               TShortCut AShortCut, int AContext, int AGroupIndex, TIMenuFlags AFlags,
                               TIMenuClickEvent AEventHandler) {
  // Declared in this order so that they are released Parent, Target, MainMenu.
  THostRef<TIMainMenuIntf> mainMenu;
  THostRef<TIMenuItemIntf> target;
  THostRef<TIMenuItemIntf> parent;
  if (ToolServices) mainMenu.Reset(ToolServices->GetMainMenu());
  if (mainMenu) target.Reset(mainMenu->FindMenuItem(ATargetName));
  if (!target) throw Exception("Cannot find menu item, %s", {ATargetName});

  int index;
  if (APosition == eciaChildFirst || APosition == eciaChildLast) {
    target->AddRef();
    parent.Reset(target.Get());
    index = APosition == eciaChildFirst ? 0 : -1;
  } else {
    parent.Reset(target->GetParent());
    index = target->GetIndex() + (APosition == eciaAfter ? 1 : 0);
  }
  if (!parent) throw Exception("No menu parent for %s", {ATargetName});
  return parent->InsertItem(index, ACaption, AName, AHint, AShortCut, AContext, AGroupIndex, AFlags,
                            std::move(AEventHandler));
}

}  // namespace Vantry
