#pragma once
// A component that owns one item of the host's main menu. While inactive it
// keeps the item's whole description; activating it inserts the item next to
// or under a target item found by name; while active its properties forward
// to the live item and read back from it; it relays the host's click to
// OnClick; releasing (deactivation or destruction) gives the item up.

#include "expert/host/ToolIntf.h"
#include "platform/Classes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Vantry {

enum TecMenuInsertPosition : uint8_t { eciaBefore, eciaAfter, eciaChildFirst, eciaChildLast };
enum TecBreakType : uint8_t { ecbtNone, ecbtBarBreak, ecbtBreak };
using TShortCut = uint16_t;

class TecInterfaceMenuItem : public TComponent {
  VANTRY_CLASS(TecInterfaceMenuItem)

public:
  explicit TecInterfaceMenuItem(TComponent* AOwner);
  ~TecInterfaceMenuItem() override;
  // Activates the component when AutomaticActivation is set.
  void Loaded() override;

  // Writing True inserts the item (a failure leaves the component inactive
  // and is not reported); False releases it.
  bool Active() const { return FMenuItemIntf != nullptr; }
  void SetActive(bool AValue);
  // The live host item (the component keeps its reference), or null.
  TIMenuItemIntf* MenuItemIntf() const { return FMenuItemIntf; }

  bool AutomaticActivation() const { return FAutomaticActivation; }
  void SetAutomaticActivation(bool AValue) { FAutomaticActivation = AValue; }
  TecMenuInsertPosition InsertPosition() const { return FInsertPosition; }
  void SetInsertPosition(TecMenuInsertPosition AValue) { FInsertPosition = AValue; }
  const std::string& TargetName() const { return FTargetName; }
  void SetTargetName(const std::string& AValue) { FTargetName = AValue; }

  std::string Caption() const;
  void SetCaption(const std::string& AValue);
  // While active, the live item's name; setting it changes only the stored name.
  std::string MenuItemName() const;
  void SetMenuItemName(const std::string& AValue) { FMenuItemName = AValue; }
  std::string Hint() const;
  void SetHint(const std::string& AValue);
  TShortCut ShortCut() const;
  void SetShortCut(TShortCut AValue);
  int Context() const;
  void SetContext(int AValue);
  int GroupIndex() const;
  void SetGroupIndex(int AValue);
  TecBreakType Break() const;
  void SetBreak(TecBreakType AValue);
  bool Visible() const { return FlagValue(mfVisible, FVisible); }
  void SetVisible(bool AValue) { SetFlagValue(mfVisible, FVisible, AValue); }
  bool Checked() const { return FlagValue(mfChecked, FChecked); }
  void SetChecked(bool AValue) { SetFlagValue(mfChecked, FChecked, AValue); }
  bool Enabled() const { return FlagValue(mfEnabled, FEnabled); }
  void SetEnabled(bool AValue) { SetFlagValue(mfEnabled, FEnabled, AValue); }
  bool RadioItem() const { return FlagValue(mfRadioItem, FRadioItem); }
  void SetRadioItem(bool AValue) { SetFlagValue(mfRadioItem, FRadioItem, AValue); }

  // Called with this component as Sender when the user chooses its item.
  TNotifyEvent OnClick;

private:
  void Activate();
  void Deactivate();
  void MenuItemClick(TIMenuItemIntf* ASender);
  TIMenuFlags StoredFlags() const;
  bool FlagValue(TIMenuFlag AFlag, bool AStored) const;
  void SetFlagValue(TIMenuFlag AFlag, bool& AStored, bool AValue);
  // The value rule: no host call when AValue equals the stored field; while
  // active, set on the host and store what it reads back.
  template <class V, class Set, class Get>
  void SetValue(V& AField, const V& AValue, Set AHostSet, Get AHostGet);

  bool FAutomaticActivation = false;
  TecMenuInsertPosition FInsertPosition = eciaAfter;
  std::string FTargetName = "FileMenu";
  std::string FCaption = "Caption";
  std::string FMenuItemName = "MenuItem";
  std::string FHint;
  TShortCut FShortCut = 0;
  int FContext = 0;
  int FGroupIndex = 0;
  TIMenuItemIntf* FMenuItemIntf = nullptr;
  bool FVisible = true;
  bool FChecked = false;
  bool FRadioItem = false;
  bool FEnabled = true;
  TecBreakType FBreak = ecbtNone;
  // Shared with the click handler given to the host, which may outlive this
  // component: the handler reaches the component only while it exists.
  std::shared_ptr<TecInterfaceMenuItem*> FSelf;
};

// Inserts an item into the host's main menu relative to the item named
// ATargetName and returns it, with one reference for the caller. Raises
// Exception "Cannot find menu item, <target>" or "No menu parent for
// <target>"; every other host reference it takes is released on every path.
TIMenuItemIntf* InsertMenuItem(TecMenuInsertPosition APosition, const std::string& ATargetName,
                               const std::string& ACaption, const std::string& AName, const std::string& AHint,
                               TShortCut AShortCut, int AContext, int AGroupIndex, TIMenuFlags AFlags,
                               TIMenuClickEvent AEventHandler);

}  // namespace Vantry
