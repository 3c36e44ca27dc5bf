#include "source_menu/ExpertModuleUnit.h"

#include "forms/QtApplication.h"
#include "platform/Application.h"
#include "platform/Registry.h"
#include "platform/Streaming.h"
#include "source_menu/OptionFormUnit.h"
#include "source_menu/ZebFiles.h"

#include <QApplication>

#include <charconv>
#include <cstring>
#include <memory>

VANTRY_DESCRIPTION(ExpertModuleUnit);

namespace Vantry {

namespace {
// Menus start a new column with a bar every this many items.
constexpr int ColumnLength = 20;
}  // namespace

const TClassInfo& TVantryExpertModule::StaticClass() {
  using T = TVantryExpertModule;
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&T::ExpertModuleCreate>("ExpertModuleCreate"),
      Published::Method<&T::ExpertModuleDestroy>("ExpertModuleDestroy"),
      Published::Method<&T::IMIConfigurationClick>("IMIConfigurationClick"),
      Published::Method<&T::IMIOpenSourceFileClick>("IMIOpenSourceFileClick"),
  };
  static constexpr TFieldInfo Fields[] = {
      Published::Field<&T::IMIVantry>("IMIVantry"),
      Published::Field<&T::IMIConfiguration>("IMIConfiguration"),
      Published::Field<&T::ecInterfaceMenuItem1>("ecInterfaceMenuItem1"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TEtkModule>("TVantryExpertModule")
                                         .WithMethods(Methods)
                                         .WithFields(Fields)
                                         .WithDescription(&VantryDescription_ExpertModuleUnit);
  return Info;
}

void TVantryExpertModule::ExpertModuleCreate(TObject*) {
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  ExpertModuleDestroy(this);
  BuildDirectoryMenu(path, IMIVantry, nullptr);
  FWalk = TTreeRules();
  // A folder that cannot be shown leaves a word why below Options...,
  // rather than a menu that is empty for no reason the user can see.
  if (const std::string why = SourceFolderProblem(path); !why.empty()) {
    IMIVantry->SetActive(true);
    TecInterfaceMenuItem* note = NewChild(IMIVantry, IMIVantry->MenuItemName(), why, "_N", 0);
    note->SetEnabled(false);
    note->SetActive(true);
    FMenuItems.push_back(note);
  }
}

void TVantryExpertModule::ExpertModuleDestroy(TObject*) {
  FFilePaths.Clear();
  while (!FMenuItems.empty()) {
    TecInterfaceMenuItem* item = FMenuItems.back();
    FMenuItems.pop_back();
    if (item) item->Free();
  }
}

namespace {

// Stores the choice as WriteSettings does, but tells why it could not:
// returns "" when both values were written.
std::string StoreChoice(bool AAutomatic, const std::string& APath) {
  try {
    std::string why;
    return WriteChoice(AAutomatic, APath, why) ? "" : why;
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

void TVantryExpertModule::IMIConfigurationClick(TObject*) {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
    throw Exception("The options dialog needs the IDE's window: there is no application window.");
  // The dialog goes with this scope, also when a step raises.
  std::unique_ptr<TOptionsForm, void (*)(TOptionsForm*)> form(CreateComponent<TOptionsForm>(nullptr),
                                                              [](TOptionsForm* AForm) { AForm->Free(); });
  bool automatic = true;
  std::string path;
  ReadSettings(automatic, path);
  if (!automatic) form->RBPath->setChecked(true);
  form->EDPath->setText(PathToText(path));
  if (form->ShowModal() != 1) return;  // mrOk
  automatic = form->RBAutomatic->isChecked();
  path = automatic ? " " : TextToPath(form->EDPath->text());
  form.reset();
  // The user must not believe a choice stored that was not: say so and why.
  // The menu keeps its tree either way; a stored choice shows at the next start.
  std::string why = StoreChoice(automatic, path);
  if (!why.empty())
    Application().HandleException(
        this, std::make_exception_ptr(Exception("The choice of the source folder was not saved: %s", {why})));
}

void TVantryExpertModule::IMIOpenSourceFileClick(TObject* Sender) {
  auto* item = dynamic_cast<TecInterfaceMenuItem*>(Sender);
  // A tag outside the list cannot be one of this module's file items.
  if (!item || item->Tag() < 0 || item->Tag() >= FFilePaths.Count() || !ToolServices) return;
  const std::string& path = FFilePaths[item->Tag()];
  if (!ToolServices->IsFileOpen(path)) ToolServices->OpenFile(path);
}

TecInterfaceMenuItem* TVantryExpertModule::NewChild(TecInterfaceMenuItem* AParent, const std::string& AParentName,
                                                    const std::string& ACaption, const char* AKind, int AIndex) {
  auto* child = CreateComponent<TecInterfaceMenuItem>(this);
  child->SetCaption(ACaption);
  child->SetTargetName(AParentName);
  // The parent's name, the kind and the index, made in one string.
  char index[16];
  char* indexEnd = std::to_chars(index, index + sizeof index, AIndex).ptr;
  std::string name;
  name.reserve(AParentName.size() + std::strlen(AKind) + static_cast<size_t>(indexEnd - index));
  name.append(AParentName).append(AKind).append(index, static_cast<size_t>(indexEnd - index));
  child->SetMenuItemName(name);
  child->SetInsertPosition(eciaChildLast);
  // Column rule: the item whose place under its parent is a non-zero
  // multiple of the column length starts a new column with a bar.
  if (TIMenuItemIntf* parentItem = AParent->MenuItemIntf()) {
    int n = parentItem->GetItemCount();
    if (n != 0 && n % ColumnLength == 0) child->SetBreak(ecbtBarBreak);
  }
  return child;
}

bool TVantryExpertModule::BuildDirectoryMenu(const std::string& ADir, TecInterfaceMenuItem* AParent,
                                             const TDirectoryListing* AHolder) {
  // Each real directory is walked once per build: met again (through a link
  // from outside the source directory, say) it lists nothing, like a folder
  // without units. So the menu is bounded by what is on disk.
  TDirectoryListing listing(ADir, AHolder);
  if (!AHolder) FWalk.Start(listing);
  if (listing.Opened() && !FWalk.FirstVisit(listing)) return false;

  bool found = false;
  // Asked once: every child's target and the start of every child's name.
  const std::string parentName = AParent->MenuItemName();
  // Every path listed is the listing's path followed by an entry's name.
  const size_t folder = listing.Path().size();
  TStringList list;
  listing.ListDirectories("*", faDirectory, &list);
  list.Sort();
  for (int i = 0; i < list.Count(); ++i) {
    AParent->SetActive(true);
    const std::string name = list[i].substr(folder);
    TecInterfaceMenuItem* child = NewChild(AParent, parentName, name, "_D", i);
    FMenuItems.push_back(child);
    // A link into the source directory is left out like a folder without
    // units: its target shows at its own place.
    if (FWalk.LeadsIntoTree(listing, name)) continue;
    found = BuildDirectoryMenu(list[i], child, &listing) || found;
  }

  list.Clear();
  listing.ListFiles("*.pas", faAnyFile, &list);
  list.Sort();
  for (int i = 0; i < list.Count(); ++i) {
    AParent->SetActive(true);
    found = true;
    std::string& path = list[i];
    // Sorting leaves the paths' text where the listing put it, in no order:
    // asking for a later one ahead keeps a long folder from waiting on
    // memory at every item.
    if (i + 8 < list.Count()) __builtin_prefetch(list[i + 8].data());
    // The caption is the name without its extension (".pas", any case).
    TecInterfaceMenuItem* child = NewChild(AParent, parentName, path.substr(folder, path.size() - folder - 4), "_F", i);
    child->OnClick = [this](TObject* Sender) { IMIOpenSourceFileClick(Sender); };
    child->SetTag(FFilePaths.Add(std::move(path)));
    child->SetActive(true);
    FMenuItems.push_back(child);
  }

  if (!found && AParent != IMIVantry) AParent->SetActive(false);
  return found;
}

}  // namespace Vantry
