// The main window driven as a person would: through its buttons, its tray
// icon and its menu, over the program's real controller and settings store.
// Modal dialogs are answered through the window's seams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Startup.h"
#include "net/blcksock.h"
#include "platform/posix_calls.h"
#include "settings/uSettingsClass.h"
#include "support/FtpServer.h"
#include "support/LoopbackPeer.h"
#include "support/LoopbackPorts.h"
#include "support/TempDir.h"
#include "support/WorkerHarness.h"
#include "ui/ExchangeJournal.h"
#include "ui/qt/FolderDialog.h"
#include "ui/qt/TabStrip.h"
#include "ui/qt/WindowFont.h"
#include "ui/qt/WindowMain.h"
#include "ui/qt/frmMain.h"
#include "workers/uSync.h"

namespace {

// Records every rewrite of the settings file and can refuse them from a
// given one on, as a read-only file would.
struct TSettingsWrites {
  static inline std::string FileName;
  static inline std::vector<std::string> Contents;
  static inline int FailFrom = 0;  // 1-based; 0 = never

  static int Rename(const char* From, const char* To) {
    if (To != FileName) return SystemPosixCalls().Rename(From, To);
    if (FailFrom != 0 && static_cast<int>(Contents.size()) + 1 >= FailFrom) {
      errno = EACCES;
      return -1;
    }
    const int Result = SystemPosixCalls().Rename(From, To);
    if (Result == 0) {
      QFile File(QString::fromStdString(To));
      File.open(QIODevice::ReadOnly);
      Contents.push_back(File.readAll().toStdString());
    }
    return Result;
  }
};

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> FAppDir;
  std::unique_ptr<TfrmSyncMain> FWindow;
  TSyncControllerLink* FLink = nullptr;
  QStringList FBalloons;
  QStringList FErrors;
  std::vector<QString> FInstructions;

  // A fresh application directory whose settings file holds Lines, and the
  // settings object read from it.
  void UseSettings(const std::string& Lines) {
    FAppDir = std::make_unique<TempDir>();
    if (!Lines.empty()) FAppDir->Write("Quorvel.ini", "[main]\n" + Lines);
    InitApplicationDirectory(FAppDir->Path());
    delete Settings;
    Settings = new TQuorvelSettings(FAppDir->Path());
    TSettingsWrites::FileName = Settings->FileName();
  }

  // The window over the real controller; balloons and error reports are
  // recorded from the first one on.
  TfrmSyncMain& Open(bool TrayAvailable = true) {
    FWindow = std::make_unique<TfrmSyncMain>(TrayAvailable, [this](ISyncView& View) {
      auto& Window = dynamic_cast<TfrmSyncMain&>(View);
      connect(&Window, &TfrmSyncMain::BalloonShown, this,
              [this](const QString& Text) { FBalloons << Text; });
      Window.SetErrorReport([this](QWidget*, const QString& Text) { FErrors << Text; });
      auto Link = std::make_unique<TSyncControllerLink>(View);
      FLink = Link.get();
      return Link;
    });
    FWindow->ShowAtStart();
    return *FWindow;
  }

  // The program never destroys its window; a test does, so it first ends
  // the latest workers, serving their events meanwhile, so that none of them
  // reports to a controller that is gone.
  void EndWorkers() {
    if (FWindow == nullptr || FLink == nullptr) return;
    const TSyncController& Controller = FLink->Controller();
    const std::vector<std::shared_ptr<TFTPLoaderTh>> Workers{
        Controller.chloader, Controller.priceLoader, Controller.ScaleLoader};
    for (const auto& Worker : Workers) {
      if (Worker == nullptr) continue;
      Worker->Terminate();
      Worker->Wake();
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(Workers.begin(), Workers.end(),
                    [](const auto& Worker) { return Worker == nullptr || Worker->Finished(); }),
        60000);
  }

  template <class T>
  T* Find(const char* Name) {
    T* Child = FWindow->findChild<T*>(Name);
    if (Child == nullptr) qFatal("no child %s", Name);
    return Child;
  }
  QString Text(const char* Name) {
    if (auto* Label = FWindow->findChild<QLabel*>(Name)) return Label->text();
    if (auto* Edit = FWindow->findChild<QLineEdit*>(Name)) return Edit->text();
    return Find<QAbstractButton>(Name)->text();
  }
  void Click(const char* Name) { QTest::mouseClick(Find<QAbstractButton>(Name), Qt::LeftButton); }
  void TrayClick(QSystemTrayIcon::ActivationReason Reason = QSystemTrayIcon::Trigger) {
    emit Find<QSystemTrayIcon>("TrayIcon1")->activated(Reason);
  }
  void ClickTab(int Index) {
    auto* Strip = Find<TTabStrip>("tabStrip");
    QTest::mouseClick(Strip, Qt::LeftButton, {}, Strip->TabRect(Index).center());
  }
  std::string FileValue(const std::string& Content, const std::string& Key) {
    const std::string Prefix = Key + "=";
    size_t Start = Content.find("\n" + Prefix);
    if (Start == std::string::npos) return "<missing>";
    Start += Prefix.size() + 1;
    return Content.substr(Start, Content.find_first_of("\r\n", Start) - Start);
  }

  void FillEverySettingsControl() {
    Find<QLineEdit>("edtServ")->setText("10.9.8.7");
    Find<QLineEdit>("edtPort")->setText("2121");
    Find<QLineEdit>("edtUser")->setText("кассир");
    Find<QLineEdit>("edtPass")->setText("секрет");
    Find<QLineEdit>("edtKassaPath")->setText("/till");
    Find<QCheckBox>("CheckBox1")->setChecked(true);
    Find<QLineEdit>("edtScalesPath")->setText("/scales");
  }

 private slots:
  void init() {
    FBalloons.clear();
    FErrors.clear();
    FInstructions.clear();
    TSettingsWrites::Contents.clear();
    TSettingsWrites::FailFrom = 0;
    PosixCalls().Rename = &TSettingsWrites::Rename;
  }

  void cleanup() {
    EndWorkers();
    FWindow.reset();
    FLink = nullptr;
    PosixCalls() = SystemPosixCalls();
  }

  void startUp_data() {
    QTest::addColumn<QString>("Server");
    QTest::addColumn<bool>("AutoStart");
    QTest::addColumn<QString>("Status");
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Balloon");

    QTest::newRow("auto-start with a server") << "127.0.0.1" << true << "Запущен"
                                              << "Остановить"
                                              << "Синхронизация работает";
    QTest::newRow("auto-start, empty server") << "" << true << "Остановлен"
                                              << "Запустить"
                                              << "Программа запущена";
    QTest::newRow("auto-start, server of blanks") << "   " << true << "Запущен"
                                                  << "Остановить"
                                                  << "Синхронизация работает";
    QTest::newRow("no auto-start") << "127.0.0.1" << false << "Остановлен"
                                   << "Запустить"
                                   << "Программа запущена";
  }

  void startUp() {
    QFETCH(QString, Server);
    QFETCH(bool, AutoStart);
    QFETCH(QString, Status);
    QFETCH(QString, Button);
    QFETCH(QString, Balloon);
    UseSettings("port=" + std::to_string(RefusingLoopbackPort()) +
                "\nAutoStartThread=" + (AutoStart ? "1" : "0") +
                "\nPriceSync=01.02.2026 03:04:05\nChSync=\nScaleSync=31.12.2025 23:59:59\n");
    // Through the setter: the settings file would lose blanks around a value.
    Settings->SetFTPServer(Server.toStdString());
    TfrmSyncMain& Window = Open();

    QCOMPARE(Text("lbStatus"), Status);
    QCOMPARE(Text("btnSync"), Button);
    QCOMPARE(FBalloons, QStringList{Balloon});
    QCOMPARE(Window.SyncButtonTag(), Status == "Запущен" ? 1 : 0);
    QCOMPARE(FLink->Controller().chloader != nullptr, Status == "Запущен");
    QCOMPARE(FLink->Controller().ScaleLoader != nullptr, Status == "Запущен");
    QCOMPARE(Text("lbTimePrice"), QString("01.02.2026 03:04:05"));
    QCOMPARE(Text("lbTimeCh"), QString());
    QCOMPARE(Text("lbTimeScale"), QString("31.12.2025 23:59:59"));
    // With a tray only the icon and the balloon show.
    QVERIFY(!Window.isVisible());
    QCOMPARE(Window.CurrentPage(), int(StatusPage));
    QVERIFY(FErrors.isEmpty());
  }

  void syncButtonTogglesWithBalloons() {
    UseSettings("server=127.0.0.1\nport=" + std::to_string(RefusingLoopbackPort()) + "\n");
    Open();
    Click("btnSync");
    QCOMPARE(Text("lbStatus"), QString("Запущен"));
    QCOMPARE(Text("btnSync"), QString("Остановить"));
    const std::shared_ptr<TFTPChLoaderTh> First = FLink->Controller().chloader;
    QVERIFY(First != nullptr);
    QVERIFY(!First->Terminated());

    Click("btnSync");
    QCOMPARE(Text("lbStatus"), QString("Остановлен"));
    QCOMPARE(Text("btnSync"), QString("Запустить"));
    QVERIFY(First->Terminated());
    QVERIFY(FLink->Controller().priceLoader->Terminated());
    QVERIFY(FLink->Controller().ScaleLoader->Terminated());

    // A new start makes new workers while the old ones finish their pause.
    Click("btnSync");
    QVERIFY(FLink->Controller().chloader != First);
    QCOMPARE(FBalloons, (QStringList{"Программа запущена", "Синхронизация работает",
                                     "Синхронизация остановлена", "Синхронизация работает"}));
    Click("btnSync");
  }

  void settingsPageShowsStoredValues() {
    UseSettings("user=Иван\npass=p@ss\nkassaPath=/till\nScalePath=\nAutoStartThread=0\n");
    // Values the keyboard could not give, as the settings object may hold them.
    Settings->SetFTPServer(" ftp.shop ");
    Settings->SetFTPPort(" 21x");
    Open();
    QCOMPARE(Text("edtServ"), QString(" ftp.shop "));
    QCOMPARE(Text("edtPort"), QString(" 21x"));
    QCOMPARE(Text("edtUser"), QString("Иван"));
    QCOMPARE(Text("edtPass"), QString("p@ss"));
    QCOMPARE(Find<QLineEdit>("edtPass")->echoMode(), QLineEdit::Password);
    QCOMPARE(Text("edtKassaPath"), QString("/till"));
    QCOMPARE(Text("edtScalesPath"), QString());
    QVERIFY(!Find<QCheckBox>("CheckBox1")->isChecked());
  }

  void portTakesOnlyDigitsFromTheKeyboard() {
    UseSettings("port=\n");
    Open();
    auto* Port = Find<QLineEdit>("edtPort");
    QTest::keyClicks(Port, "2a1 -+b");
    QCOMPARE(Port->text(), QString("21"));
  }

  void saveWritesSevenKeysInOrderAndShowsStatus_data() {
    QTest::addColumn<bool>("Edited");
    QTest::newRow("every value edited") << true;
    QTest::newRow("nothing changed") << false;
  }

  void saveWritesSevenKeysInOrderAndShowsStatus() {
    QFETCH(bool, Edited);
    UseSettings(
        "server=old\nport=21\nuser=u\npass=p\nkassaPath=/k\nScalePath=/s\nAutoStartThread=0\n");
    Open();
    ClickTab(SettingsPage);
    QCOMPARE(FWindow->CurrentPage(), int(SettingsPage));
    if (Edited) FillEverySettingsControl();
    Click("Button3");

    // Every setter rewrites the file; each rewrite brings exactly its own
    // key's new value, in this order.
    const std::vector<std::pair<std::string, std::string>> Expected =
        Edited
            ? std::vector<std::pair<std::string, std::string>>{{"server", "10.9.8.7"},
                                                               {"port", "2121"},
                                                               {"user", "кассир"},
                                                               {"pass", "секрет"},
                                                               {"kassaPath", "/till"},
                                                               {"AutoStartThread", "1"},
                                                               {"ScalePath", "/scales"}}
            : std::vector<std::pair<std::string, std::string>>{
                  {"server", "old"},   {"port", "21"},           {"user", "u"},      {"pass", "p"},
                  {"kassaPath", "/k"}, {"AutoStartThread", "0"}, {"ScalePath", "/s"}};
    QCOMPARE(TSettingsWrites::Contents.size(), Expected.size());
    for (size_t Write = 0; Write < Expected.size(); ++Write) {
      for (size_t Key = 0; Key < Expected.size(); ++Key) {
        const std::string Value = FileValue(TSettingsWrites::Contents[Write], Expected[Key].first);
        if (Key <= Write) QCOMPARE(Value, Expected[Key].second);
        if (Key > Write && Edited) QVERIFY(Value != Expected[Key].second);
      }
    }
    QCOMPARE(FWindow->CurrentPage(), int(StatusPage));
    QVERIFY(Find<QWidget>("tsStatus")->isVisibleTo(FWindow.get()));
    QVERIFY(FErrors.isEmpty());
  }

  void refusedWriteStopsSaveAtThatStep() {
    UseSettings(
        "server=old\nport=21\nuser=u\npass=p\nkassaPath=/k\nScalePath=/s\nAutoStartThread=0\n");
    Open();
    ClickTab(SettingsPage);
    FillEverySettingsControl();
    TSettingsWrites::FailFrom = 3;  // the user name
    Click("Button3");

    QCOMPARE(FErrors, QStringList{QString::fromStdString("Unable to write to " + FAppDir->Path() +
                                                         "Quorvel.ini")});
    const std::string OnDisk = FAppDir->Read("Quorvel.ini");
    QCOMPARE(FileValue(OnDisk, "server"), std::string("10.9.8.7"));
    QCOMPARE(FileValue(OnDisk, "port"), std::string("2121"));
    QCOMPARE(FileValue(OnDisk, "user"), std::string("u"));
    QCOMPARE(Settings->FTPUser(), std::string("кассир"));
    QCOMPARE(Settings->FTPPass(), std::string("p"));
    QCOMPARE(Settings->ScalePath(), std::string("/s"));
    QVERIFY(!Settings->AutoStartThread());
    QCOMPARE(FWindow->CurrentPage(), int(SettingsPage));
    // The program goes on: the next press works once the file is writable.
    TSettingsWrites::FailFrom = 0;
    Click("Button3");
    QCOMPARE(FWindow->CurrentPage(), int(StatusPage));
    QCOMPARE(FileValue(FAppDir->Read("Quorvel.ini"), "ScalePath"), std::string("/scales"));
  }

  // Without the test's report the error shows in a message box over the
  // window; answering it lets the program go on.
  void refusedWriteShowsAMessageBox() {
    UseSettings("server=old\n");
    FWindow = std::make_unique<TfrmSyncMain>(
        true, [](ISyncView& View) { return std::make_unique<TSyncControllerLink>(View); });
    TrayClick();
    ClickTab(SettingsPage);
    TSettingsWrites::FailFrom = 1;
    QString Shown;
    QWidget* Owner = nullptr;
    QTimer Answer;
    connect(&Answer, &QTimer::timeout, this, [&] {
      if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Shown = Box->text();
        Owner = Box->parentWidget();
        Box->accept();
      }
    });
    Answer.start(10);
    Click("Button3");
    Answer.stop();
    QCOMPARE(Shown, QString::fromStdString("Unable to write to " + Settings->FileName()));
    QCOMPARE(Owner, FWindow.get());
    QVERIFY(FWindow->isVisible());
    QCOMPARE(FWindow->CurrentPage(), int(SettingsPage));
  }

  void cancelRestoresEveryControlAndKeepsTheTab() {
    UseSettings(
        "server=srv\nport=21\nuser=u\npass=p\nkassaPath=/k\nScalePath=/s\nAutoStartThread=0\n");
    Open();
    ClickTab(SettingsPage);
    FillEverySettingsControl();
    Click("Button4");
    QCOMPARE(Text("edtServ"), QString("srv"));
    QCOMPARE(Text("edtPort"), QString("21"));
    QCOMPARE(Text("edtUser"), QString("u"));
    QCOMPARE(Text("edtPass"), QString("p"));
    QCOMPARE(Text("edtKassaPath"), QString("/k"));
    QCOMPARE(Text("edtScalesPath"), QString("/s"));
    QVERIFY(!Find<QCheckBox>("CheckBox1")->isChecked());
    QCOMPARE(FWindow->CurrentPage(), int(SettingsPage));
    QVERIFY(TSettingsWrites::Contents.empty());
  }

  void folderChoice_data() {
    QTest::addColumn<QString>("Button");
    QTest::addColumn<QString>("Edit");
    QTest::addColumn<std::optional<QString>>("Chosen");
    QTest::addColumn<QString>("Shown");

    for (const char* Which : {"1", "2"}) {
      const QString Button = QString("SpeedButton") + Which;
      const QString Edit = Which == QString("1") ? "edtKassaPath" : "edtScalesPath";
      QTest::addRow("%s: the root keeps one separator", Which)
          << Button << Edit << std::optional<QString>("/") << "/";
      QTest::addRow("%s: a separator is added", Which)
          << Button << Edit << std::optional<QString>("/srv/till") << "/srv/till/";
      QTest::addRow("%s: cancel leaves the text", Which)
          << Button << Edit << std::optional<QString>() << "/typed";
    }
  }

  void folderChoice() {
    QFETCH(QString, Button);
    QFETCH(QString, Edit);
    QFETCH(std::optional<QString>, Chosen);
    QFETCH(QString, Shown);
    UseSettings("kassaPath=/typed\nScalePath=/typed\n");
    Open();
    QWidget* Owner = nullptr;
    FWindow->SetFolderChooser([&](QWidget* Asker, const QString& Instruction) {
      Owner = Asker;
      FInstructions.push_back(Instruction);
      return Chosen;
    });
    ClickTab(SettingsPage);
    Click(Button.toUtf8().constData());
    QCOMPARE(FInstructions, std::vector<QString>{"Выберите директорию кассы"});
    QCOMPARE(Owner, FWindow.get());
    QCOMPARE(Text(Edit.toUtf8().constData()), Shown);
    // The choice reaches only the edit box.
    QVERIFY(TSettingsWrites::Contents.empty());
  }

  void folderDialogStartsAtTheRootWithNothingSelected() {
    UseSettings("");
    Open();
    TFolderDialog Dialog(FWindow.get(), "Выберите директорию кассы");
    QVERIFY(Dialog.isModal());
    QCOMPARE(Dialog.parentWidget(), FWindow.get());
    QCOMPARE(Dialog.findChild<QLabel*>("lbInstruction")->text(),
             QString("Выберите директорию кассы"));
    auto* Tree = Dialog.findChild<QTreeView*>("tvFolders");
    QTRY_COMPARE(Tree->model()->index(0, 0).data().toString(), QString("/"));
    QCOMPARE(Tree->model()->rowCount(), 1);
    QCOMPARE(Dialog.SelectedPath(), QString());
    auto* Buttons = Dialog.findChild<QDialogButtonBox*>();
    // Only OK and Cancel: no button to make a folder.
    QCOMPARE(Dialog.findChildren<QPushButton*>().size(), 2);
    QVERIFY(!Buttons->button(QDialogButtonBox::Ok)->isEnabled());
    QVERIFY(Dialog.findChildren<QLineEdit*>().isEmpty());

    Dialog.Select("/");
    QCOMPARE(Dialog.SelectedPath(), QString("/"));
    QVERIFY(Buttons->button(QDialogButtonBox::Ok)->isEnabled());
  }

  void layoutOfBothPages_data() {
    QTest::addColumn<QString>("Name");
    QTest::addColumn<QString>("Caption");
    QTest::addColumn<QRect>("Place");  // width and height 0: sized to the text

    auto Row = [](const char* Name, const char* Caption, QRect Place) {
      QTest::newRow(Name) << QString(Name) << QString(Caption) << Place;
    };
    Row("Label1", "Состояние:", QRect(16, 11, 0, 0));
    Row("Label2", "Время последнего обновления прайса:", QRect(16, 30, 0, 0));
    Row("Label3", "Время последней отправки чеков:", QRect(16, 51, 0, 0));
    Row("Label4", "Время последней прогрузки весов:", QRect(16, 70, 0, 0));
    Row("lbStatus", "Остановлен", QRect(219, 11, 0, 0));
    Row("lbTimePrice", "", QRect(219, 30, 0, 0));
    Row("lbTimeCh", "", QRect(219, 51, 0, 0));
    Row("lbTimeScale", "", QRect(219, 70, 0, 0));
    Row("btnSync", "Запустить", QRect(496, 208, 97, 25));
    Row("GroupBox1", " FTP сервер", QRect(3, 3, 609, 78));
    Row("Label5", "IP сервера", QRect(16, 19, 0, 0));
    Row("edtServ", "", QRect(112, 17, 121, 19));
    Row("Label6", "Порт", QRect(272, 19, 0, 0));
    Row("edtPort", "21", QRect(368, 17, 121, 19));
    Row("Label7", "Пользователь", QRect(16, 44, 0, 0));
    Row("edtUser", "", QRect(112, 42, 121, 19));
    Row("Label8", "Пароль", QRect(272, 44, 0, 0));
    Row("edtPass", "", QRect(368, 42, 121, 19));
    Row("GroupBox2", " Касса ", QRect(3, 87, 609, 50));
    Row("Label9", "Каталог кассы", QRect(16, 20, 0, 0));
    Row("SpeedButton1", "...", QRect(495, 16, 23, 22));
    Row("GroupBox3", " Весы", QRect(3, 143, 609, 50));
    Row("Label10", "Каталог весов", QRect(16, 20, 0, 0));
    Row("edtScalesPath", "", QRect(112, 18, 377, 19));
    Row("SpeedButton2", "...", QRect(495, 16, 23, 22));
    Row("CheckBox1", "Запускать проверку чеков и прайса вместе с программой",
        QRect(16, 212, 329, 17));
    Row("Button3", "Сохранить", QRect(384, 208, 97, 25));
    Row("Button4", "Отменить", QRect(496, 208, 97, 25));
  }

  void layoutOfBothPages() {
    QFETCH(QString, Name);
    QFETCH(QString, Caption);
    QFETCH(QRect, Place);
    UseSettings("server=\nuser=\npass=\nScalePath=\n");
    Open();
    auto* Widget = Find<QWidget>(Name.toUtf8().constData());
    if (auto* Group = qobject_cast<QGroupBox*>(Widget)) {
      QCOMPARE(Group->title(), Caption);
    } else if (Name.startsWith("edt")) {
      QCOMPARE(Text(Name.toUtf8().constData()), Caption);
    } else {
      QCOMPARE(Text(Name.toUtf8().constData()), Caption);
    }
    QCOMPARE(Widget->pos(), Place.topLeft());
    if (!Place.size().isEmpty()) QCOMPARE(Widget->size(), Place.size());
    QCOMPARE(Widget->font().pixelSize(), ControlFontPixels);
    // Captions end before the field right of them, whatever face stands in
    // for Tahoma; the check box's caption stays inside the box.
    if (Name.startsWith("Label")) {
      const int Field = Widget->parentWidget()->objectName() == "tsStatus" ? 219
                        : Widget->x() < 272                                ? 112
                                                                           : 368;
      QVERIFY2(Widget->geometry().right() < Field, qPrintable(Widget->font().family()));
    }
    if (Name == "CheckBox1") QVERIFY(Widget->sizeHint().width() <= Widget->width());
  }

  // Every caption fits the room of the Tahoma layout in any face that could
  // stand in for it: each one installed here is narrowed as the window's
  // would be, and the captions are laid out as the window lays them out.
  void everyInstalledFaceFitsTheCaptions() {
    const struct {
      const char* Caption;
      int Left;
      int Field;
    } Captions[] = {
        {"Состояние:", 16, 219},
        {"Время последнего обновления прайса:", 16, 219},
        {"Время последней отправки чеков:", 16, 219},
        {"Время последней прогрузки весов:", 16, 219},
        {"IP сервера", 16, 112},
        {"Пользователь", 16, 112},
        {"Порт", 272, 368},
        {"Пароль", 272, 368},
        {"Каталог кассы", 16, 112},
        {"Каталог весов", 16, 112},
    };
    int Faces = 0;
    for (const QString& Family : QFontDatabase::families()) {
      // Bitmap faces cannot be narrowed; no stand-in is one.
      if (!QFontDatabase::isSmoothlyScalable(Family)) continue;
      ++Faces;
      QWidget Page;
      Page.setFont(FittedWindowFont(Family, ControlFontPixels));
      for (const auto& Item : Captions) {
        auto* Label = new QLabel(QString::fromUtf8(Item.Caption), &Page);
        Label->move(Item.Left, 0);
        Label->adjustSize();
        QVERIFY2(Label->geometry().right() < Item.Field, qPrintable(Family + ": " + Label->text()));
      }
      QCheckBox Box("Запускать проверку чеков и прайса вместе с программой", &Page);
      QVERIFY2(Box.sizeHint().width() <= 329, qPrintable(Family));
    }
    QVERIFY(Faces > 0);
  }

  void windowFrameAndTabs() {
    UseSettings("");
    TfrmSyncMain& Window = Open();
    QCOMPARE(Window.windowTitle(), QString("Обмен данными с кассой"));
    QCOMPARE(Window.size(), QSize(615, 275));
    QVERIFY(Window.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(Window.windowFlags() & Qt::WindowMaximizeButtonHint));
    for (const int Size : {16, 32, 48, 128, 256}) {
      QCOMPARE(QImage(QString(":/icons/quorvel-%1.png").arg(Size)).size(), QSize(Size, Size));
    }
    QVERIFY(Window.windowIcon().availableSizes().contains(QSize(256, 256)));
    QVERIFY(!Find<QSystemTrayIcon>("TrayIcon1")->icon().isNull());
    // The tooltip's first line is the caption; the state follows.
    QCOMPARE(Find<QSystemTrayIcon>("TrayIcon1")->toolTip(),
             QString("Обмен данными с кассой\nОстановлен"));
    QCOMPARE(Find<QMenu>("PopupMenu1")->actions(),
             (QList<QAction*>{Find<QAction>("N2"), Find<QAction>("N3"), Find<QAction>("N1")}));
    QCOMPARE(Find<QAction>("N2")->text(), QString("Открыть"));
    QCOMPARE(Find<QAction>("N3")->text(), QString("Обменяться сейчас"));
    QCOMPARE(Find<QAction>("N1")->text(), QString("Закрыть программу"));
    QCOMPARE(Find<QSystemTrayIcon>("TrayIcon1")->contextMenu(), Find<QMenu>("PopupMenu1"));

    auto* Strip = Find<TTabStrip>("tabStrip");
    QCOMPARE(Strip->geometry(), QRect(0, 0, 615, 34));
    QCOMPARE(Find<QStackedWidget>("pages")->geometry(), QRect(0, 34, 615, 241));
    QCOMPARE(Strip->TabCaption(0), QString("Состояние"));
    QCOMPARE(Strip->TabCaption(1), QString("Настройки"));
    QCOMPARE(Strip->font().pixelSize(), TabFontPixels);

    // The band, the selected tab in the window colour, the divider in white.
    const QImage Picture = Strip->grab().toImage();
    const QRect Selected = Strip->TabRect(0);
    QCOMPARE(Picture.pixelColor(Strip->width() - 2, 2), QColor(101, 120, 135));
    QCOMPARE(Picture.pixelColor(Selected.left() + 2, 2), Window.palette().color(QPalette::Window));
    QCOMPARE(Picture.pixelColor(Selected.right() + 1, 17), QColor(Qt::white));
    QCOMPARE(Picture.pixelColor(Strip->TabRect(1).left() + 2, 2), QColor(101, 120, 135));

    ClickTab(SettingsPage);
    QVERIFY(Find<QWidget>("tsSettings")->isVisibleTo(&Window));
    const QImage After = Strip->grab().toImage();
    QCOMPARE(After.pixelColor(Strip->TabRect(1).left() + 2, 2),
             Window.palette().color(QPalette::Window));
    QCOMPARE(After.pixelColor(Selected.left() + 2, 2), QColor(101, 120, 135));

    // The keyboard turns the pages as well.
    TrayClick();
    QApplication::setActiveWindow(&Window);
    QTest::keyClick(&Window, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(Window.CurrentPage(), int(StatusPage));
    QTest::keyClick(&Window, Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(Window.CurrentPage(), int(SettingsPage));
  }

  void anchorsFollowTheResizedWindow() {
    UseSettings("");
    TfrmSyncMain& Window = Open();
    TrayClick();
    Window.resize(715, 325);
    QCOMPARE(Find<QWidget>("btnSync")->geometry(), QRect(596, 258, 97, 25));
    ClickTab(SettingsPage);
    QCOMPARE(Find<QWidget>("Button3")->geometry(), QRect(484, 258, 97, 25));
    QCOMPARE(Find<QWidget>("Button4")->geometry(), QRect(596, 258, 97, 25));
    QCOMPARE(Find<QWidget>("CheckBox1")->geometry(), QRect(16, 262, 329, 17));
    QCOMPARE(Find<QWidget>("GroupBox1")->geometry(), QRect(3, 3, 609, 78));
    QCOMPARE(Find<QWidget>("tabStrip")->width(), 715);
  }

  void tabOrderOfTheSettingsPage() {
    UseSettings("");
    TfrmSyncMain& Window = Open();
    TrayClick();
    ClickTab(SettingsPage);
    QStringList Order;
    auto* Widget = Find<QWidget>("edtServ");
    do {
      if ((Widget->focusPolicy() & Qt::TabFocus) && Widget->isVisibleTo(&Window))
        Order << Widget->objectName();
      Widget = Widget->nextInFocusChain();
    } while (Widget != Find<QWidget>("edtServ"));
    QCOMPARE(Order, (QStringList{"edtServ", "edtPort", "edtUser", "edtPass", "edtKassaPath",
                                 "Button3", "Button4", "CheckBox1", "edtScalesPath"}));
  }

  void trayClickTogglesAndFirstShowCentres() {
    UseSettings("");
    TfrmSyncMain& Window = Open();
    QVERIFY(!Window.isVisible());
    TrayClick();
    QVERIFY(Window.isVisible());
    QCOMPARE(Window.CurrentPage(), int(StatusPage));
    // Centred up to the frame, whose size is known only once shown.
    const QRect WorkArea = Window.screen()->availableGeometry();
    QVERIFY(qAbs(Window.frameGeometry().center().x() - WorkArea.center().x()) <= 4);
    QVERIFY(qAbs(Window.frameGeometry().center().y() - WorkArea.center().y()) <= 16);

    TrayClick();
    QVERIFY(!Window.isVisible());
    // A double-click arrives as one click and toggles once.
    TrayClick();
    TrayClick(QSystemTrayIcon::DoubleClick);
    QVERIFY(Window.isVisible());

    // Later shows keep the position the window was left at.
    Window.move(WorkArea.topLeft() + QPoint(10, 20));
    const QPoint Left = Window.pos();
    TrayClick();
    TrayClick();
    QCOMPARE(Window.pos(), Left);
  }

  // A later start of the program asks from a thread of the platform's: the
  // window comes to the front, from behind its tray icon or from minimized.
  void bringToFrontFromAnotherThread() {
    UseSettings("");
    for (const bool Tray : {true, false}) {
      TfrmSyncMain& Window = Open(Tray);
      // Behind the tray icon the window starts hidden.
      if (!Tray) Window.showMinimized();
      QTRY_VERIFY(Tray ? !Window.isVisible() : Window.isMinimized());
      std::thread(BringToFrontCall(&Window)).join();
      QTRY_VERIFY(Window.isVisible() && !Window.isMinimized());
      FWindow.reset();
    }
  }

  void minimizeAndCloseHide() {
    UseSettings("server=127.0.0.1\nport=" + std::to_string(RefusingLoopbackPort()) +
                "\nAutoStartThread=1\n");
    TfrmSyncMain& Window = Open();
    // Off the taskbar: the tray icon is the way back.
    QCOMPARE(Window.windowType(), Qt::Tool);
    TrayClick();
    Window.showMinimized();
    QTRY_VERIFY(!Window.isVisible());
    TrayClick();
    QVERIFY(Window.isVisible());
    QVERIFY(!Window.isMinimized());

    QVERIFY(!Window.close());
    QVERIFY(!Window.isVisible());
    // The program and its workers go on.
    QCOMPARE(Text("lbStatus"), QString("Запущен"));
    QVERIFY(!FLink->Controller().chloader->Terminated());
    QVERIFY(Find<QSystemTrayIcon>("TrayIcon1")->isVisible());
    QVERIFY(FWindow->findChild<QPushButton*>("btnClose") == nullptr);
  }

  void withoutTrayTheWindowStaysReachable() {
    UseSettings("");
    TfrmSyncMain& Window = Open(false);
    // Shown at start, centred, and on the taskbar.
    QVERIFY(Window.isVisible());
    QCOMPARE(Window.windowType(), Qt::Window);
    QVERIFY(!Find<QSystemTrayIcon>("TrayIcon1")->isVisible());

    Window.showMinimized();
    QTest::qWait(50);
    QVERIFY(Window.isVisible());
    Window.showNormal();
    QVERIFY(!Window.close());
    QVERIFY(Window.isVisible());
    QVERIFY(Window.isMinimized());

    auto* Close = Find<QPushButton>("btnClose");
    QCOMPARE(Close->text(), QString("Закрыть программу"));
    QCOMPARE(Close->pos(), QPoint(16, 208));
  }

  void handlerErrorIsReportedAndTheProgramGoesOn() {
    UseSettings("");
    FWindow = std::make_unique<TfrmSyncMain>(true, [this](ISyncView& View) {
      dynamic_cast<TfrmSyncMain&>(View).SetErrorReport(
          [this](QWidget*, const QString& Text) { FErrors << Text; });
      struct TFailingControl final : ISyncControl {
        void FormCreate() override {}
        void btnSyncClick() override {
          throw std::runtime_error("Thread creation error: out of threads");
        }
        void ExchangeNow() override {}
      };
      return std::make_unique<TFailingControl>();
    });
    Click("btnSync");
    Click("btnSync");
    QCOMPARE(FErrors, QStringList(2, "Thread creation error: out of threads"));
  }

  // Workers hand their events to the window only through the queued call
  // that wakes the Qt loop: one real cycle against the loopback server ends
  // with its stamp on the status page.
  void workerCycleReachesTheStatusPage() {
    TestFtpServer Server;
    for (const char* Folder : {"log", "reports/checks"})
      std::filesystem::create_directories(Server.Root().Path() + Folder);
    TempDir Till;
    TempDir Scales;
    Till.Write("reports/checks/0001.ch", "receipt");
    UseSettings("");
    std::filesystem::create_directories(FAppDir->Path() + "reports/checks");
    UseLoopbackServer(Server.PortText(), Till.Path(), Scales.Path());
    SetJournalUploadPortForTesting(Server.PortText());
    Open();
    Click("btnSync");
    QTRY_VERIFY_WITH_TIMEOUT(!Settings->ChSync().empty(), 20000);
    QCOMPARE(Text("lbTimeCh"), QString::fromStdString(Settings->ChSync()));
    QCOMPARE(QString::fromStdString(Server.Root().Read("reports/checks/0001.ch")),
             QString("receipt"));
    QVERIFY(FErrors.isEmpty());
    Click("btnSync");
    SetJournalUploadPortForTesting("");
  }

  // The tray icon's look: whether it is the failure look, not the plain one.
  bool TrayShowsFailure() {
    const QImage Shown = Find<QSystemTrayIcon>("TrayIcon1")->icon().pixmap(32).toImage();
    return Shown != FWindow->windowIcon().pixmap(32).toImage();
  }

  // Each failure kind shows under the stamps with its time and the server's
  // or the socket's words, in the tooltip, in one balloon, and in the
  // icon's failure look.
  void failuresReachTheStatusPageAndTheTray() {
    TestFtpServer Server;
    for (const char* Folder : {"log", "scale"})
      std::filesystem::create_directories(Server.Root().Path() + Folder);
    Server.Root().Write("p1.txt", "price one");
    const std::string Refusing = std::to_string(RefusingLoopbackPort());
    const struct {
      const char* Name;
      std::string Port;
      const char* Password;
      const char* Label;
      const char* Kind;
      const char* Words;
    } Cases[] = {
        {"wrong password", Server.PortText(), "wrong", "lbErrorCh", "Чеки, ",
         "Сервер не принял вход: 530"},
        {"server down", Refusing, "pass", "lbErrorScale", "Весы, ", "Сервер недоступен: "},
        {"till folder missing", Server.PortText(), "pass", "lbErrorPrice", "Прайс, ",
         "Файл p1.txt не записан в папку "},
    };
    for (const auto& Case : Cases) {
      qInfo("%s", Case.Name);
      TempDir Till;
      TempDir Scales;
      UseSettings("");
      UseLoopbackServer(Case.Port, Till.Path() + "kassa/", Scales.Path());
      Settings->SetFTPPass(Case.Password);
      FBalloons.clear();
      Open();
      QVERIFY(Text(Case.Label).isEmpty());
      QVERIFY(!TrayShowsFailure());
      Click("btnSync");
      const QString Words = QString::fromUtf8(Case.Words);
      QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>(Case.Label)->toolTip().contains(Words), 10000);
      QVERIFY(!Text(Case.Label).isEmpty());
      QVERIFY(Find<QSystemTrayIcon>("TrayIcon1")->toolTip().startsWith("Обмен данными с кассой\n"));
      QVERIFY(Find<QSystemTrayIcon>("TrayIcon1")->toolTip().contains(Words));
      QVERIFY(TrayShowsFailure());
      QVERIFY(Find<QLabel>(Case.Label)->toolTip().startsWith(Case.Kind));
      // One balloon for the kind.
      QTest::qWait(300);
      QCOMPARE(FBalloons.filter(Words).filter(Case.Kind).size(), 1);
      QVERIFY(Server.Root().Exists("p1.txt"));
      Click("btnSync");
    }
  }

  // "Обменяться сейчас" in the tray menu ends the ten-minute pause: a till
  // folder made after the first cycle gets its price file at once, the
  // error goes, and one balloon says the kind recovered.
  void exchangeNowDeliversAtOnceAndTheRecoveryShowsOnce() {
    TestFtpServer Server;
    for (const char* Folder : {"log", "scale"})
      std::filesystem::create_directories(Server.Root().Path() + Folder);
    Server.Root().Write("p1.txt", "price one");
    TempDir Till;
    TempDir Scales;
    UseSettings("");
    UseLoopbackServer(Server.PortText(), Till.Path() + "kassa/", Scales.Path());
    SetJournalUploadPortForTesting("");
    FBalloons.clear();
    Open();
    Click("btnSync");
    QTRY_VERIFY_WITH_TIMEOUT(!Text("lbErrorPrice").isEmpty(), 10000);
    std::filesystem::create_directories(Till.Path() + "kassa");
    QTest::qWait(300);
    QVERIFY(!Till.Exists("kassa/p1.txt"));
    Find<QAction>("N3")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(Till.Exists("kassa/p1.txt"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(Text("lbErrorPrice").isEmpty(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!Text("lbTimePrice").isEmpty(), 5000);
    QVERIFY(!Server.Root().Exists("p1.txt"));
    QVERIFY(!TrayShowsFailure());
    Click("btnExchange");
    QTest::qWait(500);
    QCOMPARE(FBalloons.filter("обмен восстановлен").size(), 1);
    QVERIFY(FBalloons.last().startsWith("Прайс, "));
    Click("btnSync");
  }

  // A journal upload to a server that takes the connection and never
  // answers holds only its worker: the window's loop keeps turning, and a
  // tray click meanwhile shows the window at once.
  void aSilentJournalServerNeverFreezesTheWindow() {
    constexpr int UploadTimeout = 3000;
    TestFtpServer Server;
    for (const char* Folder : {"log", "scale", "reports/checks"})
      std::filesystem::create_directories(Server.Root().Path() + Folder);
    LoopbackPeer Silent;
    TempDir Till;
    TempDir Scales;
    Till.Write("reports/checks/0001.ch", "receipt");
    UseSettings("");
    std::filesystem::create_directories(FAppDir->Path() + "reports/checks");
    UseLoopbackServer(Server.PortText(), Till.Path(), Scales.Path());
    SetJournalUploadPortForTesting(Silent.PortText());
    SetJournalUploadTimeoutForTesting(UploadTimeout);
    TfrmSyncMain& Window = Open();
    QElapsedTimer Turn;
    qint64 LongestGap = 0;
    QTimer Ticker;
    connect(&Ticker, &QTimer::timeout, this,
            [&] { LongestGap = std::max(LongestGap, Turn.restart()); });
    Click("btnSync");
    Turn.start();
    Ticker.start(20);
    QTRY_VERIFY_WITH_TIMEOUT(Server.Root().Exists("reports/checks/0001.ch"), 10000);
    QVERIFY(Silent.Accept(5000));
    TrayClick();
    QTRY_VERIFY_WITH_TIMEOUT(Window.isVisible(), 1000);
    QTRY_VERIFY_WITH_TIMEOUT(Find<QLabel>("lbErrorCh")->toolTip().contains("Журнал обмена"),
                             UploadTimeout * 3);
    Ticker.stop();
    SetJournalUploadTimeoutForTesting(0);
    SetJournalUploadPortForTesting("");
    QVERIFY2(LongestGap < 1000, qPrintable(QString::number(LongestGap)));
    QVERIFY(Settings->ChSync().empty());
    TrayClick();
    Click("btnSync");
  }

  // Ends the event loop, so it runs last.
  void zz_closeProgramEndsTheLoop() {
    UseSettings("server=127.0.0.1\nport=" + std::to_string(RefusingLoopbackPort()) +
                "\nAutoStartThread=1\n");
    TfrmSyncMain& Window = Open();
    TrayClick();
    QEventLoop Loop;
    QTimer::singleShot(0, Find<QAction>("N1"), &QAction::trigger);
    QTimer::singleShot(5000, &Loop, [&Loop] { Loop.exit(1); });
    QCOMPARE(Loop.exec(), 0);
    QVERIFY(Window.AllowClose());
    QVERIFY(!Window.isVisible());
    QVERIFY(!Find<QSystemTrayIcon>("TrayIcon1")->isVisible());
    // Running workers are not stopped.
    QVERIFY(!FLink->Controller().chloader->Terminated());
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // As the program starts: the socket library, then the window's
  // application with main-thread dispatch woken through its loop.
  if (!LoadSocketLibrary()) return 1;
  QApplication Application(argc, argv);
  Application.setQuitOnLastWindowClosed(false);
  WakeMainThreadThrough(&Application);
  TestWindow Test;
  const int Failures = QTest::qExec(&Test, argc, argv);
  // Workers of the start-up cases are still in their pause: end as the
  // program does, without waiting for them.
  EndProcess(Failures == 0 ? 0 : 1);
}

#include "window_test.moc"
