#include "about/OVSAbout.h"

#include "forms/QtApplication.h"
#include "mail/OVSSendMailToOrvalle.h"
#include "platform/Application.h"

#include <QApplication>
#include <QBitmap>
#include <QMouseEvent>
#include <QTimer>

#include <memory>

namespace Vantry {

namespace {

constexpr int mrOk = 1;
// One step of the logo, in pixels, and the time between steps.
constexpr int LogoStep = 4;
constexpr int LogoInterval = 135;

// Font heights are pixels at 96 dots per inch, as the form was drawn; a
// Designer file can only give points.
void SetFontHeight(QWidget* AWidget, int APixels) {
  QFont font = AWidget->font();
  font.setPixelSize(APixels);
  AWidget->setFont(font);
}

void SetTextColour(QWidget* AWidget, const QColor& AColour) {
  QPalette palette = AWidget->palette();
  palette.setColor(QPalette::WindowText, AColour);
  AWidget->setPalette(palette);
}

}  // namespace

TOrvalleAboutForm::TOrvalleAboutForm(QWidget* AParent) : QDialog(AParent) {
  UseFormFonts();
  setupUi(this);
  // A fixed dialog frame with a close box and nothing else.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(385, 188);
  // Captions are plain text, never markup.
  for (QLabel* label : {VersionLB, CopyrightLB, YearLB, LBMail}) label->setTextFormat(Qt::PlainText);
  SetFontHeight(this, 13);
  SetFontHeight(ProgTitleLB, 19);
  SetTextColour(ProgTitleLB, Qt::black);
  SetFontHeight(LBSendMail, 11);
  SetTextColour(LBSendMail, Qt::blue);
  // The logo is transparent where it has the colour of its bottom-left pixel.
  QPixmap logo = LogoBMP->pixmap();
  if (!logo.isNull()) {
    logo.setMask(logo.createMaskFromColor(logo.toImage().pixelColor(0, logo.height() - 1)));
    LogoBMP->setPixmap(logo);
    LogoBMP->resize(logo.size());
  }
  connect(Button1, &QPushButton::clicked, this, [this] { done(mrOk); });
  for (QWidget* surface : {static_cast<QWidget*>(VersionLB), static_cast<QWidget*>(YearLB),
                           static_cast<QWidget*>(LogoBMP), static_cast<QWidget*>(LBSendMail)})
    surface->installEventFilter(this);

  Timer = new QTimer(this);
  Timer->setInterval(LogoInterval);
  connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(Timer); });
  FormCreate(this);
  Timer->start();
}

TOrvalleAboutForm::~TOrvalleAboutForm() { FormDestroy(this); }

void TOrvalleAboutForm::keyPressEvent(QKeyEvent* AEvent) {
  if (!PressFocusedButton(this, AEvent)) QDialog::keyPressEvent(AEvent);
}

void TOrvalleAboutForm::FormCreate(QObject*) {
  FLogoMovesRight = true;
  AutomaticMessage.Clear();
}

void TOrvalleAboutForm::FormDestroy(QObject*) { AutomaticMessage.Clear(); }

void TOrvalleAboutForm::TimerTimer(QObject*) {
  // Both comparisons are made after the move: with the panel 186 wide and
  // the logo 100 wide from 45, its left edge runs 45..85 and back to 5.
  if (FLogoMovesRight) {
    LogoBMP->move(LogoBMP->x() + LogoStep, LogoBMP->y());
    FLogoMovesRight = LogoBMP->x() + LogoBMP->width() + LogoStep < Panel2->width();
  } else {
    LogoBMP->move(LogoBMP->x() - LogoStep, LogoBMP->y());
    FLogoMovesRight = LogoBMP->x() - LogoStep < 5;
  }
}

void TOrvalleAboutForm::SurfaceClick(QObject*) {
  if (Timer->isActive())
    Timer->stop();
  else
    Timer->start();
}

void TOrvalleAboutForm::LBSendMailClick(QObject*) {
  // The recipient is the link's own text; the About form stays open below.
  TSendMailToOrvalleForm form(this);
  form.eTo->setText(LBSendMail->text());
  form.eSMTPServer->setText(QString::fromStdString(MailHostAddress));
  form.eHomeAddr->setText(QString::fromStdString(MailFrom));
  form.EDRealName->setText(QString::fromStdString(MailFromRealName));
  form.AutomaticMessage().Assign(AutomaticMessage);
  form.ShowModal();
}

bool TOrvalleAboutForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
  // A click is a left-button release inside the control; a double-click
  // calls the click handler once more, as the original controls do.
  auto* mouse = dynamic_cast<QMouseEvent*>(AEvent);
  if (!mouse || mouse->button() != Qt::LeftButton) return QDialog::eventFilter(AWatched, AEvent);
  auto* widget = static_cast<QWidget*>(AWatched);
  bool click = false, doubleClick = false;
  if (AEvent->type() == QEvent::MouseButtonPress) {
    FReleaseEndsDoubleClick = false;
  } else if (AEvent->type() == QEvent::MouseButtonDblClick) {
    FReleaseEndsDoubleClick = true;
    doubleClick = true;
  } else if (AEvent->type() == QEvent::MouseButtonRelease) {
    click = !FReleaseEndsDoubleClick && widget->rect().contains(mouse->position().toPoint());
    FReleaseEndsDoubleClick = false;
  }
  if (!click && !doubleClick) return QDialog::eventFilter(AWatched, AEvent);
  // Nothing a handler raises may reach Qt's event loop.
  try {
    if (AWatched == LBSendMail) {
      if (click) LBSendMailClick(AWatched);
    } else {
      SurfaceClick(AWatched);
    }
  } catch (...) {
    Application().HandleException(nullptr);
  }
  return true;
}

// ---- TOVSAboutDialog

const TClassInfo& TOVSAboutDialog::StaticClass() {
  using T = TOVSAboutDialog;
  static constexpr TPropInfo Properties[] = {
      Published::String<&T::SetWindowTitle>("WindowTitle"),
      Published::String<&T::SetProgramTitle>("ProgramTitle"),
      Published::Boolean<&T::SetProgramTitleVisible>("ProgramTitleVisible"),
      Published::String<&T::SetVersion>("Version"),
      Published::Integer<&T::SetYear>("Year"),
      Published::String<&T::SetMailHostAddress>("MailHostAddress"),
      Published::String<&T::SetMailFrom>("MailFrom"),
      Published::String<&T::SetMailFromRealName>("MailFromRealName"),
      Published::Strings<&T::SetMailAutomaticMessage>("MailAutomaticMessage"),
      Published::String<&T::SetMailTo>("MailTo"),
  };
  static constexpr TClassInfo Info = ClassInfoOf<T, TComponent>("TOVSAboutDialog").WithProperties(Properties);
  return Info;
}

// The vendor's addresses are placeholders in the reserved .example domain:
// nobody receives mail there.
TOVSAboutDialog::TOVSAboutDialog(TComponent* AOwner)
    : TComponent(AOwner), FMailFrom("mail@orvalle.example"), FMailTo("contact@orvalle.example"),
      FMailFromRealName("Brask") {}

bool TOVSAboutDialog::Execute() {
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = ApplicationWindow();
  // The form goes with this scope, also when a step raises.
  auto form = std::make_unique<TOrvalleAboutForm>(parent);
  form->setWindowTitle(QString::fromStdString(FWindowTitle));
  form->ProgTitleLB->setText(FProgramTitleVisible ? QString::fromStdString(FProgramTitle) : QString());
  form->VersionLB->setText(QString::fromStdString(FVersion));
  form->YearLB->setText(QString::fromStdString(IntToStr(FYear)));
  form->MailHostAddress = FMailHostAddress;
  form->MailFrom = FMailFrom;
  form->MailFromRealName = FMailFromRealName;
  form->AutomaticMessage.Assign(FMailAutomaticMessage);
  form->LBSendMail->setText(QString::fromStdString(FMailTo));
  return ShowForm(*form) == mrOk;
}

int TOVSAboutDialog::ShowForm(TOrvalleAboutForm& AForm) {
  CenterOnScreen(&AForm);
  return AForm.exec();
}

}  // namespace Vantry
