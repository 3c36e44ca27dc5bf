#include "expert/Etk.h"

#include "platform/Registry.h"
#include "platform/Streaming.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>

using namespace Vantry;
using ::testing::ElementsAre;

VANTRY_DESCRIPTION(DescribedModule);

namespace {

std::vector<std::string> Events;

// Has a description whose OnCreate raises when told to.
class TDescribedModule : public TEtkModule {
  VANTRY_CLASS(TDescribedModule)

public:
  explicit TDescribedModule(TComponent* AOwner) : TEtkModule(AOwner) {}
  void DescribedModuleCreate(TObject*) {
    Events.push_back("OnCreate");
    if (FailCreate) throw Exception("the module could not build its menu");
  }
  static inline bool FailCreate = false;
};

const TClassInfo& TDescribedModule::StaticClass() {
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&TDescribedModule::DescribedModuleCreate>("DescribedModuleCreate")};
  static constexpr TClassInfo Info = ClassInfoOf<TDescribedModule, TEtkModule>("TDescribedModule")
                                         .WithMethods(Methods)
                                         .WithDescription(&VantryDescription_DescribedModule);
  return Info;
}

// A module class that forgot its description.
class TUndescribedModule : public TEtkModule {
  VANTRY_CLASS(TUndescribedModule)

public:
  explicit TUndescribedModule(TComponent* AOwner) : TEtkModule(AOwner) {}
};

const TClassInfo& TUndescribedModule::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TUndescribedModule, TEtkModule>("TUndescribedModule");
  return Info;
}

std::string StoredAuthor() {
  TRegistry reg;
  reg.SetRootKey(HKEY_CURRENT_USER);
  if (!reg.OpenKey("\\Software\\Halvorn Software\\Expert Wizard", false) || !reg.ValueExists("Author"))
    return "<none>";
  return reg.ReadString("Author");
}

class EtkModuleTest : public VantryTest::TIsolatedTest {
protected:
  void SetUp() override {
    Events.clear();
    TDescribedModule::FailCreate = false;
  }

  // A bare module: exactly a TEtkModule takes no description.
  TEtkModule* NewModule(TComponent* AOwner = nullptr) { return Track(CreateComponent<TEtkModule>(AOwner)); }
  TEtkModule* Track(TEtkModule* AModule) {
    if (!AModule->Owner()) FModules.push_back(AModule);
    return AModule;
  }
  void Forget(TEtkModule* AModule) { std::erase(FModules, AModule); }

  void TearDown() override {
    for (TEtkModule* m : FModules) m->Free();
  }

  std::vector<TEtkModule*> FModules;
};

TEST_F(EtkModuleTest, ExpertNameMenuTextAndIDStringFollowTheName) {
  TEtkModule* m = NewModule();
  m->SetName("M1");
  EXPECT_EQ(m->ExpertName(), "M1");
  EXPECT_EQ(m->MenuText(), "M1");
  EXPECT_EQ(m->IDString(), "M1");
  m->SetName("M2");
  EXPECT_EQ(m->ExpertName(), "M2");
  EXPECT_EQ(m->MenuText(), "M2");
  EXPECT_EQ(m->IDString(), "M2");

  m->SetExpertName("X");
  m->SetName("M3");
  EXPECT_EQ(m->ExpertName(), "X");
  EXPECT_EQ(m->MenuText(), "M3");
  EXPECT_EQ(m->IDString(), "M3");
}

TEST_F(EtkModuleTest, IDStringFollowsTheAuthorToo) {
  TEtkModule* m = NewModule();
  m->SetName("M1");
  m->SetAuthor("A");
  EXPECT_EQ(m->IDString(), "A.M1");
  m->SetName("M2");
  EXPECT_EQ(m->IDString(), "A.M2");
  m->SetAuthor("B");
  EXPECT_EQ(m->IDString(), "B.M2");
  m->SetAuthor("");
  EXPECT_EQ(m->IDString(), "M2");

  m->SetIDString("Own");
  m->SetName("M3");
  m->SetAuthor("C");
  EXPECT_EQ(m->IDString(), "Own");
}

TEST_F(EtkModuleTest, TheDefaultAuthorIsReadAtConstructionAndWrittenByEverySetAuthor) {
  WriteDefaultAuthor("A");
  TEtkModule* m = NewModule();
  EXPECT_EQ(m->Author(), "A");
  EXPECT_EQ(StoredAuthor(), "A");
  // Unnamed, the derived identifier is "A." and the empty IDString does not follow.
  m->SetName("M1");
  EXPECT_EQ(m->ExpertName(), "M1");
  EXPECT_EQ(m->IDString(), "");

  {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Halvorn Software\\Expert Wizard", false));
    reg.DeleteValue("Author");
  }
  EXPECT_EQ(StoredAuthor(), "<none>");
  m->SetAuthor("A");  // the same value is still written
  EXPECT_EQ(StoredAuthor(), "A");
}

TEST_F(EtkModuleTest, AUserHiveThatCannotBeReadGivesNoDefaultAuthorAndTheModuleIsMade) {
  Temp.WriteFile("registry/user.db", std::string(5000, 'x'));
  TEtkModule* m = nullptr;
  ASSERT_NO_THROW(m = NewModule());
  EXPECT_EQ(m->Author(), "");
}

TEST_F(EtkModuleTest, MenuTextAndStateGoThroughTheirEventsWithoutChangingTheStoredValues) {
  TEtkModule* m = NewModule();
  m->SetName("M1");
  m->OnMenuText = [](TObject*, std::string& ACaption) { ACaption = "&" + ACaption; };
  m->OnMenuState = [](TObject*, TExpertState& AState) { AState.Include(esEnabled); };
  m->SetMenuState({esChecked});
  EXPECT_EQ(m->GetMenuText(), "&M1");
  EXPECT_EQ(m->Expert()->GetMenuText(), "&M1");
  EXPECT_EQ(m->MenuText(), "M1");
  EXPECT_EQ(m->Expert()->GetState(), (TExpertState{esEnabled, esChecked}));
  EXPECT_EQ(m->MenuState(), TExpertState{esChecked});

  // The changed caption is what a rename compares: "&M1" is not "M1".
  m->SetName("M2");
  EXPECT_EQ(m->MenuText(), "M1");
}

TEST_F(EtkModuleTest, TheExpertAnswersFromItsModule) {
  TEtkModule* m = NewModule();
  m->SetName("M1");
  m->SetAuthor("Brask");
  m->SetComment("comment");
  m->SetPage("Page");
  m->SetStyle(esAddIn);
  THelperExpert* e = m->Expert();
  EXPECT_EQ(e->GetName(), "M1");
  EXPECT_EQ(e->GetAuthor(), "Brask");
  EXPECT_EQ(e->GetComment(), "comment");
  EXPECT_EQ(e->GetPage(), "Page");
  EXPECT_EQ(e->GetStyle(), esAddIn);
  EXPECT_EQ(e->GetIDString(), "Brask.M1");
  EXPECT_EQ(e->GetGlyph(), nullptr);

  e->Execute();  // no OnExecute: nothing happens
  TObject* executed = nullptr;
  m->OnExecute = [&](TObject* Sender) { executed = Sender; };
  e->Execute();
  EXPECT_EQ(executed, m);
}

TEST_F(EtkModuleTest, GetGlyphGivesTheIconsHandleAway) {
  TEtkModule* m = NewModule();
  TIcon icon;
  icon.LoadFromData({7, 7});
  m->SetIcon(icon);
  EXPECT_FALSE(icon.Empty());  // the module copied it
  HICON glyph = m->Expert()->GetGlyph();
  ASSERT_NE(glyph, nullptr);
  EXPECT_TRUE(m->Icon()->Empty());
  EXPECT_EQ(m->Expert()->GetGlyph(), nullptr);
  DestroyIcon(glyph);
}

TEST_F(EtkModuleTest, ReleasingTheExpertDestroysTheModuleDetachedFirst) {
  TComponent* owner = CreateComponent<TComponent>(nullptr);
  TEtkModule* m = CreateComponent<TEtkModule>(owner);
  THelperExpert* e = m->Expert();
  new TComponent(m);
  m->OnDestroy = [&](TObject*) {
    Events.push_back("OnDestroy: expert " + std::string(e->Module() ? "attached" : "detached") + ", icon " +
                     (m->Icon() ? "there" : "gone") + ", " + std::to_string(m->ComponentCount()) + " component");
  };
  e->Release();
  EXPECT_THAT(Events, ElementsAre("OnDestroy: expert detached, icon gone, 1 component"));
  EXPECT_EQ(owner->ComponentCount(), 0);
  owner->Free();
}

TEST_F(EtkModuleTest, AModuleDestroyedFirstLeavesItsExpertDetachedAndHarmless) {
  TEtkModule* m = CreateComponent<TEtkModule>(nullptr);
  m->SetName("Gone");
  THelperExpert* e = m->Expert();
  LibraryExpertProc = [](TIExpert*) { return true; };  // a host that takes it
  m->RegisterExpert();
  LibraryExpertProc = nullptr;
  m->Free();
  EXPECT_EQ(e->Module(), nullptr);
  EXPECT_EQ(e->GetName(), "");
  EXPECT_EQ(e->GetMenuText(), "");
  EXPECT_TRUE(e->GetState().Empty());
  e->Execute();
  e->Release();  // destroys nothing more
}

TEST_F(EtkModuleTest, AnExpertTheHostDidNotTakeGoesWithItsModule) {
  TEtkModule* m = CreateComponent<TEtkModule>(nullptr);
  LibraryExpertProc = nullptr;
  m->RegisterExpert();
  m->Free();  // frees the expert too: the sanitizer build reports a leak otherwise
}

TEST_F(EtkModuleTest, AStoredDescriptionNamesTheModuleAndWritesItsAuthor) {
  auto* m = static_cast<TDescribedModule*>(Track(CreateComponent<TDescribedModule>(nullptr)));
  EXPECT_EQ(m->Name(), "DescribedModule");
  EXPECT_EQ(m->ExpertName(), "Described Expert");
  EXPECT_EQ(m->IDString(), "Brask.Described Expert");
  EXPECT_EQ(m->MenuText(), "DescribedModule");
  EXPECT_EQ(m->MenuState(), TExpertState{esChecked});
  EXPECT_EQ(m->Style(), esAddIn);
  EXPECT_EQ(StoredAuthor(), "Brask");
  EXPECT_THAT(Events, ElementsAre("OnCreate"));
}

TEST_F(EtkModuleTest, AnOnCreateExceptionIsReportedAndConstructionCompletes) {
  VantryTest::TRecordedApplication shown;
  TDescribedModule::FailCreate = true;
  TEtkModule* m = Track(CreateComponent<TDescribedModule>(nullptr));
  EXPECT_EQ(m->ExpertName(), "Described Expert");
  EXPECT_THAT(shown.Errors, ElementsAre("the module could not build its menu"));
}

TEST_F(EtkModuleTest, AModuleWithoutDescriptionRaisesEResNotFoundAndIsDestroyed) {
  TComponent* owner = CreateComponent<TComponent>(nullptr);
  try {
    CreateComponent<TUndescribedModule>(owner);
    FAIL() << "no EResNotFound";
  } catch (const EResNotFound& e) {
    EXPECT_THAT(e.Message(), ::testing::HasSubstr("TUndescribedModule"));
  }
  EXPECT_EQ(owner->ComponentCount(), 0);
  owner->Free();
}

}  // namespace
