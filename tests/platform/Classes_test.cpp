#include "platform/Classes.h"
#include "platform/Graphics.h"
#include "support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

using namespace Vantry;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::vector<std::string> Log;

// Records its own destruction so tests can see the order.
class TTracked : public TComponent {
public:
  TTracked(TComponent* AOwner, std::string ALabel) : TComponent(AOwner), FLabel(std::move(ALabel)) {}
  ~TTracked() override { Log.push_back("free " + FLabel); }

private:
  std::string FLabel;
};

// Frees a root component when a test ends, whatever happens.
struct TFreeComponent {
  void operator()(TComponent* C) const { C->Free(); }
};
using TRoot = std::unique_ptr<TComponent, TFreeComponent>;

class ClassesTest : public ::testing::Test {
protected:
  void SetUp() override { Log.clear(); }
};

TEST_F(ClassesTest, OwnerKeepsComponentsInCreationOrderAndFreesThemLastFirst) {
  auto* owner = new TTracked(nullptr, "owner");
  auto* a = new TTracked(owner, "a");
  auto* b = new TTracked(owner, "b");
  new TTracked(b, "b1");
  auto* c = new TTracked(owner, "c");
  ASSERT_EQ(owner->ComponentCount(), 3);
  EXPECT_EQ(owner->Components(0), a);
  EXPECT_EQ(owner->Components(2), c);
  EXPECT_EQ(c->Owner(), owner);
  EXPECT_THROW(owner->Components(3), EListError);

  owner->Free();
  EXPECT_THAT(Log, ElementsAre("free owner", "free c", "free b", "free b1", "free a"));
}

TEST_F(ClassesTest, FreeingAComponentTakesItOutOfItsOwner) {
  TRoot owner(new TComponent(nullptr));
  auto* a = new TTracked(owner.get(), "a");
  auto* b = new TTracked(owner.get(), "b");
  a->SetName("First");
  a->Free();
  ASSERT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), b);
  EXPECT_EQ(owner->FindComponent("First"), nullptr);
}

TEST_F(ClassesTest, NamesAreIdentifiersUniqueAmongSiblingsIgnoringCase) {
  TRoot owner(new TComponent(nullptr));
  auto* a = new TComponent(owner.get());
  auto* b = new TComponent(owner.get());
  a->SetName("IMIVantry");
  EXPECT_EQ(owner->FindComponent("imivantry"), a);

  try {
    b->SetName("IMIVANTRY");
    FAIL() << "a duplicate name was accepted";
  } catch (const EComponentError& e) {
    EXPECT_THAT(e.Message(), HasSubstr("IMIVANTRY"));
  }
  EXPECT_EQ(b->Name(), "");
  EXPECT_THROW(b->SetName("1st"), EComponentError);
  EXPECT_THROW(b->SetName("has space"), EComponentError);

  a->SetName("ImiVantry");  // a new case of its own name is no clash
  EXPECT_EQ(a->Name(), "ImiVantry");
  b->SetName("Other");
  a->SetName("");
  new TComponent(owner.get());  // several unnamed components are fine
  EXPECT_EQ(owner->FindComponent("ImiVantry"), nullptr);
  EXPECT_EQ(owner->FindComponent(""), nullptr);
  EXPECT_EQ(owner->FindComponent("other"), b);
}

TEST_F(ClassesTest, ComponentsWithoutOwnerMayShareNames) {
  TRoot a(new TComponent(nullptr)), b(new TComponent(nullptr));
  a->SetName("Same");
  EXPECT_NO_THROW(b->SetName("Same"));
}

TEST_F(ClassesTest, DesigningAndLoadingState) {
  TRoot c(new TComponent(nullptr));
  EXPECT_TRUE(c->ComponentState().Empty());
  c->SetDesigning(true);
  EXPECT_TRUE(c->ComponentState().Contains(csDesigning));
  auto* child = new TComponent(c.get());  // put on a component being designed
  EXPECT_TRUE(child->ComponentState().Contains(csDesigning));
  c->SetDesigning(false);
  EXPECT_FALSE(c->ComponentState().Contains(csDesigning));
}

class TLoggingModule : public TDataModule {
public:
  using TDataModule::TDataModule;
  void Fire() { DoCreate(); }
};

TEST_F(ClassesTest, DataModuleRunsOnDestroyBeforeItsComponentsGo) {
  auto* module = new TLoggingModule(nullptr);
  new TTracked(module, "child");
  module->OnDestroy = [&](TObject* Sender) {
    EXPECT_EQ(Sender, module);
    Log.push_back("OnDestroy with " + std::to_string(module->ComponentCount()) + " component(s)");
  };
  module->Free();
  EXPECT_THAT(Log, ElementsAre("OnDestroy with 1 component(s)", "free child"));
}

TEST_F(ClassesTest, ExceptionsFromModuleEventsGoToTheApplicationHandler) {
  VantryTest::TRecordedApplication shown;
  auto* module = new TLoggingModule(nullptr);
  module->OnCreate = [](TObject*) { throw Exception("create failed"); };
  module->OnDestroy = [](TObject*) { throw Exception("destroy failed"); };
  module->Fire();
  module->Free();
  EXPECT_THAT(shown.Errors, ElementsAre("create failed", "destroy failed"));
}

TEST(StringListTest, AddIndexAssignAndBounds) {
  TStringList list;
  EXPECT_EQ(list.Add("one"), 0);
  EXPECT_EQ(list.Add("two"), 1);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list[1], "two");
  EXPECT_EQ(list.IndexOf("two"), 1);
  EXPECT_EQ(list.IndexOf("TWO"), -1);
  EXPECT_THROW(list[2], EListError);
  EXPECT_THROW(list[-1], EListError);

  TStringList copy;
  copy.Assign(list);
  list[0] = "changed";
  EXPECT_EQ(copy[0], "one");
  list.Delete(0);
  list.Insert(1, "three");
  EXPECT_EQ(list.Text(), "two\nthree\n");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

struct TCollationRow {
  const char* Locale;
  std::vector<std::string> Sorted;
  friend void PrintTo(const TCollationRow& ARow, std::ostream* AOut) { *AOut << ARow.Locale; }
};

class StringListSortTest : public ::testing::TestWithParam<TCollationRow> {};

// The same names, shuffled, in the order each collation gives them ignoring
// case. A name that is not UTF-8 ("bad\xFFname", "\xFF\xFE.pas") takes its
// place by the part that can be read, where glibc's own collation (and so
// ls) puts it; C and C.UTF-8 compare bytes. Case twins (Apfel, apfel) go by
// their bytes in all.
TEST_P(StringListSortTest, FollowsTheCollationIgnoringCase) {
  VantryTest::TScopedCollation collation(GetParam().Locale);
  ASSERT_EQ(collation.Error(), "");
  const std::vector<std::string>& sorted = GetParam().Sorted;
  for (unsigned seed : {1u, 2u, 3u}) {
    std::vector<std::string> names(sorted.rbegin(), sorted.rend());
    std::rotate(names.begin(), names.begin() + seed * 4 % names.size(), names.end());
    TStringList list;
    for (const std::string& n : names) list.Add(n);
    list.Sort();
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), sorted) << "rotation " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Locales, StringListSortTest,
    ::testing::Values(
        TCollationRow{"C",
                      {"_under", "Alpha", "Apfel", "apfel", "b10", "b2", "back\\slash", "bad\xFFname", "beta", "gtk-x",
                       "gtk_demo", "gtkglext", "sdl_gfx", "sdlutils", "ua", "zebra", "Zeta", "\xC3\x84pfel",
                       "\xC3\x89mile", "\xC3\x9C" "berblick", "\xC3\xA4pfel", "\xC3\xA9lan", "\xC3\xBC" "ber",
                       "\xFF\xFE.pas"}},
        // Accented capitals fold as the locale folds them: beside their
        // lower-case neighbours, not before every lower-case accented name.
        TCollationRow{"C.UTF-8",
                      {"_under", "Alpha", "Apfel", "apfel", "b10", "b2", "back\\slash", "bad\xFFname", "beta", "gtk-x",
                       "gtk_demo", "gtkglext", "sdl_gfx", "sdlutils", "ua", "zebra", "Zeta", "\xC3\x84pfel",
                       "\xC3\xA4pfel", "\xC3\xA9lan", "\xC3\x89mile", "\xC3\xBC" "ber", "\xC3\x9C" "berblick",
                       "\xFF\xFE.pas"}},
        TCollationRow{"de_DE.UTF-8",
                      {"Alpha", "Apfel", "apfel", "\xC3\x84pfel", "\xC3\xA4pfel", "b10", "b2", "back\\slash",
                       "bad\xFFname", "beta", "\xC3\xA9lan", "\xC3\x89mile", "gtk_demo", "gtkglext", "gtk-x",
                       "\xFF\xFE.pas", "sdl_gfx", "sdlutils", "ua", "\xC3\xBC" "ber", "\xC3\x9C" "berblick", "_under",
                       "zebra", "Zeta"}}),
    [](const auto& info) {
      std::string locale = info.param.Locale;
      return locale == "C" ? std::string("C") : locale == "C.UTF-8" ? std::string("CUtf8") : std::string("German");
    });

struct TSortPathRow {
  const char* Name;
  const char* Locale;
  bool Long;  // enough names under one folder for the sort by heads
  friend void PrintTo(const TSortPathRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class StringListSortPathTest : public ::testing::TestWithParam<TSortPathRow> {};

// Sort takes shortcuts (the part every key shares, eight bytes at a time,
// heads sorted a byte at a time in long lists); it must give the order the
// plain comparison of two names gives. The names differ just before, at and
// after the eighth byte past what they share, are case twins, prefixes of
// one another, accented, not UTF-8 or not text at all.
TEST_P(StringListSortPathTest, GivesTheOrderOfThePairwiseComparison) {
  VantryTest::TScopedCollation collation(GetParam().Locale);
  ASSERT_EQ(collation.Error(), "");
  using namespace std::string_literals;
  const std::vector<std::string> stems{
      "", "a", "A", "ab", "aB", "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh1", "abcdefgh2", "ABCDEFGH2", "b10",
      "b2", "_under", "gtk-x", "gtk_demo", "Zeta", "zeta", "\xC3\xA4pfel", "\xC3\x84pfel", "\xC3\xA9lan",
      "bad\xFFname", "\xFF\xFE", "nul\0a"s, "nul\0b"s, "NUL\0a"s};
  const std::vector<std::string> endings{"", ".pas", ".PAS", "1", "10", "2", "~", "\xC3\xA9", "xxxxxxxx1", "xxxxxxxx2",
                                         "-", " "};
  std::vector<std::string> names;
  if (GetParam().Long) {
    for (const std::string& stem : stems)
      for (const std::string& ending : endings) names.push_back("fpc/rtl/objpas/" + stem + ending);
  } else {
    names = stems;
  }
  std::shuffle(names.begin(), names.end(), std::mt19937(7));
  TStringList list;
  for (const std::string& n : names) list.Add(n);
  std::sort(names.begin(), names.end(),
            [&](const std::string& A, const std::string& B) { return list.CompareStrings(A, B) < 0; });
  list.Sort();
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), names);
}

INSTANTIATE_TEST_SUITE_P(Locales, StringListSortPathTest,
                         ::testing::Values(TSortPathRow{"C", "C", false}, TSortPathRow{"CLong", "C", true},
                                           TSortPathRow{"CUtf8", "C.UTF-8", false},
                                           TSortPathRow{"CUtf8Long", "C.UTF-8", true},
                                           TSortPathRow{"German", "de_DE.UTF-8", false},
                                           TSortPathRow{"GermanLong", "de_DE.UTF-8", true}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(IconTest, EmptyByDefaultAndGivesItsHandleAway) {
  TIcon icon;
  EXPECT_TRUE(icon.Empty());
  EXPECT_EQ(icon.ReleaseHandle(), nullptr);
  icon.LoadFromData({1, 2, 3});
  TIcon copy;
  copy.Assign(icon);
  HICON handle = icon.ReleaseHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(icon.Empty());
  EXPECT_EQ(handle->Data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_NE(copy.Handle(), handle);  // the copy has an image of its own
  DestroyIcon(handle);
}

}  // namespace
