#include "about/OVSAbout.h"

#include "mail/OVSSendMailToOrvalle.h"
#include "support/ModalDriver.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using namespace Vantry;

namespace {

// Runs AInspect on the filled form instead of its modal loop, and answers AResult.
class TInspectedAboutDialog : public TOVSAboutDialog {
public:
  TInspectedAboutDialog(std::function<int(TOrvalleAboutForm&)> AInspect)
      : TOVSAboutDialog(nullptr), FInspect(std::move(AInspect)) {}

protected:
  int ShowForm(TOrvalleAboutForm& AForm) override { return FInspect(AForm); }

private:
  std::function<int(TOrvalleAboutForm&)> FInspect;
};

struct TFreed {
  void operator()(TComponent* AComponent) const { AComponent->Free(); }
};
template <class T>
using TOwned = std::unique_ptr<T, TFreed>;

}  // namespace

TEST(OrvalleAboutForm, LogoSlidesBetweenFiveAndEightyFiveAndTurnsThere) {
  TOrvalleAboutForm form;
  EXPECT_TRUE(form.Timer->isActive());
  EXPECT_EQ(form.Timer->interval(), 135);
  ASSERT_EQ(form.LogoBMP->geometry(), QRect(45, 3, 100, 100));
  std::vector<int> lefts;
  for (int i = 0; i < 40; ++i) {
    form.TimerTimer(form.Timer);
    lefts.push_back(form.LogoBMP->x());
  }
  // 49..85 right, 81..5 left, then right again from 9.
  std::vector<int> expected;
  for (int x = 49; x <= 85; x += 4) expected.push_back(x);
  for (int x = 81; x >= 5; x -= 4) expected.push_back(x);
  for (int x = 9; expected.size() < lefts.size(); x += 4) expected.push_back(x);
  EXPECT_EQ(lefts, expected);
  EXPECT_EQ(form.LogoBMP->y(), 3);
}

TEST(OrvalleAboutForm, ClicksOnVersionYearAndLogoStopAndResumeTheLogo) {
  TOrvalleAboutForm form;
  form.show();
  form.TimerTimer(form.Timer);
  form.TimerTimer(form.Timer);  // now at 53, moving right
  struct TRow { QWidget* Target; bool RunningAfter; };
  for (const TRow& row : {TRow{form.CopyrightLB, true}, TRow{form.LBMail, true}, TRow{form.ProgTitleLB, true},
                          TRow{form.YearLB, false}, TRow{form.CopyrightLB, false}, TRow{form.LogoBMP, true},
                          TRow{form.VersionLB, false}, TRow{form.VersionLB, true}}) {
    QTest::mouseClick(row.Target, Qt::LeftButton);
    EXPECT_EQ(form.Timer->isActive(), row.RunningAfter) << row.Target->objectName().toStdString();
  }
  // A double-click is a click and a double-click: two turns, the timer runs on.
  // (Qt delivers press, release, double-click, release.)
  QTest::mouseClick(form.YearLB, Qt::LeftButton);
  QTest::mouseDClick(form.YearLB, Qt::LeftButton);
  QTest::mouseRelease(form.YearLB, Qt::LeftButton);
  EXPECT_TRUE(form.Timer->isActive());
  EXPECT_EQ(form.LogoBMP->x(), 53);
  EXPECT_TRUE(form.LogoMovesRight());
}

TEST(OVSAboutDialog, StartsWithTheVendorsPlaceholdersAndCopiesItsLines) {
  TOwned<TOVSAboutDialog> about(CreateComponent<TOVSAboutDialog>(nullptr));
  EXPECT_EQ(about->WindowTitle() + about->ProgramTitle() + about->Version() + about->MailHostAddress(), "");
  EXPECT_EQ(about->Year(), 0);
  EXPECT_TRUE(about->ProgramTitleVisible());
  EXPECT_EQ(about->MailFromRealName(), "Brask");
  EXPECT_TRUE(about->MailTo().ends_with(".example") && about->MailFrom().ends_with(".example"));
  TStringList lines{"one"};
  about->SetMailAutomaticMessage(lines);
  lines.Add("two");
  EXPECT_EQ(about->MailAutomaticMessage(), TStringList{"one"});
}

TEST(OVSAboutDialog, FillsTheFormAndFreesItWhateverHappens) {
  struct TRow { bool TitleVisible; int Year; int Result; const char* Title; const char* YearText; bool Ok; };
  for (const TRow& row : {TRow{true, 0, 1, "Vantry", "0", true}, TRow{false, -5, 0, "", "-5", false},
                          TRow{true, 1997, 2, "Vantry", "1997", false}}) {
    QPointer<TOrvalleAboutForm> seen;
    TOwned<TInspectedAboutDialog> owned(new TInspectedAboutDialog([&](TOrvalleAboutForm& AForm) {
      seen = &AForm;
      EXPECT_EQ(AForm.windowTitle(), "About");
      EXPECT_EQ(AForm.ProgTitleLB->text(), row.Title);
      EXPECT_EQ(AForm.VersionLB->text(), "1.0 & <b>");
      EXPECT_EQ(AForm.YearLB->text(), row.YearText);
      EXPECT_EQ(AForm.LBSendMail->text(), "brask@orvalle.example");
      EXPECT_EQ(AForm.AutomaticMessage, TStringList{"line"});
      EXPECT_EQ(AForm.MailHostAddress + "|" + AForm.MailFrom + "|" + AForm.MailFromRealName,
                "smtp.example|mail@orvalle.example|Brask");
      return row.Result;
    }));
    TInspectedAboutDialog& about = *owned;
    about.SetWindowTitle("About");
    about.SetProgramTitle("Vantry");
    about.SetProgramTitleVisible(row.TitleVisible);
    about.SetVersion("1.0 & <b>");
    about.SetYear(row.Year);
    about.SetMailHostAddress("smtp.example");
    about.SetMailAutomaticMessage(TStringList{"line"});
    about.SetMailTo("brask@orvalle.example");
    EXPECT_EQ(about.Execute(), row.Ok) << row.Year;
    EXPECT_TRUE(seen.isNull());
  }
  QPointer<TOrvalleAboutForm> seen;
  TOwned<TInspectedAboutDialog> failing(new TInspectedAboutDialog([&](TOrvalleAboutForm& AForm) -> int {
    seen = &AForm;
    throw std::runtime_error("no screen");
  }));
  EXPECT_THROW(failing->Execute(), std::runtime_error);
  EXPECT_TRUE(seen.isNull());
}

TEST(OVSAboutDialog, OkAnswersTrueTheCloseBoxFalseAndNoFormOutlivesExecute) {
  TOwned<TOVSAboutDialog> about(CreateComponent<TOVSAboutDialog>(nullptr));
  int trues = 0;
  for (int i = 0; i < 100; ++i) {
    VantryTest::WhenModal("Vantry::TOrvalleAboutForm", [i](QWidget& AForm) {
      auto& form = static_cast<TOrvalleAboutForm&>(AForm);
      if (i % 2) form.close(); else QTest::mouseClick(form.Button1, Qt::LeftButton);
    });
    trues += about->Execute();
  }
  EXPECT_EQ(trues, 50);
  // "Ok" is no default button, but takes Enter while it has the focus.
  VantryTest::WhenModal("Vantry::TOrvalleAboutForm", [](QWidget& AForm) {
    auto& form = static_cast<TOrvalleAboutForm&>(AForm);
    form.Button1->setFocus();
    QTest::keyClick(form.Button1, Qt::Key_Return);
  });
  EXPECT_TRUE(about->Execute());
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(qobject_cast<TOrvalleAboutForm*>(w));
}

TEST(OrvalleLogo, IsAnUncompressed100By100BitmapWith256Colours) {
  QFile file(":/about/OrvalleLogo.bmp");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bmp = file.readAll();
  ASSERT_EQ(bmp.size(), 14 + 40 + 256 * 4 + 100 * 100);  // headers, palette, pixels: no compression
  auto field = [&](int AOffset) { return qFromLittleEndian<qint32>(bmp.constData() + AOffset); };
  EXPECT_EQ(field(30), 0);    // BI_RGB
  EXPECT_EQ(field(46), 256);  // colours used
  const QImage logo = QImage::fromData(bmp, "BMP");
  EXPECT_EQ(logo.size(), QSize(100, 100));
  EXPECT_EQ(logo.format(), QImage::Format_Indexed8);
  EXPECT_EQ(logo.colorCount(), 256);
  // As the form shows it, over red: only the corners are see-through, the
  // white ring of the "O" is not.
  TOrvalleAboutForm form;
  QImage shown(100, 100, QImage::Format_RGB32);
  shown.fill(Qt::red);
  QPainter(&shown).drawPixmap(0, 0, form.LogoBMP->pixmap());
  EXPECT_EQ(shown.pixelColor(0, 99), QColor(Qt::red));
  EXPECT_EQ(shown.pixelColor(50 + 31, 50).red(), shown.pixelColor(50 + 31, 50).blue()) << "the ring is white";
  EXPECT_GT(shown.pixelColor(50 + 31, 50).blue(), 240);
}

TEST(OrvalleAboutForm, TheMailLinkOpensThePrefilledSendMailFormWithACopyOfTheLines) {
  for (const char* recipient : {"brask@orvalle.example", ""}) {
    TOrvalleAboutForm about;
    about.LBSendMail->setText(recipient);
    about.MailHostAddress = "127.0.0.1";
    about.MailFrom = "me@home.example";
    about.MailFromRealName = "Brask";
    about.AutomaticMessage.Assign(TStringList{"Vantry Expert for Delphi 3 version 1.0"});
    about.show();
    bool opened = false;
    VantryTest::WhenModal("Vantry::TSendMailToOrvalleForm", [&](QWidget& AForm) {
      auto* mail = static_cast<TSendMailToOrvalleForm*>(&AForm);
      opened = true;
      EXPECT_EQ(mail->eTo->text(), recipient);
      EXPECT_EQ(mail->eSMTPServer->text() + "|" + mail->eHomeAddr->text() + "|" + mail->EDRealName->text(),
                "127.0.0.1|me@home.example|Brask");
      EXPECT_EQ(mail->AutomaticMessage(), about.AutomaticMessage);
      mail->AutomaticMessage().Add("changed in the send-mail form");
      EXPECT_TRUE(about.isVisible());
      mail->close();
    });
    QTest::mouseClick(about.LBSendMail, Qt::LeftButton);
    EXPECT_TRUE(opened) << recipient;
    EXPECT_EQ(about.AutomaticMessage, TStringList{"Vantry Expert for Delphi 3 version 1.0"});
  }
}
