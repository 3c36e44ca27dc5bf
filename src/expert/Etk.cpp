#include "expert/Etk.h"

#include "platform/Application.h"
#include "platform/Registry.h"
#include "platform/Streaming.h"

namespace Vantry {

namespace {
constexpr const char* AuthorKey = "\\Software\\Halvorn Software";
constexpr const char* AuthorSection = "Expert Wizard";
constexpr const char* AuthorValue = "Author";

constexpr std::string_view ExpertStateNames[] = {"esEnabled", "esChecked"};
constexpr std::string_view ExpertStyleNames[] = {"esStandard", "esForm", "esProject", "esAddIn"};
}  // namespace

// A per-user hive that cannot be read holds no default author: the module is
// made all the same, and the damaged hive is the host's to report (it names
// it once at start), not every module's.
std::string ReadDefaultAuthor() {
  try {
    return TRegIniFile(AuthorKey).ReadString(AuthorSection, AuthorValue, "");
  } catch (const ERegistryException&) {
    return "";
  }
}

void WriteDefaultAuthor(const std::string& AAuthor) {
  TRegIniFile(AuthorKey).WriteString(AuthorSection, AuthorValue, AAuthor);
}

const TClassInfo& TEtkModule::StaticClass() {
  using T = TEtkModule;
  static constexpr TPropInfo Properties[] = {
      Published::String<&T::SetAuthor>("Author"),
      Published::String<&T::SetComment>("Comment"),
      Published::String<&T::SetExpertName>("ExpertName"),
      Published::String<&T::SetIDString>("IDString"),
      Published::Set<&T::SetMenuState>("MenuState", ExpertStateNames),
      Published::String<&T::SetMenuText>("MenuText"),
      Published::String<&T::SetPage>("Page"),
      Published::Enumeration<&T::SetStyle>("Style", ExpertStyleNames),
      Published::Event<&T::OnExecute>("OnExecute"),
      Published::Event<&T::OnMenuState>("OnMenuState"),
      Published::Event<&T::OnMenuText>("OnMenuText"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TDataModule>("TEtkModule").WithProperties(Properties);
  return Info;
}

// Construction happens in two steps: the constructor makes the empty module
// with its icon and expert object (nothing here can fail but memory), and
// AfterConstruction, once the whole object exists, reads the default author,
// applies the stored description and runs OnCreate.
TEtkModule::TEtkModule(TComponent* AOwner)
    : TDataModule(AOwner), FExpert(new THelperExpert(this)), FIcon(std::make_unique<TIcon>()) {}

void TEtkModule::AfterConstruction() {
  FAuthor = ReadDefaultAuthor();
  if (&ClassType() == &TEtkModule::StaticClass() || ComponentState().Contains(csDesigning)) return;
  InitInheritedComponent(this, TEtkModule::StaticClass());
  DoCreate();
}

// Detach the expert, drop the icon, then the data module's destruction:
// OnDestroy, and the owned components.
void TEtkModule::BeforeDestruction() {
  if (!ComponentState().Contains(csDestroying)) {
    if (FExpert) FExpert->DetachModule();
    FIcon.reset();
  }
  TDataModule::BeforeDestruction();
}

TEtkModule::~TEtkModule() {
  // Nobody else would ever free an expert the host was not given.
  if (FExpert && !FExpertRegistered) FExpert->Release();
}

void TEtkModule::RegisterExpert() {
  // The host owns a registered expert; handing it over twice would let it
  // release the expert twice.
  if (FExpertRegistered || !FExpert) return;
  // A host that takes the expert may release it, and so destroy this module,
  // before the call returns: nothing of this module is touched afterwards
  // unless the host declined it.
  FExpertRegistered = true;
  if (!RegisterLibraryExpert(FExpert)) FExpertRegistered = false;
}

std::string TEtkModule::DerivedIdentifier(const std::string& AName) const {
  return FAuthor.empty() ? AName : FAuthor + "." + AName;
}

void TEtkModule::SetAuthor(const std::string& AValue) {
  bool followed = FIDString == DerivedIdentifier(Name());
  FAuthor = AValue;
  WriteDefaultAuthor(FAuthor);
  if (followed) FIDString = DerivedIdentifier(Name());
}

void TEtkModule::SetName(const std::string& ANewName) {
  const std::string oldName = Name();
  bool nameFollowed = FExpertName == oldName;
  bool textFollowed = GetMenuText() == oldName;
  bool idFollowed = FIDString == DerivedIdentifier(oldName);
  TDataModule::SetName(ANewName);
  if (nameFollowed) FExpertName = ANewName;
  if (textFollowed) FMenuText = ANewName;
  if (idFollowed) FIDString = DerivedIdentifier(ANewName);
}

void TEtkModule::DoExecute() {
  if (OnExecute) OnExecute(this);
}

void TEtkModule::DoMenuState(TExpertState& AState) {
  if (OnMenuState) OnMenuState(this, AState);
}

void TEtkModule::DoMenuText(std::string& ACaption) {
  if (OnMenuText) OnMenuText(this, ACaption);
}

TExpertState TEtkModule::GetMenuState() {
  TExpertState state = FMenuState;
  DoMenuState(state);
  return state;
}

std::string TEtkModule::GetMenuText() {
  std::string caption = FMenuText;
  DoMenuText(caption);
  return caption;
}

THelperExpert::~THelperExpert() {
  TEtkModule* module = FModule;
  FModule = nullptr;
  if (!module) return;
  module->FExpert = nullptr;  // this expert is going already
  module->Free();
}

std::string THelperExpert::GetName() { return FModule ? FModule->ExpertName() : std::string(); }
std::string THelperExpert::GetAuthor() { return FModule ? FModule->Author() : std::string(); }
std::string THelperExpert::GetComment() { return FModule ? FModule->Comment() : std::string(); }
std::string THelperExpert::GetPage() { return FModule ? FModule->Page() : std::string(); }
HICON THelperExpert::GetGlyph() { return FModule && FModule->Icon() ? FModule->Icon()->ReleaseHandle() : nullptr; }
TExpertStyle THelperExpert::GetStyle() { return FModule ? FModule->Style() : esStandard; }
TExpertState THelperExpert::GetState() { return FModule ? FModule->GetMenuState() : TExpertState{}; }
std::string THelperExpert::GetIDString() { return FModule ? FModule->IDString() : std::string(); }
std::string THelperExpert::GetMenuText() { return FModule ? FModule->GetMenuText() : std::string(); }

void THelperExpert::Execute() {
  if (FModule) FModule->DoExecute();
}

}  // namespace Vantry
