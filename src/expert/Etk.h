#pragma once
// Expert modules: data modules whose published properties say what an add-in
// is to the host, and the small expert object through which the host asks
// them.

#include "expert/host/ExptIntf.h"
#include "platform/Classes.h"
#include "platform/Graphics.h"

#include <functional>
#include <memory>
#include <string>

namespace Vantry {

using TMenuStateEvent = std::function<void(TObject* Sender, TExpertState& State)>;
using TMenuTextEvent = std::function<void(TObject* Sender, std::string& Caption)>;

class THelperExpert;

// The base of every expert module. A descendant is constructed through its
// class (CreateComponent, or TExpertInitializer::CreateModule), which applies
// its stored description and then runs OnCreate.
//
// ExpertName, MenuText and IDString follow the module's name (IDString as
// "Author.Name") for as long as nobody gives them a value of their own;
// IDString also follows Author.
class TEtkModule : public TDataModule {
  VANTRY_CLASS(TEtkModule)

public:
  explicit TEtkModule(TComponent* AOwner);
  ~TEtkModule() override;
  void AfterConstruction() override;
  void BeforeDestruction() override;
  void SetName(const std::string& ANewName) override;

  virtual void DoExecute();
  virtual void DoMenuState(TExpertState& AState);
  virtual void DoMenuText(std::string& ACaption);
  // The stored value passed through OnMenuState / OnMenuText.
  TExpertState GetMenuState();
  std::string GetMenuText();

  // The expert object the host is given (null once it is gone). Until it is
  // registered the module frees it; once registered the host owns it.
  THelperExpert* Expert() const { return FExpert; }
  // Hands the expert object to the host (RegisterLibraryExpert), once.
  void RegisterExpert();

  const std::string& Author() const { return FAuthor; }
  // Also stores the value as the user's default author; when that cannot be
  // stored, keeps the value, leaves IDString alone and raises nothing.
  void SetAuthor(const std::string& AValue);
  const std::string& Comment() const { return FComment; }
  void SetComment(const std::string& AValue) { FComment = AValue; }
  const std::string& ExpertName() const { return FExpertName; }
  void SetExpertName(const std::string& AValue) { FExpertName = AValue; }
  // The module's own icon; null once destruction has begun.
  TIcon* Icon() const { return FIcon.get(); }
  // Copies the icon into the module's own.
  void SetIcon(const TIcon& AValue) { FIcon->Assign(AValue); }
  const std::string& IDString() const { return FIDString; }
  void SetIDString(const std::string& AValue) { FIDString = AValue; }
  TExpertState MenuState() const { return FMenuState; }
  void SetMenuState(TExpertState AValue) { FMenuState = AValue; }
  const std::string& MenuText() const { return FMenuText; }
  void SetMenuText(const std::string& AValue) { FMenuText = AValue; }
  const std::string& Page() const { return FPage; }
  void SetPage(const std::string& AValue) { FPage = AValue; }
  TExpertStyle Style() const { return FStyle; }
  void SetStyle(TExpertStyle AValue) { FStyle = AValue; }

  TNotifyEvent OnExecute;
  TMenuStateEvent OnMenuState;
  TMenuTextEvent OnMenuText;

private:
  friend class THelperExpert;  // tells the module when it goes first
  std::string DerivedIdentifier(const std::string& AName) const;

  THelperExpert* FExpert;
  bool FExpertRegistered = false;
  std::string FAuthor;
  std::string FComment;
  std::string FExpertName;
  std::unique_ptr<TIcon> FIcon;
  std::string FIDString;
  TExpertState FMenuState;
  std::string FMenuText;
  std::string FPage;
  TExpertStyle FStyle = esStandard;
};

// Answers the host's questions from its module, read at the moment of the
// call. Destroying it destroys the module; a module destroyed first leaves it
// detached, answering empty values.
class THelperExpert : public TIExpert {
public:
  explicit THelperExpert(TEtkModule* AModule) : FModule(AModule) {}

  std::string GetName() override;
  std::string GetAuthor() override;
  std::string GetComment() override;
  std::string GetPage() override;
  HICON GetGlyph() override;
  TExpertStyle GetStyle() override;
  TExpertState GetState() override;
  std::string GetIDString() override;
  std::string GetMenuText() override;
  void Execute() override;

  TEtkModule* Module() const { return FModule; }
  void DetachModule() { FModule = nullptr; }

protected:
  ~THelperExpert() override;

private:
  TEtkModule* FModule;
};

// The user's default author, kept in the user's registry.
std::string ReadDefaultAuthor();
void WriteDefaultAuthor(const std::string& AAuthor);

}  // namespace Vantry
