// The whole product as a user meets it: the real IDE with the real Vantry
// library, on the offscreen platform, with a registry and source trees of the
// test's own.

#include "AddInLoader.h"
#include "HostWindow.h"
#include "platform/Registry.h"

#include "support/ModalDriver.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace Vantry;

namespace {

constexpr const char* SettingsKey = "\\SOFTWARE\\ORVALLE\\DELPHI EXPERTS\\VANTRY\\";

// The IDE with Vantry loaded; freeing it unloads the add-in, as quitting does.
struct TIde {
  THostWindow Window;
  TAddInLoader Loader{Window.ToolServices(), nullptr};
  TIde() {
    Window.show();
    EXPECT_TRUE(Loader.Load(VANTRY_ADDIN));
  }
  ~TIde() { Loader.Unload(); }
  std::string Caption(const char* AName) {
    THostMenuNode* node = Window.Menu().Find(AName);
    return node ? node->Caption : "(none)";
  }
  // Opens the menus on the way down, as a user would, since a menu's actions
  // are made when it first shows; then chooses the item.
  void Click(const char* AName) {
    THostMenuNode* node = Window.Menu().Find(AName);
    std::vector<THostMenuNode*> path;
    for (THostMenuNode* n = node->Parent; n && n != &Window.Menu().Root(); n = n->Parent) path.insert(path.begin(), n);
    for (THostMenuNode* n : path) emit Window.MenuView().MenuOf(*n)->aboutToShow();
    Window.MenuView().ActionOf(*node)->trigger();
  }
};

using VantryTest::WhenModal;

template <class T>
T& Control(QWidget& AForm, const char* AName) {
  T* control = AForm.findChild<T*>(QString::fromLatin1(AName));
  if (!control) throw std::runtime_error(std::string("no control ") + AName);
  return *control;
}
void Click(QWidget& AForm, const char* AName) { QTest::mouseClick(&Control<QWidget>(AForm, AName), Qt::LeftButton); }
void Type(QWidget& AForm, const char* AName, const std::string& AText) {
  auto& edit = Control<QLineEdit>(AForm, AName);
  edit.selectAll();
  QTest::keyClicks(&edit, QString::fromStdString(AText));
}
std::string Text(QWidget& AForm, const char* AName) {
  if (auto* label = AForm.findChild<QLabel*>(QString::fromLatin1(AName))) return label->text().toStdString();
  return Control<QLineEdit>(AForm, AName).text().toStdString();
}

// With VANTRY_SCREENSHOTS naming a folder, saves the window there as a person sees it.
void Snapshot(QWidget& AWindow, const char* AName) {
  const QString dir = qEnvironmentVariable("VANTRY_SCREENSHOTS");
  if (!dir.isEmpty()) AWindow.grab().save(QDir(dir).filePath(QString::fromLatin1(AName) + ".png"));
}

// The recording SMTP server of the mail tests on a free loopback port: each
// message it accepts lands in a file of its folder.
class TSmtpServer {
public:
  TSmtpServer() {
    FProcess.start(QStringLiteral("/usr/bin/python3"), {VANTRY_SMTP_SERVER, FDir.path()});
    if (FProcess.waitForReadyRead(20000)) FPort = FProcess.readLine().trimmed().mid(5).toInt();
  }
  ~TSmtpServer() {
    FProcess.closeWriteChannel();
    if (!FProcess.waitForFinished(5000)) FProcess.kill(), FProcess.waitForFinished();
  }
  QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(FPort); }
  QByteArray FirstMessage() const {
    QFile f(FDir.filePath(QStringLiteral("msg-1.eml")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

private:
  QTemporaryDir FDir;
  QProcess FProcess;
  int FPort = 0;
};

class ProductTest : public VantryTest::TIsolatedTest {
protected:
  std::string Stored() {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey(SettingsKey, false) || !reg.ValueExists("Automatic")) return "nothing";
    return IntToStr(reg.ReadInteger("Automatic")) + " '" + reg.ReadString("Path") + "'";
  }
};

}  // namespace

TEST_F(ProductTest, ChoosingTheSourceFolderAndWritingToTheVendor) {
  Temp.WriteFile("Delphi/Source/Rtl/System.pas", "unit System;\n");
  Temp.WriteFile("Mine/Units/Alpha.pas", "unit Alpha;\n");
  {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\BORLAND\\DELPHI\\3.0", true));
    reg.WriteString("RootDir", Temp / "Delphi");
  }
  const std::string mine = Temp / "Mine";

  // First start: the automatic folder. Options: a missing folder is refused
  // with a message, an existing one is stored; the menu keeps its tree.
  {
    TIde ide;
    EXPECT_EQ(ide.Caption("ovsVantryMenuItem_D0"), "Rtl");
    bool done = false;
    WhenModal("Vantry::TOptionsForm", [&](QWidget& AOptions) {
      Snapshot(AOptions, "options-dialog");
      EXPECT_EQ(Text(AOptions, "EDPath"), Temp / "Delphi/Source");
      Click(AOptions, "RBPath");
      Type(AOptions, "EDPath", Temp / "Missing");
      Click(AOptions, "BTOK");
      EXPECT_TRUE(AOptions.isVisible());
      Type(AOptions, "EDPath", mine);
      Click(AOptions, "BTOK");
      done = !AOptions.isVisible();
    });
    ide.Click("VantryConfigurationMenuItem");
    EXPECT_TRUE(done);
    EXPECT_EQ(Stored(), "0 '" + mine + "'");
    EXPECT_EQ(ide.Caption("ovsVantryMenuItem_D0"), "Rtl");
  }

  // Second start: the new tree. Options, About, the mail link: the send-mail
  // form holds what the About box was given, and sends through the test's
  // server. Cancel then stores nothing.
  TSmtpServer server;
  TIde ide;
  EXPECT_EQ(ide.Caption("ovsVantryMenuItem_D0"), "Units");
  EXPECT_EQ(ide.Caption("ovsVantryMenuItem_D0_F0"), "Alpha");
  std::vector<std::string> seen;
  WhenModal("Vantry::TOptionsForm", [&](QWidget& AOptions) {
    EXPECT_EQ(Text(AOptions, "EDPath"), mine);
    WhenModal("Vantry::TOrvalleAboutForm", [&](QWidget& AAbout) {
      QTest::qWait(600);  // the logo moves a few steps
      Snapshot(AAbout, "about-box");
      seen.push_back(AAbout.windowTitle().toStdString() + "|" + Text(AAbout, "ProgTitleLB") + "|" +
                     Text(AAbout, "VersionLB") + "|" + Text(AAbout, "YearLB") + "|" + Text(AAbout, "LBSendMail"));
      WhenModal("Vantry::TSendMailToOrvalleForm", [&](QWidget& AMail) {
        seen.push_back(Text(AMail, "eTo") + "|" + Text(AMail, "eSMTPServer") + "|" + Text(AMail, "eHomeAddr") + "|" +
                       Text(AMail, "EDRealName"));
        Snapshot(AMail, "send-mail-form");
        auto& pages = Control<QTabWidget>(AMail, "PageControl1");
        pages.setCurrentWidget(&Control<QWidget>(AMail, "ConPage"));
        Type(AMail, "eSMTPServer", server.Host().toStdString());
        auto& connect = Control<QPushButton>(AMail, "SMTPConnectBtn");
        QTest::mouseClick(&connect, Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return connect.text() == "Disconnect"; }, 10000));
        pages.setCurrentWidget(&Control<QWidget>(AMail, "SendPage"));
        Type(AMail, "eSubject", "Hello from the test");
        QTest::keyClicks(&Control<QTextEdit>(AMail, "reMessageText"), "Typed by a user.");
        Click(AMail, "SendBtn");
        EXPECT_TRUE(QTest::qWaitFor([&] { return server.FirstMessage().contains("Typed by a user."); }, 10000));
        AMail.close();
      });
      Click(AAbout, "LBSendMail");
      Click(AAbout, "Button1");
    });
    Click(AOptions, "BTAbout");
    Click(AOptions, "BTCancel");
  });
  ide.Click("VantryConfigurationMenuItem");
  EXPECT_THAT(seen, ::testing::ElementsAre("About|Vantry|1997|0|brask@orvalle.example",
                                           "brask@orvalle.example||mail@orvalle.example|Brask"));
  const QByteArray mail = server.FirstMessage();
  EXPECT_TRUE(mail.contains("Subject: Orvalle AUTOMSG: Hello from the test")) << mail.constData();
  EXPECT_TRUE(mail.contains("To: brask@orvalle.example")) << mail.constData();
  EXPECT_LT(mail.indexOf("Vantry Expert for Delphi 3 version 1.0"), mail.indexOf("Typed by a user."));
  EXPECT_GT(mail.indexOf("Vantry Expert for Delphi 3 version 1.0"), 0);
  EXPECT_EQ(Stored(), "0 '" + mine + "'");

  // Back to the automatic folder: stored as 1 and a space.
  WhenModal("Vantry::TOptionsForm", [&](QWidget& AOptions) {
    Click(AOptions, "RBAutomatic");
    Click(AOptions, "BTOK");
  });
  ide.Click("VantryConfigurationMenuItem");
  EXPECT_EQ(Stored(), "1 ' '");

  // A stored value of the wrong type: the command's error reaches the IDE's
  // error display, and the next click works again.
  auto storeAutomatic = [](auto AValue) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(SettingsKey, false));
    if constexpr (std::is_integral_v<decltype(AValue)>) reg.WriteInteger("Automatic", AValue);
    else reg.WriteString("Automatic", AValue);
  };
  VantryTest::TRecordedApplication shown;
  storeAutomatic("yes");
  ide.Click("VantryConfigurationMenuItem");
  EXPECT_THAT(shown.Errors, ::testing::ElementsAre(::testing::HasSubstr("Automatic")));
  storeAutomatic(1);
  bool reopened = false;
  WhenModal("Vantry::TOptionsForm", [&](QWidget& AOptions) {
    reopened = true;
    Click(AOptions, "BTCancel");
  });
  ide.Click("VantryConfigurationMenuItem");
  EXPECT_TRUE(reopened);
}
