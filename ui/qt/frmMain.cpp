#include "ui/qt/frmMain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "platform/paths.h"
#include "settings/uSettingsClass.h"
#include "ui/qt/TabStrip.h"
#include "ui/qt/TaskbarButton.h"
#include "ui/qt/TrayIntegration.h"
#include "ui/qt/WindowFont.h"

namespace {

constexpr int PageWidth = TfrmSyncMain::ClientWidth;
constexpr int PageHeight = TfrmSyncMain::ClientHeight - TTabStrip::StripHeight;

// A page whose children keep their distance to the right and bottom edges
// where they are anchored there; the others keep their place. Distances are
// taken from the page's design size.
class TAnchoredPage : public QWidget {
 public:
  // Made inside the window from the start, so labels sized to their text
  // are measured in the window's font.
  TAnchoredPage(const QString& Name, QWidget* Window) : QWidget(Window) {
    setObjectName(Name);
    resize(PageWidth, PageHeight);
  }

  void Anchor(QWidget* Child, Qt::Edges Edges) {
    const QRect Place = Child->geometry();
    FAnchored.push_back(
        {Child, Edges, PageWidth - Place.right() - 1, PageHeight - Place.bottom() - 1});
  }

 protected:
  void resizeEvent(QResizeEvent*) override {
    for (const TAnchored& Item : FAnchored) {
      QRect Place = Item.Child->geometry();
      if (Item.Edges & Qt::RightEdge) Place.moveRight(width() - Item.RightGap - 1);
      if (Item.Edges & Qt::BottomEdge) Place.moveBottom(height() - Item.BottomGap - 1);
      Item.Child->setGeometry(Place);
    }
  }

 private:
  struct TAnchored {
    QWidget* Child;
    Qt::Edges Edges;
    int RightGap;
    int BottomGap;
  };
  std::vector<TAnchored> FAnchored;
};

// A label sized to its text, as labels of the original layout are.
QLabel* AddLabel(QWidget* Parent, const QString& Name, const QString& Text, int Left, int Top) {
  auto* Label = new QLabel(Text, Parent);
  Label->setObjectName(Name);
  Label->move(Left, Top);
  Label->adjustSize();
  return Label;
}

void SetLabelText(QLabel* Label, const std::string& Text) {
  Label->setText(QString::fromStdString(Text));
  Label->adjustSize();
}

// An error line keeps its place and width; a text too long for it is read
// whole in its tooltip.
void SetErrorText(QLabel* Label, const std::string& Text) {
  const QString Line = QString::fromStdString(Text);
  Label->setText(Label->fontMetrics().elidedText(Line, Qt::ElideRight, Label->width()));
  Label->setToolTip(Line);
}

QLineEdit* AddEdit(QWidget* Parent, const QString& Name, const QRect& Place) {
  auto* Edit = new QLineEdit(Parent);
  Edit->setObjectName(Name);
  Edit->setGeometry(Place);
  return Edit;
}

// A push button of a page, keeping its distance to the page's Edges.
QPushButton* AddButton(TAnchoredPage* Page, const QString& Name, const QString& Caption,
                       const QRect& Place, Qt::Edges Edges) {
  auto* Button = new QPushButton(Caption, Page);
  Button->setObjectName(Name);
  Button->setGeometry(Place);
  Page->Anchor(Button, Edges);
  return Button;
}

QGroupBox* AddGroup(QWidget* Parent, const QString& Name, const QString& Caption, int Top,
                    int Height) {
  auto* Group = new QGroupBox(Caption, Parent);
  Group->setObjectName(Name);
  Group->setGeometry(3, Top, PageWidth - 6, Height);
  return Group;
}

// The flat "..." button beside a folder edit box. It takes no focus, so the
// keyboard moves from the edit box straight on.
QToolButton* AddFolderButton(QWidget* Parent, const QString& Name) {
  auto* Button = new QToolButton(Parent);
  Button->setObjectName(Name);
  Button->setText("...");
  Button->setAutoRaise(true);
  Button->setFocusPolicy(Qt::NoFocus);
  Button->setGeometry(495, 16, 23, 22);
  return Button;
}

void ShowErrorBox(QWidget* Owner, const QString& Text) {
  QMessageBox::critical(Owner, QCoreApplication::applicationName(), Text);
}

}  // namespace

// The icons are compiled into this static library; the linker keeps their
// registration only when something names it. Q_INIT_RESOURCE must not stand
// inside a namespace.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

TfrmSyncMain::TfrmSyncMain(bool TrayAvailable, const TControllerFactory& MakeController)
    : QWidget(nullptr),
      FFolderChooser(&::BrowseForFolder),
      FErrorReport(&ShowErrorBox),
      FForm(*this, MakeController) {
  setObjectName("frmSyncMain");
  setWindowTitle(TTrayIntegration::Caption);
  // With a notification area the window keeps off the taskbar; without one
  // the taskbar button is its only way back after a minimize.
  setWindowFlags((TrayAvailable ? Qt::Tool : Qt::Window) | Qt::CustomizeWindowHint |
                 Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(WindowFont(ControlFontPixels));
  setAutoFillBackground(true);
  resize(ClientWidth, ClientHeight);

  FTabStrip = new TTabStrip(this);
  FTabStrip->setObjectName("tabStrip");
  FTabStrip->AddTab("Состояние");
  FTabStrip->AddTab("Настройки");
  FPages = new QStackedWidget(this);
  FPages->setObjectName("pages");
  FPages->addWidget(BuildStatusPage(TrayAvailable));
  FPages->addWidget(BuildSettingsPage());
  connect(FTabStrip, &TTabStrip::CurrentChanged, FPages, &QStackedWidget::setCurrentIndex);
  // The strip takes no focus; Ctrl+Tab and Ctrl+Shift+Tab turn the pages.
  for (const auto& Turn :
       {std::pair{QKeySequence::NextChild, 1}, std::pair{QKeySequence::PreviousChild, -1}}) {
    const int Step = Turn.second;
    connect(new QShortcut(Turn.first, this), &QShortcut::activated, this, [this, Step] {
      FTabStrip->SetCurrentIndex((FTabStrip->CurrentIndex() + Step + FTabStrip->Count()) %
                                 FTabStrip->Count());
    });
  }
  LayOut();
  SetTabOrder();

  InitIconResources();
  QIcon TrayIcon;
  for (const int Size : {16, 32, 48, 128, 256})
    TrayIcon.addFile(QString(":/icons/quorvel-%1.png").arg(Size));
  setWindowIcon(TrayIcon);
  FTray = new TTrayIntegration(this, TrayAvailable, TrayIcon);
  Forward(FTray, &TTrayIntegration::Clicked, [this] { FForm.TrayIcon1Click(); });
  connect(FTray, &TTrayIntegration::BalloonShown, this, &TfrmSyncMain::BalloonShown);
  Forward(FTray->OpenAction(), &QAction::triggered, [this] { FForm.OpenClick(); });
  Forward(FTray->ExchangeAction(), &QAction::triggered, [this] { FForm.ExchangeNow(); });
  Forward(FTray->CloseAction(), &QAction::triggered, [this] { FForm.N1Click(); });
  // The icon is in the notification area before the controller shows its
  // first balloon.
  FTray->ShowIcon();

  FForm.FormCreate();
}

TfrmSyncMain::~TfrmSyncMain() = default;

QWidget* TfrmSyncMain::BuildStatusPage(bool TrayAvailable) {
  auto* Page = new TAnchoredPage("tsStatus", this);
  AddLabel(Page, "Label1", "Состояние:", 16, 11);
  AddLabel(Page, "Label2", "Время последнего обновления прайса:", 16, 30);
  AddLabel(Page, "Label3", "Время последней отправки чеков:", 16, 51);
  AddLabel(Page, "Label4", "Время последней прогрузки весов:", 16, 70);
  lbStatus = AddLabel(Page, "lbStatus", "status", 219, 11);
  lbTimePrice = AddLabel(Page, "lbTimePrice", "TimePrice", 219, 30);
  lbTimeCh = AddLabel(Page, "lbTimeCh", "TimeCh", 219, 51);
  lbTimeScale = AddLabel(Page, "lbTimeScale", "TimeScale", 219, 70);
  // Each kind's last error, below the stamps; empty while all is well.
  int ErrorTop = 95;
  for (QLabel** Label : {&lbErrorPrice, &lbErrorCh, &lbErrorScale}) {
    *Label = new QLabel(Page);
    (*Label)->setGeometry(16, ErrorTop, PageWidth - 32, 17);
    (*Label)->setStyleSheet("color: #b00000");
    ErrorTop += 19;
  }
  lbErrorPrice->setObjectName("lbErrorPrice");
  lbErrorCh->setObjectName("lbErrorCh");
  lbErrorScale->setObjectName("lbErrorScale");

  btnExchange = AddButton(Page, "btnExchange", "Обменяться сейчас", QRect(376, 208, 113, 25),
                          Qt::RightEdge | Qt::BottomEdge);
  Forward(btnExchange, &QPushButton::clicked, [this] { FForm.ExchangeNow(); });

  btnSync = AddButton(Page, "btnSync", "Запустить", QRect(496, 208, 97, 25),
                      Qt::RightEdge | Qt::BottomEdge);
  Forward(btnSync, &QPushButton::clicked, [this] { FForm.btnSyncClick(); });

  // Without a notification area there is no tray menu, so the page itself
  // offers the way out.
  if (!TrayAvailable) {
    btnClose = AddButton(Page, "btnClose", "Закрыть программу", QRect(16, 208, 130, 25),
                         Qt::LeftEdge | Qt::BottomEdge);
    Forward(btnClose, &QPushButton::clicked, [this] { FForm.N1Click(); });
  }
  return Page;
}

QWidget* TfrmSyncMain::BuildSettingsPage() {
  auto* Page = new TAnchoredPage("tsSettings", this);

  QGroupBox* FtpGroup = AddGroup(Page, "GroupBox1", " FTP сервер", 3, 78);
  AddLabel(FtpGroup, "Label5", "IP сервера", 16, 19);
  edtServ = AddEdit(FtpGroup, "edtServ", QRect(112, 17, 121, 19));
  AddLabel(FtpGroup, "Label6", "Порт", 272, 19);
  edtPort = AddEdit(FtpGroup, "edtPort", QRect(368, 17, 121, 19));
  // Only digits can be typed; a stored value is shown as it is all the same.
  edtPort->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edtPort));
  AddLabel(FtpGroup, "Label7", "Пользователь", 16, 44);
  edtUser = AddEdit(FtpGroup, "edtUser", QRect(112, 42, 121, 19));
  AddLabel(FtpGroup, "Label8", "Пароль", 272, 44);
  edtPass = AddEdit(FtpGroup, "edtPass", QRect(368, 42, 121, 19));
  edtPass->setEchoMode(QLineEdit::Password);

  QGroupBox* KassaGroup = AddGroup(Page, "GroupBox2", " Касса ", 87, 50);
  AddLabel(KassaGroup, "Label9", "Каталог кассы", 16, 20);
  edtKassaPath = AddEdit(KassaGroup, "edtKassaPath", QRect(112, 18, 377, 19));
  SpeedButton1 = AddFolderButton(KassaGroup, "SpeedButton1");
  Forward(SpeedButton1, &QToolButton::clicked,
          [this] { FForm.SpeedButtonClick(TFolderEdit::Kassa); });

  QGroupBox* ScalesGroup = AddGroup(Page, "GroupBox3", " Весы", 143, 50);
  AddLabel(ScalesGroup, "Label10", "Каталог весов", 16, 20);
  edtScalesPath = AddEdit(ScalesGroup, "edtScalesPath", QRect(112, 18, 377, 19));
  SpeedButton2 = AddFolderButton(ScalesGroup, "SpeedButton2");
  Forward(SpeedButton2, &QToolButton::clicked,
          [this] { FForm.SpeedButtonClick(TFolderEdit::Scales); });

  CheckBox1 = new QCheckBox("Запускать проверку чеков и прайса вместе с программой", Page);
  CheckBox1->setObjectName("CheckBox1");
  CheckBox1->setGeometry(16, 212, 329, 17);
  Page->Anchor(CheckBox1, Qt::LeftEdge | Qt::BottomEdge);

  Button3 = AddButton(Page, "Button3", "Сохранить", QRect(384, 208, 97, 25),
                      Qt::RightEdge | Qt::BottomEdge);
  Forward(Button3, &QPushButton::clicked, [this] { FForm.Button3Click(); });
  Button4 = AddButton(Page, "Button4", "Отменить", QRect(496, 208, 97, 25),
                      Qt::RightEdge | Qt::BottomEdge);
  Forward(Button4, &QPushButton::clicked, [this] { FForm.Button4Click(); });
  return Page;
}

void TfrmSyncMain::SetTabOrder() {
  // Status page, then the settings page: the FTP group, the till group,
  // "Сохранить", "Отменить", the check box, the scales group.
  std::vector<QWidget*> Order{btnExchange, btnSync};
  if (btnClose != nullptr) Order.push_back(btnClose);
  Order.insert(Order.end(), {edtServ, edtPort, edtUser, edtPass, edtKassaPath, Button3, Button4,
                             CheckBox1, edtScalesPath});
  for (size_t i = 1; i < Order.size(); ++i) QWidget::setTabOrder(Order[i - 1], Order[i]);
}

bool TfrmSyncMain::TrayAvailable() const { return FTray->Available(); }

int TfrmSyncMain::CurrentPage() const { return FTabStrip->CurrentIndex(); }

void TfrmSyncMain::SelectPage(TPage Page) { FTabStrip->SetCurrentIndex(Page); }

void TfrmSyncMain::ShowAtStart() {
  // A desktop start knows no show command: it is a plain start.
  FForm.ShowAtStart(TSyncMainForm::SwShowNormal);
}

void TfrmSyncMain::ShowWindow() { FForm.OpenClick(); }

void TfrmSyncMain::SetStatusText(const std::string& Text) { SetLabelText(lbStatus, Text); }
void TfrmSyncMain::SetTimePriceText(const std::string& Text) { SetLabelText(lbTimePrice, Text); }
void TfrmSyncMain::SetTimeChText(const std::string& Text) { SetLabelText(lbTimeCh, Text); }
void TfrmSyncMain::SetTimeScaleText(const std::string& Text) { SetLabelText(lbTimeScale, Text); }

void TfrmSyncMain::SetSyncButtonCaption(const std::string& Caption) {
  btnSync->setText(QString::fromStdString(Caption));
}

void TfrmSyncMain::ShowBalloon(const std::string& Text) {
  FTray->ShowBalloon(QString::fromStdString(Text));
}

void TfrmSyncMain::FillSettingsPage(const TQuorvelSettings& Source) {
  edtServ->setText(QString::fromStdString(Source.FTPServer()));
  edtPort->setText(QString::fromStdString(Source.FTPPort()));
  edtUser->setText(QString::fromStdString(Source.FTPUser()));
  edtPass->setText(QString::fromStdString(Source.FTPPass()));
  edtKassaPath->setText(QString::fromStdString(Source.KassaPath()));
  edtScalesPath->setText(QString::fromStdString(Source.ScalePath()));
  CheckBox1->setChecked(Source.AutoStartThread());
}

void TfrmSyncMain::SetErrorPriceText(const std::string& Text) { SetErrorText(lbErrorPrice, Text); }
void TfrmSyncMain::SetErrorChText(const std::string& Text) { SetErrorText(lbErrorCh, Text); }
void TfrmSyncMain::SetErrorScaleText(const std::string& Text) { SetErrorText(lbErrorScale, Text); }

void TfrmSyncMain::SetTrayState(const std::string& Tooltip, bool Failed) {
  FTray->SetState(QString::fromStdString(Tooltip), Failed);
}

void TfrmSyncMain::LogOutcome(const std::string& Line) {
  std::fprintf(stderr, "%s\n", Line.c_str());
  std::fflush(stderr);
}

TSettingsPageValues TfrmSyncMain::SettingsPageValues() const {
  return {edtServ->text().toStdString(),      edtPort->text().toStdString(),
          edtUser->text().toStdString(),      edtPass->text().toStdString(),
          edtKassaPath->text().toStdString(), CheckBox1->isChecked(),
          edtScalesPath->text().toStdString()};
}

void TfrmSyncMain::SetFolderEditText(TFolderEdit Edit, const std::string& Text) {
  (Edit == TFolderEdit::Kassa ? edtKassaPath : edtScalesPath)
      ->setText(QString::fromStdString(Text));
}

std::optional<std::string> TfrmSyncMain::BrowseForFolder(const std::string& Instruction) {
  const std::optional<QString> Folder = FFolderChooser(this, QString::fromStdString(Instruction));
  if (!Folder) return std::nullopt;
  return Folder->toStdString();
}

void TfrmSyncMain::ShowWindowNormal() {
  showNormal();
  if (TrayAvailable()) RemoveTaskbarButton(this);
}

void TfrmSyncMain::BringToFront() {
  raise();
  activateWindow();
}

TScreenRect TfrmSyncMain::WorkArea() const {
  const QScreen* Screen = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (Screen == nullptr) return {x(), y(), 0, 0};
  const QRect Area = Screen->availableGeometry();
  return {Area.left(), Area.top(), Area.width(), Area.height()};
}

TScreenRect TfrmSyncMain::FrameRect() const {
  const QRect Frame = frameGeometry();
  return {Frame.left(), Frame.top(), Frame.width(), Frame.height()};
}

void TfrmSyncMain::RemoveTrayIcon() { FTray->RemoveIcon(); }

void TfrmSyncMain::CloseWindow() {
  // Leaving the event loop ends the process, workers and all; a close the
  // window refused (its icon would not go) leaves the program running.
  if (close()) QCoreApplication::exit(0);
}

void TfrmSyncMain::ReportError(const std::string& Text) {
  FErrorReport(this, QString::fromStdString(Text));
}

void TfrmSyncMain::changeEvent(QEvent* Event) {
  QWidget::changeEvent(Event);
  // A minimize reaches Qt as a state change that has happened already.
  if (Event->type() == QEvent::WindowStateChange && isMinimized() && TrayAvailable()) {
    // Hiding from inside the state change confuses some window managers;
    // the next turn of the event loop does it.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized()) FForm.Guarded([this] { FForm.WMSysCommand(TSyncMainForm::ScMinimize); });
    });
  }
}

void TfrmSyncMain::closeEvent(QCloseEvent* Event) {
  bool Close = false;
  FForm.Guarded([&] { Close = FForm.WMSysCommand(TSyncMainForm::ScClose); });
  Event->setAccepted(Close);
}

void TfrmSyncMain::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  LayOut();
}

void TfrmSyncMain::LayOut() {
  FTabStrip->setGeometry(0, 0, width(), TTabStrip::StripHeight);
  FPages->setGeometry(0, TTabStrip::StripHeight, width(), height() - TTabStrip::StripHeight);
}
