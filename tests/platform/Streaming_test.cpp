#include "platform/Streaming.h"

#include "platform/Graphics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>


using namespace Vantry;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::vector<std::string> Log;

enum TTestColor { tcRed, tcGreen, tcBlue };
enum TTestOption { toBold, toItalic, toUnderline };
using TTestOptions = TSet<TTestOption>;

class TTestItem : public TComponent {
  VANTRY_CLASS(TTestItem)

public:
  explicit TTestItem(TComponent* AOwner) : TComponent(AOwner) {}
  void SetName(const std::string& AName) override {
    Log.push_back("SetName " + AName);
    TComponent::SetName(AName);
  }
  void SetCaption(const std::string& AValue) {
    Log.push_back(Name() + ".Caption");
    Caption = AValue;
  }
  void SetCount(int AValue) {
    Log.push_back(Name() + ".Count");
    Count = AValue;
  }
  void SetPicture(const TIcon& AValue) { Picture.Assign(AValue); }
  void Loaded() override {
    Log.push_back("Loaded " + Name());
    TComponent::Loaded();
  }

  std::string Caption;
  int Count = 0;
  bool Flag = false;
  TTestColor Color = tcRed;
  TTestOptions Options{toItalic};
  TStringList Lines;
  uint8_t Small = 0;
  TIcon Picture;
  TNotifyEvent OnClick;
};

constexpr std::string_view ColorNames[] = {"tcRed", "tcGreen", "tcBlue"};
constexpr std::string_view OptionNames[] = {"toBold", "toItalic", "toUnderline"};

const TClassInfo& TTestItem::StaticClass() {
  static constexpr TPropInfo Properties[] = {
      Published::String<&TTestItem::SetCaption>("Caption"),
      Published::Integer<&TTestItem::SetCount>("Count"),
      Published::Boolean<&TTestItem::Flag>("Flag"),
      Published::Enumeration<&TTestItem::Color>("Color", ColorNames),
      Published::Set<&TTestItem::Options>("Options", OptionNames),
      Published::Strings<&TTestItem::Lines>("Lines"),
      Published::Integer<&TTestItem::Small>("Small"),
      Published::Graphic<&TTestItem::SetPicture>("Picture"),
      Published::Event<&TTestItem::OnClick>("OnClick"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<TTestItem, TComponent>("TTestItem").WithProperties(Properties);
  return Info;
}

class TTestModule : public TDataModule {
  VANTRY_CLASS(TTestModule)

public:
  explicit TTestModule(TComponent* AOwner) : TDataModule(AOwner) {}
  void Loaded() override {
    Log.push_back("Loaded module " + Name());
    TDataModule::Loaded();
  }
  void ModuleCreate(TObject*) { Log.push_back("OnCreate"); }
  void ItemClick(TObject* Sender) { Clicked = Sender; }
  void CountChanged(TObject*, int&) {}

  TTestItem* First = nullptr;
  TTestItem* Second = nullptr;
  std::string Title;
  TObject* Clicked = nullptr;
};

}  // namespace

VANTRY_DESCRIPTION(SampleModule);
VANTRY_DESCRIPTION(DerivedModule);

namespace {

// The text of TScratchModule's description, which each test writes itself.
TDescriptionData ScratchDescription{"Scratch.dfm", nullptr, 0};

const TClassInfo& TTestModule::StaticClass() {
  static constexpr TPropInfo Properties[] = {Published::String<&TTestModule::Title>("Title")};
  static constexpr TMethodInfo Methods[] = {
      Published::Method<&TTestModule::ModuleCreate>("ModuleCreate"),
      Published::Method<&TTestModule::ItemClick>("ItemClick"),
      Published::Method<&TTestModule::CountChanged>("CountChanged"),
  };
  static constexpr TFieldInfo Fields[] = {
      Published::Field<&TTestModule::First>("First"),
      Published::Field<&TTestModule::Second>("Second"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<TTestModule, TDataModule>("TTestModule")
                                         .WithProperties(Properties)
                                         .WithMethods(Methods)
                                         .WithFields(Fields);
  return Info;
}

// TTestModule's tables with the description SampleModule.dfm.
class TSampleModule : public TTestModule {
  VANTRY_CLASS(TSampleModule)

public:
  using TTestModule::TTestModule;
};

const TClassInfo& TSampleModule::StaticClass() {
  static constexpr TClassInfo Info =
      ClassInfoOf<TSampleModule, TTestModule>("TSampleModule").WithDescription(&VantryDescription_SampleModule);
  return Info;
}

class TDerivedModule : public TSampleModule {
  VANTRY_CLASS(TDerivedModule)

public:
  using TSampleModule::TSampleModule;
};

const TClassInfo& TDerivedModule::StaticClass() {
  static constexpr TClassInfo Info =
      ClassInfoOf<TDerivedModule, TSampleModule>("TDerivedModule").WithDescription(&VantryDescription_DerivedModule);
  return Info;
}

// TTestModule's tables with a description each test writes itself.
class TScratchModule : public TTestModule {
  VANTRY_CLASS(TScratchModule)

public:
  using TTestModule::TTestModule;
};

const TClassInfo& TScratchModule::StaticClass() {
  static constexpr TClassInfo Info =
      ClassInfoOf<TScratchModule, TTestModule>("TScratchModule").WithDescription(&ScratchDescription);
  return Info;
}

// Has neither a description of its own nor an ancestor with one.
class TUndescribedModule : public TDataModule {
  VANTRY_CLASS(TUndescribedModule)

public:
  using TDataModule::TDataModule;
};

const TClassInfo& TUndescribedModule::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TUndescribedModule, TDataModule>("TUndescribedModule");
  return Info;
}

// Registered, but not what a TTestModule's fields hold.
class TOtherItem : public TComponent {
  VANTRY_CLASS(TOtherItem)

public:
  explicit TOtherItem(TComponent* AOwner) : TComponent(AOwner) {}
};

const TClassInfo& TOtherItem::StaticClass() {
  static constexpr TClassInfo Info = ClassInfoOf<TOtherItem, TComponent>("TOtherItem");
  return Info;
}

// TTestItem needs no registration: TTestModule's fields name its class.
VANTRY_REGISTER_CLASS(TOtherItem);
VANTRY_REGISTER_CLASS(TScratchModule);  // so that a description can hold one

struct TFreeComponent {
  void operator()(TComponent* C) const { C->Free(); }
};
template <class T>
using TOwned = std::unique_ptr<T, TFreeComponent>;

class StreamingTest : public ::testing::Test {
protected:
  void SetUp() override { Log.clear(); }

  // Makes TScratchModule's description the given module body.
  void Describe(const std::string& AFile, const std::string& ABody, const std::string& AHeader =
                                                                         "object Scratch: TScratchModule\n") {
    FText = AHeader + ABody + "end\n";
    FFile = AFile;
    ScratchDescription = {FFile.c_str(), reinterpret_cast<const unsigned char*>(FText.data()), FText.size()};
  }

  std::string FText, FFile;
};

TEST_F(StreamingTest, AppliesEveryKindOfValueAndCreatesOwnedChildren) {
  TOwned<TSampleModule> module(CreateComponent<TSampleModule>(nullptr));
  EXPECT_EQ(module->Name(), "SampleModule");
  EXPECT_EQ(module->Title, "Tests module");
  EXPECT_EQ(module->Tag(), 7);
  ASSERT_EQ(module->ComponentCount(), 2);
  ASSERT_EQ(module->First, module->Components(0));
  ASSERT_EQ(module->Second, module->Components(1));

  const TTestItem& first = *module->First;
  EXPECT_EQ(first.Caption, "It's first");
  EXPECT_EQ(first.Count, -12);
  EXPECT_TRUE(first.Flag);
  EXPECT_EQ(first.Color, tcBlue);
  EXPECT_EQ(first.Options, (TTestOptions{toBold, toUnderline}));
  EXPECT_EQ(first.Lines, (TStringList{"one", "two"}));
  ASSERT_FALSE(first.Picture.Empty());
  EXPECT_EQ(first.Picture.Handle()->Data, (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0x2A}));
  EXPECT_TRUE(module->Second->Picture.Empty());
  EXPECT_EQ(module->Second->Count, 16);
  EXPECT_TRUE(module->Second->Options.Empty());
  EXPECT_EQ(module->Second->Color, tcRed);  // what a description leaves out keeps its value
}

TEST_F(StreamingTest, SetsInStreamOrderThenLoadsEverythingThenRunsOnCreate) {
  TOwned<TSampleModule> module(CreateComponent<TSampleModule>(nullptr));
  EXPECT_THAT(Log, ElementsAre("SetName First", "First.Caption", "First.Count", "SetName Second", "Second.Caption",
                               "Second.Count", "Loaded module SampleModule", "Loaded First", "Loaded Second",
                               "OnCreate"));
  EXPECT_FALSE(module->ComponentState().Contains(csLoading));
  EXPECT_FALSE(module->First->ComponentState().Contains(csLoading));
}

TEST_F(StreamingTest, EventsAreBoundToTheRootsMethods) {
  TOwned<TSampleModule> module(CreateComponent<TSampleModule>(nullptr));
  ASSERT_TRUE(module->First->OnClick);
  EXPECT_FALSE(module->Second->OnClick);
  module->First->OnClick(module->First);
  EXPECT_EQ(module->Clicked, module->First);
}

TEST_F(StreamingTest, AncestorDescriptionsComeFirstAndInheritedChildrenAreReused) {
  TOwned<TDerivedModule> module(CreateComponent<TDerivedModule>(nullptr));
  EXPECT_EQ(module->Title, "Derived");
  ASSERT_EQ(module->ComponentCount(), 3);
  EXPECT_EQ(module->First->Caption, "Changed by the derived class");
  EXPECT_EQ(module->First->Count, -12);
  EXPECT_EQ(static_cast<TTestItem*>(module->FindComponent("Third"))->Caption, "Third");
  // Each component is loaded once, after both descriptions were read.
  EXPECT_THAT(std::vector<std::string>(Log.end() - 5, Log.end()),
              ElementsAre("Loaded module SampleModule", "Loaded First", "Loaded Second", "Loaded Third", "OnCreate"));
}

TEST_F(StreamingTest, FreeingAChildClearsTheFieldThatNamedIt) {
  TOwned<TSampleModule> module(CreateComponent<TSampleModule>(nullptr));
  module->Second->Free();
  EXPECT_EQ(module->Second, nullptr);
  EXPECT_NE(module->First, nullptr);
}

TEST_F(StreamingTest, AClassWithoutAnyDescriptionRaisesEResNotFound) {
  try {
    CreateComponent<TUndescribedModule>(nullptr);
    FAIL() << "no EResNotFound";
  } catch (const EResNotFound& e) {
    EXPECT_THAT(e.Message(), HasSubstr("TUndescribedModule"));
  }
}

// 100,000 objects, each inside the one before.
const std::string DeeplyNested = [] {
  std::string body;
  for (int i = 0; i < 100000; ++i) body += "object A" + std::to_string(i) + ": TOtherItem\n";
  for (int i = 0; i < 100000; ++i) body += "end\n";
  return body;
}();

struct TBadRow {
  const char* Name;
  const char* Body;
  int Line;
  const char* Offender;
  friend void PrintTo(const TBadRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class BadDescriptionTest : public StreamingTest, public ::testing::WithParamInterface<TBadRow> {};

TEST_P(BadDescriptionTest, RaisesNamingFileLineAndOffenderAndLoadsNothing) {
  const TBadRow& row = GetParam();
  Describe("Scratch.dfm", row.Body);
  try {
    CreateComponent<TScratchModule>(nullptr);
    FAIL() << "the description was accepted";
  } catch (const EReadError& e) {
    EXPECT_THAT(e.Message(), AllOf(HasSubstr("Scratch.dfm"), HasSubstr("line " + std::to_string(row.Line)),
                                   HasSubstr(row.Offender)));
  }
  for (const std::string& entry : Log) EXPECT_THAT(entry, ::testing::Not(HasSubstr("Loaded")));
  EXPECT_THAT(Log, ::testing::Not(::testing::Contains("OnCreate")));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadDescriptionTest,
    ::testing::Values(
        TBadRow{"UnknownClass", "  object A: TNoSuchClass\n  end\n", 2, "TNoSuchClass"},
        TBadRow{"UnknownProperty", "  object A: TTestItem\n    Captoin = 'x'\n  end\n", 3, "Captoin"},
        TBadRow{"UnknownEnumValue", "  object A: TTestItem\n    Color = tcPink\n  end\n", 3, "tcPink"},
        TBadRow{"UnknownSetElement", "  object A: TTestItem\n    Options = [toBold, toStrike]\n  end\n", 3, "toStrike"},
        TBadRow{"UnknownMethod", "  object A: TTestItem\n    OnClick = NoSuchMethod\n  end\n", 3, "NoSuchMethod"},
        TBadRow{"MethodWithOtherParameters", "  object A: TTestItem\n    OnClick = CountChanged\n  end\n", 3, "OnClick"},
        TBadRow{"StringForInteger", "  object A: TTestItem\n    Count = '12'\n  end\n", 3, "Count"},
        TBadRow{"IntegerOutOfRange", "  object A: TTestItem\n    Small = 300\n  end\n", 3, "Small"},
        TBadRow{"NotABoolean", "  object A: TTestItem\n    Flag = Maybe\n  end\n", 3, "Flag"},
        TBadRow{"FieldOfAnotherClass", "  object First: TOtherItem\n  end\n", 2, "First"},
        TBadRow{"DuplicateName", "  object A: TTestItem\n  end\n  object a: TTestItem\n  end\n", 4, "a"},
        TBadRow{"InheritedMissing", "  Tag = 1\n  inherited Missing: TTestItem\n  end\n", 3, "Missing"},
        TBadRow{"UnterminatedString", "  Title = 'open\n", 2, "unterminated"},
        TBadRow{"MissingEquals", "  Title 'x'\n", 2, "'x'"},
        TBadRow{"MissingEnd", "  object A: TTestItem\n", 4, "Scratch"},
        TBadRow{"StrayCharacter", "  Title = @\n", 2, "@"},
        TBadRow{"OddHexDigits", "  object A: TTestItem\n    Picture = {89504E4\n  }\n  end\n", 4, "odd number"},
        TBadRow{"NotHexDigits", "  object A: TTestItem\n    Picture = {89 5G}\n  end\n", 3, "'G'"},
        TBadRow{"NoImageData", "  object A: TTestItem\n    Picture = {0102030405}\n  end\n", 3, "PNG or ICO"},
        TBadRow{"NestedTooDeep", DeeplyNested.c_str(), 257, "nested deeper than 256"},
        TBadRow{"IncludesItself", "  object Inner: TScratchModule\n  end\n", 2, "includes itself"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(StreamingTest, ASyntaxErrorChangesNothing) {
  Describe("Broken.dfm", "  Title = 'set'\n  object A: TTestItem\n    Caption = \n  end\n");
  EXPECT_THROW(CreateComponent<TScratchModule>(nullptr), EReadError);
  EXPECT_TRUE(Log.empty());
}

TEST_F(StreamingTest, ADescriptionMustBeOfItsOwnClass) {
  Describe("Other.dfm", "", "object Scratch: TSampleModule\n");
  try {
    CreateComponent<TScratchModule>(nullptr);
    FAIL() << "a description of another class was applied";
  } catch (const EReadError& e) {
    EXPECT_THAT(e.Message(), AllOf(HasSubstr("Other.dfm, line 1"), HasSubstr("TSampleModule")));
  }
}

}  // namespace
