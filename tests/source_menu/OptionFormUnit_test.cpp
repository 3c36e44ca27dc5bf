#include "source_menu/OptionFormUnit.h"

#include "forms/QtApplication.h"
#include "hostmodel/StandardMenus.h"
#include "platform/Registry.h"
#include "source_menu/ExpertModuleUnit.h"
#include "support/HeadlessModuleTest.h"
#include "support/ModalDriver.h"

#include <QApplication>
#include <QCompleter>
#include <QFileSystemModel>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <functional>

using namespace Vantry;
using ::testing::ElementsAre;

namespace {

constexpr const char* SettingsKey = "\\SOFTWARE\\ORVALLE\\DELPHI EXPERTS\\VANTRY\\";

class OptionsCommandTest : public VantryTest::THeadlessModuleTest<TVantryExpertModule> {
protected:
  void SetUp() override {
    THeadlessModuleTest::SetUp();
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\BORLAND\\DELPHI\\3.0", true));
    reg.WriteString("RootDir", Temp / "Delphi");
  }

  // Runs the Options command; AUser acts on the dialog while it is shown,
  // which is closed afterwards whatever AUser found.
  void RunCommand(std::function<void(TOptionsForm&)> AUser) {
    bool shown = false;
    VantryTest::WhenModal("Vantry::TOptionsForm", [&](QWidget& AForm) {
      shown = true;
      AUser(static_cast<TOptionsForm&>(AForm));
    });
    if (!Module) Module = CreateComponent<TVantryExpertModule>(nullptr);
    Module->IMIConfigurationClick(Module->IMIConfiguration);
    EXPECT_TRUE(shown);
  }

  std::string Stored() {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey(SettingsKey, false) || !reg.ValueExists("Automatic")) return "nothing";
    return IntToStr(reg.ReadInteger("Automatic")) + " '" + reg.ReadString("Path") + "'";
  }

  VantryTest::TRecordedApplication Shown;
};

}  // namespace

TEST_F(OptionsCommandTest, TheDialogIsMadeAsDrawnAndCarriesTheProductsAboutBox) {
  RunCommand([](TOptionsForm& AForm) {
    EXPECT_EQ(AForm.windowTitle(), "Vantry - Options");
    EXPECT_EQ(AForm.size(), QSize(330, 149));
    EXPECT_EQ(AForm.focusWidget(), AForm.BTOK);
    std::vector<std::string> controls;
    for (QWidget* w = AForm.RBAutomatic; controls.size() < 6; w = w->nextInFocusChain()) {
      if (w->focusPolicy() == Qt::NoFocus) continue;
      QRect r = w->geometry();
      controls.push_back(w->objectName().toStdString() + Format(" %d,%d,%d,%d", {r.x(), r.y(), r.width(), r.height()}));
      if (auto* button = qobject_cast<QPushButton*>(w)) {
        EXPECT_FALSE(button->autoDefault() || button->isDefault());
      }
    }
    EXPECT_THAT(controls, ElementsAre("RBAutomatic 5,35,306,17", "RBPath 5,60,301,17", "EDPath 25,85,301,21",
                                      "BTOK 90,115,75,25", "BTCancel 170,115,75,25", "BTAbout 250,115,75,25"));
    EXPECT_EQ(AForm.ovsLabel3D1->geometry(), QRect(5, 0, 321, 26));
    QTest::keyClick(&AForm, Qt::Key_Escape);  // no cancel button: Escape closes nothing
    EXPECT_TRUE(AForm.isVisible());
    // The About box's values come from the stored description (the end-to-end test shows them).
    EXPECT_EQ(AForm.OVS->MailAutomaticMessage(), TStringList{"Vantry Expert for Delphi 3 version 1.0"});
    EXPECT_TRUE(AForm.EDPath->completer());
  });
}

struct TCommandRow {
  const char* Name;
  bool StoreUserFolder;  // else nothing stored: automatic
  bool ShowsPathChosen;
  std::function<void(const std::string& ATemp, TOptionsForm&)> User;
  const char* StoredAfter;  // %s: the test's folder
  std::vector<std::string> Messages;  // %s: the test's folder
  friend void PrintTo(const TCommandRow& ARow, std::ostream* AOut) { *AOut << ARow.Name; }
};

class OptionsCommandRows : public OptionsCommandTest, public ::testing::WithParamInterface<TCommandRow> {};

TEST_P(OptionsCommandRows, ShowsTheStoredChoiceAndStoresOnlyAnAcceptedOne) {
  const TCommandRow& row = GetParam();
  const std::string folder = Temp.MakeDir("My Source") + "/";
  if (row.StoreUserFolder) WriteSettings(false, folder);
  RunCommand([&](TOptionsForm& AForm) {
    EXPECT_EQ(AForm.RBPath->isChecked(), row.ShowsPathChosen);
    EXPECT_EQ(AForm.EDPath->isEnabled(), row.ShowsPathChosen);
    EXPECT_EQ(AForm.EDPath->text().toStdString(), row.ShowsPathChosen ? folder : Temp / "Delphi" + "/Source");
    row.User(Temp.Path().string(), AForm);
  });
  EXPECT_EQ(Stored(), Format(row.StoredAfter, {folder}));
  std::vector<std::string> messages;
  for (const std::string& m : row.Messages) messages.push_back(Format(m, {folder}));
  EXPECT_EQ(Shown.Messages, messages);
}

namespace {
void Click(QAbstractButton* AButton) { QTest::mouseClick(AButton, Qt::LeftButton); }
void Type(TOptionsForm& AForm, const std::string& AText) {
  AForm.EDPath->clear();
  QTest::keyClicks(AForm.EDPath, QString::fromStdString(AText));
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Choices, OptionsCommandRows,
    ::testing::Values(
        TCommandRow{"AutomaticOkStoresOneAndASpace", true, true,
                    [](auto&, TOptionsForm& F) {
                      Click(F.RBAutomatic);
                      EXPECT_FALSE(F.EDPath->isEnabled());
                      const QString before = F.EDPath->text();
                      QTest::keyClicks(F.EDPath, "/nowhere");  // no typing while disabled, and no check
                      EXPECT_EQ(F.EDPath->text(), before);
                      Click(F.BTOK);
                    },
                    "1 ' '", {}},
        TCommandRow{"MissingFolderSaysSoAndStaysThenExistingOneIsStoredAsTyped", false, false,
                    [](const std::string& T, TOptionsForm& F) {
                      Click(F.RBPath);
                      EXPECT_TRUE(F.EDPath->isEnabled());
                      EXPECT_EQ(F.EDPath->text().toStdString(), T + "/Delphi/Source");
                      for (std::string text : {std::string(""), T + "/My Source/ "}) {
                        Type(F, text);
                        Click(F.BTOK);
                        EXPECT_TRUE(F.isVisible());
                      }
                      const QRect frame = F.geometry();
                      Type(F, T + "/My Source/");
                      QTest::qWait(50);  // the completer may show its list
                      EXPECT_EQ(F.geometry(), frame);
                      Click(F.BTOK);
                    },
                    "0 '%s'", {"Directory '' does not exist.", "Directory '%s ' does not exist."}},
        TCommandRow{"CancelStoresNothing", true, true, [](auto&, TOptionsForm& F) { Click(F.BTCancel); },
                    "0 '%s'", {}},
        // No default button, yet Enter presses the focused one, as Space does.
        TCommandRow{"EnterOnTheFocusedOkStores", false, false,
                    [](auto&, TOptionsForm& F) { QTest::keyClick(F.focusWidget(), Qt::Key_Return); }, "1 ' '", {}},
        TCommandRow{"EnterOnTheFocusedCancelStoresNothing", true, true,
                    [](auto&, TOptionsForm& F) {
                      F.BTCancel->setFocus();
                      QTest::keyClick(F.BTCancel, Qt::Key_Enter);
                    },
                    "0 '%s'", {}},
        TCommandRow{"SpaceOnTheFocusedOkStores", false, false,
                    [](auto&, TOptionsForm& F) { QTest::keyClick(F.BTOK, Qt::Key_Space); }, "1 ' '", {}},
        TCommandRow{"CloseBoxStoresNothing", false, false, [](auto&, TOptionsForm& F) { F.close(); }, "nothing",
                    {}}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

// Folder names are bytes: one that is not UTF-8 goes through the dialog and
// back as it was stored, and completes like any other.
TEST_F(OptionsCommandTest, AFolderNameThatIsNotUtf8IsKeptByteForByte) {
  const std::string folder = Temp.MakeDir("caf\xE9 \xFF") + "/";
  Temp.MakeDir("caf\xE9 \xFF/R\xE9sum\xE9");
  WriteSettings(false, folder);
  RunCommand([&](TOptionsForm& AForm) {
    EXPECT_EQ(TextToPath(AForm.EDPath->text()), folder);
    QTest::keyClicks(AForm.EDPath, "R");  // completes from the folder typed
    QStringList offered;
    QAbstractItemModel* model = AForm.EDPath->completer()->completionModel();
    for (int i = 0; i < model->rowCount(); ++i) offered << model->index(i, 0).data().toString();
    EXPECT_EQ(offered, QStringList{PathToText(folder + "R\xE9sum\xE9/")});
    AForm.EDPath->setText(PathToText(folder));
    Click(AForm.BTOK);
  });
  EXPECT_TRUE(Shown.Messages.empty()) << Shown.Messages.front();
  EXPECT_EQ(Stored(), "0 '" + folder + "'");
}

// Completion lists the one folder typed, at the keystroke: no model that
// watches the file system, no thread that closing the dialog would wait for.
TEST_F(OptionsCommandTest, CompletionLeavesNothingThatClosingWaitsFor) {
  Temp.MakeDir("Delphi");
  auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  const auto before = threads();
  RunCommand([&](TOptionsForm& AForm) {
    Click(AForm.RBPath);
    AForm.EDPath->clear();
    QTest::keyClicks(AForm.EDPath, QString::fromStdString(Temp / "De"));
    EXPECT_TRUE(AForm.findChildren<QFileSystemModel*>().isEmpty());
    EXPECT_EQ(AForm.EDPath->completer()->completionModel()->index(0, 0).data().toString().toStdString(),
              Temp / "Delphi/");
    EXPECT_EQ(threads(), before);
  });
}

// A folder of more folders than are offered offers the first in order and
// says that the list is cut; typing more of a name narrows it to all that match.
TEST_F(OptionsCommandTest, ABigFolderOffersItsFirstFoldersInOrderAndSaysTheListIsCut) {
  for (int i = 0; i < 2100; ++i) Temp.MakeDir("Many/d" + std::to_string(10000 + i));
  RunCommand([&](TOptionsForm& AForm) {
    Click(AForm.RBPath);
    AForm.EDPath->clear();
    auto offered = [&] {
      QStringList names;
      QAbstractItemModel* model = AForm.EDPath->completer()->completionModel();
      for (int i = 0; i < model->rowCount(); ++i) names << model->index(i, 0).data().toString().section('/', -2, -2);
      return names;
    };
    QTest::keyClicks(AForm.EDPath, QString::fromStdString(Temp / "Many/d"));
    const QStringList first = offered();
    ASSERT_EQ(first.size(), 2000);
    EXPECT_EQ(first.front(), "d10000");
    EXPECT_EQ(first.back(), "d11999");
    EXPECT_THAT(AForm.EDPath->toolTip().toStdString(), ::testing::HasSubstr("2000 of the 2100 folders"));
    QTest::keyClicks(AForm.EDPath, "120");
    EXPECT_EQ(offered().size(), 100);
    EXPECT_EQ(offered().back(), "d12099");
    EXPECT_EQ(AForm.EDPath->toolTip(), "");
  });
}

// In automatic mode a folder that cannot be shown is marked beside the box,
// and the mark says why, as the menu does; a folder of one's own is not.
TEST_F(OptionsCommandTest, TheAutomaticFolderSaysWhyItCannotBeShown) {
  for (bool exists : {false, true}) {
    if (exists) Temp.MakeDir("Delphi/Source");
    RunCommand([&](TOptionsForm& AForm) {
      auto* mark = AForm.findChild<QLabel*>("FolderProblem");
      ASSERT_NE(mark, nullptr);
      EXPECT_EQ(mark->isVisible(), !exists);
      EXPECT_EQ(mark->toolTip().toStdString(), exists ? "" : "Source folder not found: " + Temp / "Delphi/Source");
      Click(AForm.RBPath);
      EXPECT_FALSE(mark->isVisible());
    });
  }
}

TEST_F(OptionsCommandTest, AChoiceThatCannotBeSavedIsReportedWithTheReason) {
  RunCommand([&](TOptionsForm& AForm) {
    std::ofstream(RegistryDir + "/machine.db", std::ios::trunc) << "not a registry";
    Click(AForm.BTOK);
  });
  ASSERT_EQ(Shown.Errors.size(), 1u);
  EXPECT_THAT(Shown.Errors[0], ::testing::StartsWith("The choice of the source folder was not saved: "));
  EXPECT_THAT(Shown.Errors[0], ::testing::HasSubstr("machine.db"));  // why: the hive that failed
}

TEST_F(OptionsCommandTest, AWrongTypedStoredValueLeavesTheCommandAndNoDialogBehind) {
  {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(SettingsKey, true));
    reg.WriteString("Automatic", "yes");
    reg.WriteString("Path", "x");
  }
  Module = CreateComponent<TVantryExpertModule>(nullptr);  // its own read fails and is reported
  EXPECT_THROW(Module->IMIConfigurationClick(nullptr), ERegistryException);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(dynamic_cast<TOptionsForm*>(w));
}
