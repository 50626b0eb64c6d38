#include <gtest/gtest.h>
// The common controls' header needs windows.h before it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/wintext.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"
#include "ui/win32/ControlIds.h"
#include "windows/support/AgentWindow.h"

// quorvel.exe with its Win32 window, driven from this second program by
// window messages as a user's clicks arrive: the tray icon's callback
// message, system commands, button clicks and texts of the controls. Each
// case runs its own copy of the program in a fresh folder, beside its own
// Quorvel.ini.

namespace {

constexpr DWORD Patience = 20000;
// What a plain start without a Quorvel.ini shows in its balloon.
const std::string Started = "Программа запущена";
const std::string Running = "Синхронизация работает";

std::wstring ProgramUnderTest() {
  std::wstring Path = Widen("Z:" QUORVEL_PROGRAM);
  for (wchar_t& c : Path)
    if (c == L'/') c = L'\\';
  return Path;
}

// The text of a settings file as it is kept (UTF-16 with a byte-order mark,
// or else ANSI, here ASCII), in UTF-8.
std::string SettingsText(const std::string& Bytes) {
  if (Bytes.size() >= 2 && Bytes[0] == '\xFF' && Bytes[1] == '\xFE') {
    std::wstring Wide((Bytes.size() - 2) / 2, L'\0');
    Bytes.copy(reinterpret_cast<char*>(Wide.data()), Wide.size() * 2, 2);
    return Narrow(Wide);
  }
  return Bytes;
}

// The keys of the settings file's lines "key=value", in order.
std::vector<std::string> KeysOf(const std::string& Text) {
  std::vector<std::string> Keys;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) End = Text.size();
    const std::string Line = Text.substr(Start, End - Start);
    const size_t Equals = Line.find('=');
    if (Equals != std::string::npos) Keys.push_back(Line.substr(0, Equals));
    Start = End + 1;
  }
  return Keys;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryW(Widen(AgentFolder()).c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(ProgramUnderTest().c_str(), Widen(Program()).c_str(), TRUE));
  }
  void TearDown() override {
    // Workers of the agent hold its folder until it ends.
    if (Agent) {
      Agent->Command(IdN1Close);
      Agent->WaitForExit(Patience);
    }
    Agent.reset();
  }

  std::string AgentFolder() const { return Work.Path() + "agent\\"; }
  std::string Program() const { return AgentFolder() + "quorvel.exe"; }
  std::string SettingsFile() const { return AgentFolder() + "Quorvel.ini"; }

  void WriteSettings(const std::string& Lines) {
    SaveFileBytes(SettingsFile(), "[main]\r\n" + Lines);
  }
  std::string Settings() const {
    return FileExists(SettingsFile()) ? SettingsText(LoadFileBytes(SettingsFile())) : "";
  }
  // Standard error of the agent, its line ends as "\n".
  std::string Said() const {
    std::string Text = LoadFileBytes(Work.Path() + "stderr.txt");
    std::erase(Text, '\r');
    return Text;
  }

  // Starts the agent and waits for its window.
  TAgentWindow& Start(int ShowCommand = SW_SHOWNORMAL) {
    Agent = TAgentWindow::Start(Widen(Program()), ShowCommand, Widen(Work.Path() + "stderr.txt"));
    EXPECT_NE(Agent, nullptr);
    EXPECT_NE(Agent->Window(Patience), nullptr);
    // The window is made before its pages; the first balloon comes once
    // both pages are filled.
    EXPECT_TRUE(TAgentWindow::WaitUntil([&] { return !Said().empty(); }, Patience));
    return *Agent;
  }
  bool WaitText(int Id, const std::wstring& Text) {
    return TAgentWindow::WaitUntil([&] { return Agent->Text(Id) == Text; }, Patience);
  }
  bool WaitSaid(const std::string& Text) {
    return TAgentWindow::WaitUntil([&] { return Said().find(Text) != std::string::npos; },
                                   Patience);
  }
  // The tray icon clicked: a press and its release.
  void ClickTray() {
    Agent->TrayMouse(WM_LBUTTONDOWN);
    Agent->TrayMouse(WM_LBUTTONUP);
  }
  bool WaitVisible(bool Visible) {
    return TAgentWindow::WaitUntil([&] { return Agent->Visible() == Visible; }, Patience);
  }
  int SelectedPage() { return static_cast<int>(Agent->Send(IdTabStrip, TCM_GETCURSEL)); }
  void SelectPage(int Page) { Agent->Send(IdTabStrip, TCM_SETCURSEL, Page); }

  TempDir Work;
  std::unique_ptr<TAgentWindow> Agent;
};

TEST_F(WindowTest, StartsHiddenBehindItsIconWithOneBalloon) {
  Start();
  EXPECT_FALSE(Agent->Visible());
  EXPECT_EQ(Agent->Caption(), MainWindowCaption);
  EXPECT_EQ(Agent->Text(IdlbStatus), L"Остановлен");
  EXPECT_EQ(Agent->Text(IdbtnSync), L"Запустить");
  ASSERT_TRUE(WaitSaid(Started));
  Sleep(300);
  EXPECT_EQ(Said(), Started + "\n");
}

// The show command a program is launched with decides whether the window
// shows at start.
struct TShowCase {
  const char* Name;
  int ShowCommand;
  bool Visible;
  bool Minimized;
  bool Maximized;
};

void PrintTo(const TShowCase& Case, std::ostream* Out) { *Out << Case.Name; }

class ShowCommandTest : public WindowTest, public ::testing::WithParamInterface<TShowCase> {};

TEST_P(ShowCommandTest, DecidesTheFirstLook) {
  const TShowCase& Case = GetParam();
  Start(Case.ShowCommand);
  ASSERT_TRUE(WaitSaid(Started));
  EXPECT_TRUE(WaitVisible(Case.Visible));
  EXPECT_EQ(Agent->Minimized(), Case.Minimized);
  EXPECT_EQ(Agent->Maximized(), Case.Maximized);
}

INSTANTIATE_TEST_SUITE_P(
    Launches, ShowCommandTest,
    ::testing::Values(TShowCase{"Normal", SW_SHOWNORMAL, false, false, false},
                      TShowCase{"Default", SW_SHOWDEFAULT, false, false, false},
                      TShowCase{"Show", SW_SHOW, false, false, false},
                      TShowCase{"Maximized", SW_SHOWMAXIMIZED, true, false, true},
                      TShowCase{"MinimizedInactive", SW_SHOWMINNOACTIVE, true, true, false}),
    [](const ::testing::TestParamInfo<TShowCase>& Case) { return std::string(Case.param.Name); });

TEST_F(WindowTest, TrayClicksShowAndHideAndTheFirstShowIsCentred) {
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  EXPECT_EQ(SelectedPage(), 0);
  // Shown first, then placed: the place is waited for.
  RECT Area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &Area, 0);
  const auto Centred = [&] {
    const RECT Frame = Agent->WindowRect();
    return std::abs((Frame.left + Frame.right) / 2 - (Area.left + Area.right) / 2) <= 2 &&
           std::abs((Frame.top + Frame.bottom) / 2 - (Area.top + Area.bottom) / 2) <= 2;
  };
  EXPECT_TRUE(TAgentWindow::WaitUntil(Centred, Patience));

  ClickTray();
  ASSERT_TRUE(WaitVisible(false));
  // A double-click toggles once: its second release has no press of its own.
  Agent->TrayMouse(WM_LBUTTONDOWN);
  Agent->TrayMouse(WM_LBUTTONUP);
  Agent->TrayMouse(WM_LBUTTONDBLCLK);
  Agent->TrayMouse(WM_LBUTTONUP);
  ASSERT_TRUE(WaitVisible(true));
  Sleep(300);
  EXPECT_TRUE(Agent->Visible());
  // A later show keeps the place the window was moved to.
  SetWindowPos(Agent->Window(), nullptr, 10, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ClickTray();
  ASSERT_TRUE(WaitVisible(false));
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  EXPECT_EQ(Agent->WindowRect().left, 10);
  EXPECT_EQ(Agent->WindowRect().top, 20);
}

TEST_F(WindowTest, MinimizeAndCloseOnlyHideTheWindow) {
  Start();
  for (const WPARAM Command : {WPARAM{SC_MINIMIZE}, WPARAM{SC_CLOSE}}) {
    ClickTray();
    ASSERT_TRUE(WaitVisible(true));
    Agent->SysCommand(Command);
    EXPECT_TRUE(WaitVisible(false)) << Command;
    EXPECT_FALSE(Agent->Minimized()) << Command;
  }
  // A close request of another kind is met as the system menu's close.
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  PostMessageW(Agent->Window(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(WaitVisible(false));
  // A command whose low bits are set is not the close command.
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  Agent->SysCommand(SC_CLOSE | 2);
  Sleep(300);
  EXPECT_TRUE(Agent->Running());
  EXPECT_FALSE(Agent->WaitForExit(300).has_value());
}

// The tray icon's menu, opened by a right click and worked by the keyboard
// as a user does: the first item shows the window, the last ends the program.
TEST_F(WindowTest, TheIconsMenuOpensTheWindowAndEndsTheProgram) {
  Start();
  const auto OpenMenu = [&] {
    Agent->TrayMouse(WM_RBUTTONUP);
    HWND Menu = nullptr;
    EXPECT_TRUE(TAgentWindow::WaitUntil(
        [&] {
          Menu = Agent->OtherWindow(L"#32768");
          return Menu != nullptr && IsWindowVisible(Menu);
        },
        Patience));
    return Menu;
  };
  const auto Choose = [](HWND Menu, WPARAM Key) {
    PostMessageW(Menu, WM_KEYDOWN, Key, 0);
    PostMessageW(Menu, WM_KEYDOWN, VK_RETURN, 0);
  };
  Choose(OpenMenu(), VK_DOWN);
  EXPECT_TRUE(WaitVisible(true));
  Agent->SysCommand(SC_MINIMIZE);
  ASSERT_TRUE(WaitVisible(false));
  Choose(OpenMenu(), VK_UP);
  const std::optional<DWORD> ExitCode = Agent->WaitForExit(Patience);
  ASSERT_TRUE(ExitCode.has_value());
  EXPECT_EQ(*ExitCode, 0u);
  Agent.reset();
}

TEST_F(WindowTest, CloseFromTheTrayMenuEndsTheProgramWhileWorkersRun) {
  const TestFtpServer Server;
  WriteSettings("server=127.0.0.1\r\nport=" + Server.PortText() +
                "\r\nuser=user\r\npass=pass\r\nAutoStartThread=1\r\n");
  Start();
  ASSERT_TRUE(WaitText(IdlbStatus, L"Запущен"));
  Agent->Command(IdN1Close);
  const std::optional<DWORD> ExitCode = Agent->WaitForExit(10000);
  ASSERT_TRUE(ExitCode.has_value());
  EXPECT_EQ(*ExitCode, 0u);
  EXPECT_EQ(Said(), Running + "\n");
  Agent.reset();
}

// Whether the workers start with the program.
struct TAutoStartCase {
  std::string Name;
  std::string Lines;
  std::wstring Status;
  std::wstring Button;
  std::string Balloon;
};

void PrintTo(const TAutoStartCase& Case, std::ostream* Out) { *Out << Case.Name; }

class AutoStartTest : public WindowTest, public ::testing::WithParamInterface<TAutoStartCase> {};

TEST_P(AutoStartTest, FollowsTheSwitchAndTheServer) {
  WriteSettings(GetParam().Lines);
  Start();
  EXPECT_TRUE(WaitSaid(GetParam().Balloon));
  EXPECT_EQ(Agent->Text(IdlbStatus), GetParam().Status);
  EXPECT_EQ(Agent->Text(IdbtnSync), GetParam().Button);
  // The start's one balloon comes first; failures of the workers' cycles
  // may follow it.
  EXPECT_EQ(Said().substr(0, Said().find('\n') + 1), GetParam().Balloon + "\n");
  EXPECT_EQ(Said().find(GetParam().Balloon == Running ? Started : Running), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, AutoStartTest,
    ::testing::Values(TAutoStartCase{"OnWithServer",
                                     "server=127.0.0.1\r\nport=1\r\nAutoStartThread=1\r\n",
                                     L"Запущен", L"Остановить", Running},
                      TAutoStartCase{"OnWithoutServer", "server=\r\nAutoStartThread=1\r\n",
                                     L"Остановлен", L"Запустить", Started},
                      TAutoStartCase{"Off", "server=127.0.0.1\r\nAutoStartThread=0\r\n",
                                     L"Остановлен", L"Запустить", Started}),
    [](const ::testing::TestParamInfo<TAutoStartCase>& Case) { return Case.param.Name; });

TEST_F(WindowTest, TheButtonStartsAndStops) {
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  Agent->Click(IdbtnSync);
  EXPECT_TRUE(WaitText(IdlbStatus, L"Запущен"));
  EXPECT_EQ(Agent->Text(IdbtnSync), L"Остановить");
  Agent->Click(IdbtnSync);
  EXPECT_TRUE(WaitText(IdlbStatus, L"Остановлен"));
  EXPECT_EQ(Agent->Text(IdbtnSync), L"Запустить");
  EXPECT_TRUE(WaitSaid("Синхронизация остановлена"));
}

TEST_F(WindowTest, SaveWritesTheSevenKeysInOrderAndShowsTheStatusPage) {
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  SelectPage(1);
  ASSERT_EQ(SelectedPage(), 1);
  Agent->SetText(IdedtServ, L"ftp.shop");
  Agent->SetText(IdedtPort, L"2121");
  Agent->SetText(IdedtUser, L"kassa");
  Agent->SetText(IdedtPass, L"secret");
  Agent->SetText(IdedtKassaPath, L"C:\\Kassa");
  Agent->SetText(IdedtScalesPath, L"C:\\Весы\\");
  Agent->Click(IdCheckBox1);
  ASSERT_TRUE(TAgentWindow::WaitUntil([&] { return Agent->Checked(IdCheckBox1); }, Patience));
  Agent->Click(IdButton3);
  ASSERT_TRUE(TAgentWindow::WaitUntil([&] { return SelectedPage() == 0; }, Patience));
  const std::string Text = Settings();
  EXPECT_EQ(KeysOf(Text), (std::vector<std::string>{"server", "port", "user", "pass", "kassaPath",
                                                    "AutoStartThread", "ScalePath"}));
  for (const char* Line : {"server=ftp.shop", "port=2121", "user=kassa", "pass=secret",
                           "kassaPath=C:\\Kassa\r", "AutoStartThread=1", "ScalePath=C:\\Весы\\"})
    EXPECT_NE(Text.find(Line), std::string::npos) << Line << " in " << Text;
  // Saved settings reach the page again after a restart.
  Agent->Command(IdN1Close);
  ASSERT_TRUE(Agent->WaitForExit(Patience).has_value());
  Start();
  EXPECT_EQ(Agent->Text(IdedtServ), L"ftp.shop");
  EXPECT_EQ(Agent->Text(IdedtScalesPath), L"C:\\Весы\\");
  EXPECT_TRUE(Agent->Checked(IdCheckBox1));
}

TEST_F(WindowTest, CancelRestoresThePageAndKeepsItSelected) {
  WriteSettings(
      "server=10.0.0.5\r\nport=21\r\nuser=u\r\npass=p\r\nkassaPath=C:\\K\\\r\n"
      "ScalePath=C:\\S\\\r\nAutoStartThread=0\r\n");
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  SelectPage(1);
  for (const int Id : {IdedtServ, IdedtPort, IdedtUser, IdedtPass, IdedtKassaPath, IdedtScalesPath})
    Agent->SetText(Id, L"changed");
  Agent->Click(IdCheckBox1);
  ASSERT_TRUE(TAgentWindow::WaitUntil([&] { return Agent->Checked(IdCheckBox1); }, Patience));
  Agent->Click(IdButton4);
  ASSERT_TRUE(WaitText(IdedtServ, L"10.0.0.5"));
  EXPECT_EQ(Agent->Text(IdedtPort), L"21");
  EXPECT_EQ(Agent->Text(IdedtUser), L"u");
  EXPECT_EQ(Agent->Text(IdedtPass), L"p");
  EXPECT_EQ(Agent->Text(IdedtKassaPath), L"C:\\K\\");
  EXPECT_EQ(Agent->Text(IdedtScalesPath), L"C:\\S\\");
  EXPECT_FALSE(Agent->Checked(IdCheckBox1));
  EXPECT_EQ(SelectedPage(), 1);
}

TEST_F(WindowTest, ARefusedSaveShowsTheErrorAndKeepsThePage) {
  WriteSettings("server=old\r\n");
  const std::string Before = LoadFileBytes(SettingsFile());
  ASSERT_TRUE(SetFileAttributesW(Widen(SettingsFile()).c_str(), FILE_ATTRIBUTE_READONLY));
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  SelectPage(1);
  Agent->SetText(IdedtServ, L"new");
  Agent->Click(IdButton3);
  HWND Box = nullptr;
  ASSERT_TRUE(TAgentWindow::WaitUntil(
      [&] { return (Box = Agent->OtherWindow(L"#32770")) != nullptr; }, Patience));
  // The message box's text is its static control, filled once the box is
  // made.
  wchar_t Message[1024] = L"";
  EXPECT_TRUE(TAgentWindow::WaitUntil(
      [&] {
        GetDlgItemTextW(Box, 0xFFFF, Message, 1024);
        return Narrow(Message).find("Quorvel.ini") != std::string::npos;
      },
      Patience))
      << Narrow(Message);
  PostMessageW(Box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(
      TAgentWindow::WaitUntil([&] { return Agent->OtherWindow(L"#32770") == nullptr; }, Patience));
  EXPECT_EQ(SelectedPage(), 1);
  EXPECT_TRUE(Agent->Running());
  EXPECT_EQ(LoadFileBytes(SettingsFile()), Before);
  SetFileAttributesW(Widen(SettingsFile()).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowTest, TheFolderButtonsOpenTheShellDialogAndCancelChangesNothing) {
  WriteSettings("kassaPath=C:\\K\\\r\nScalePath=C:\\S\\\r\n");
  Start();
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  SelectPage(1);
  for (const int Button : {IdSpeedButton1, IdSpeedButton2}) {
    Agent->Click(Button);
    HWND Dialog = nullptr;
    ASSERT_TRUE(TAgentWindow::WaitUntil(
        [&] { return (Dialog = Agent->OtherWindow(L"#32770")) != nullptr; }, Patience));
    // Modal: the window waits for the dialog.
    EXPECT_TRUE(TAgentWindow::WaitUntil([&] { return IsWindowEnabled(Agent->Window()) == FALSE; },
                                        Patience));
    // The dialog shows before it has filled its controls.
    const auto ShowsInstruction = [&] {
      for (HWND Child = GetWindow(Dialog, GW_CHILD); Child != nullptr;
           Child = GetWindow(Child, GW_HWNDNEXT)) {
        wchar_t Text[256] = L"";
        GetWindowTextW(Child, Text, 256);
        if (std::wstring(Text) == L"Выберите директорию кассы") return true;
      }
      return false;
    };
    EXPECT_TRUE(TAgentWindow::WaitUntil(ShowsInstruction, Patience)) << Button;
    PostMessageW(Dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(TAgentWindow::WaitUntil([&] { return IsWindowEnabled(Agent->Window()) != FALSE; },
                                        Patience));
  }
  EXPECT_EQ(Agent->Text(IdedtKassaPath), L"C:\\K\\");
  EXPECT_EQ(Agent->Text(IdedtScalesPath), L"C:\\S\\");
}

TEST_F(WindowTest, SettingsControlsAsTheTillUserKnowsThem) {
  Start();
  HWND Page = GetParent(Agent->Control(IdedtServ));
  // Tab order on the page: FTP group, till folder, save, cancel, the
  // switch, scales folder; the "..." buttons take no focus.
  std::vector<int> Order;
  HWND Control = Agent->Control(IdedtServ);
  for (int i = 0; i < 9; ++i) {
    Order.push_back(GetDlgCtrlID(Control));
    Control = GetNextDlgTabItem(Page, Control, FALSE);
  }
  EXPECT_EQ(Order, (std::vector<int>{IdedtServ, IdedtPort, IdedtUser, IdedtPass, IdedtKassaPath,
                                     IdButton3, IdButton4, IdCheckBox1, IdedtScalesPath}));
  EXPECT_NE(GetWindowLongW(Agent->Control(IdedtPort), GWL_STYLE) & ES_NUMBER, 0);
  EXPECT_EQ(Agent->Send(IdedtPass, EM_GETPASSWORDCHAR), L'*');
  // Places inside the page, at 96 dpi.
  struct TPlace {
    int Id, Left, Top, Width, Height;
  };
  for (const TPlace& Place :
       {TPlace{IdedtServ, 115, 20, 121, 19}, TPlace{IdedtPass, 371, 45, 121, 19},
        TPlace{IdedtKassaPath, 115, 105, 377, 19}, TPlace{IdSpeedButton2, 498, 159, 23, 22},
        TPlace{IdCheckBox1, 16, 212, 329, 17}, TPlace{IdButton3, 384, 208, 97, 25},
        TPlace{IdButton4, 496, 208, 97, 25}}) {
    RECT Rect = {};
    GetWindowRect(Agent->Control(Place.Id), &Rect);
    MapWindowPoints(nullptr, GetParent(Agent->Control(Place.Id)), reinterpret_cast<POINT*>(&Rect),
                    2);
    EXPECT_EQ(Rect.left, Place.Left) << Place.Id;
    EXPECT_EQ(Rect.top, Place.Top) << Place.Id;
    EXPECT_EQ(Rect.right - Rect.left, Place.Width) << Place.Id;
    EXPECT_EQ(Rect.bottom - Rect.top, Place.Height) << Place.Id;
  }
  RECT Client{};
  GetClientRect(Agent->Window(), &Client);
  EXPECT_EQ(Client.right, 615);
  EXPECT_EQ(Client.bottom, 275);
}

TEST_F(WindowTest, FailuresShowUnderTheStamps) {
  // A port where nothing listens: every kind fails to connect.
  WriteSettings("server=127.0.0.1\r\nport=1\r\nuser=u\r\npass=p\r\nAutoStartThread=1\r\n");
  Start();
  for (const auto& [Id, Kind] :
       {std::pair{IdlbErrorPrice, "Прайс, "}, std::pair{IdlbErrorCh, "Чеки, "},
        std::pair{IdlbErrorScale, "Весы, "}}) {
    EXPECT_TRUE(TAgentWindow::WaitUntil([&] { return Narrow(Agent->Text(Id)).rfind(Kind, 0) == 0; },
                                        Patience))
        << Narrow(Agent->Text(Id));
  }
}

// One real exchange in the windowed program, waited for on the status page,
// then "Обменяться сейчас" ends the workers' pause for a second one.
TEST_F(WindowTest, AnExchangeReachesTheStatusPageAndExchangeNowRunsAnother) {
  const TestFtpServer Server;
  Server.Root().Write("log/.keep", "");
  Server.Root().Write("reports/checks/.keep", "");
  Server.Root().Write("scale/plu.dat", "plu");
  Server.Root().Write("p1.txt", "price one");
  const TempDir Till;
  Till.Write("reports/checks/0001.ch", "receipt");
  WriteSettings("server=127.0.0.1\r\nport=" + Server.PortText() +
                "\r\nuser=user\r\npass=pass\r\nkassaPath=" + Till.Path() +
                "\r\nScalePath=" + Till.Path() + "\r\nAutoStartThread=1\r\n");
  Start();
  for (const int Id : {IdlbTimePrice, IdlbTimeCh, IdlbTimeScale}) {
    EXPECT_TRUE(TAgentWindow::WaitUntil([&] { return Agent->Text(Id).size() == 19; }, Patience))
        << Id;
  }
  EXPECT_EQ(Till.Read("p1.txt"), "price one");
  EXPECT_EQ(Till.Read("plu.dat"), "plu");
  EXPECT_EQ(Server.Root().Read("reports/checks/0001.ch"), "receipt");
  EXPECT_EQ(Agent->Text(IdlbErrorPrice), L"");

  Server.Root().Write("p2.txt", "price two");
  ClickTray();
  ASSERT_TRUE(WaitVisible(true));
  Agent->Click(IdbtnExchange);
  EXPECT_TRUE(TAgentWindow::WaitUntil([&] { return Till.Exists("p2.txt"); }, Patience));
}

TEST_F(WindowTest, ASecondStartInTheFolderBringsTheWindowForward) {
  Start();
  ASSERT_FALSE(Agent->Visible());
  std::unique_ptr<TAgentWindow> Second =
      TAgentWindow::Start(Widen(Program()), SW_SHOWNORMAL, Widen(Work.Path() + "second.txt"));
  ASSERT_NE(Second, nullptr);
  EXPECT_TRUE(Second->WaitForExit(Patience).has_value());
  EXPECT_TRUE(WaitVisible(true));
}

// The program carries its icon in the tray's and the shell's sizes, its
// version information and its manifest.
TEST(ProgramResources, IconVersionAndManifest) {
  HMODULE Program = LoadLibraryExW(ProgramUnderTest().c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(Program, nullptr);
  const auto Resource = [&](LPCSTR Type) -> std::string {
    HRSRC Found = FindResourceA(Program, MAKEINTRESOURCEA(1), Type);
    if (Found == nullptr) return {};
    const auto* Bytes = static_cast<const char*>(LockResource(LoadResource(Program, Found)));
    return std::string(Bytes, SizeofResource(Program, Found));
  };
  // A group of icons: a count, then 14 bytes an icon, its width first (0
  // standing for 256).
  const std::string Icons = Resource(RT_GROUP_ICON);
  ASSERT_GE(Icons.size(), 6u);
  std::vector<int> Sizes;
  for (size_t Entry = 6; Entry + 14 <= Icons.size(); Entry += 14)
    Sizes.push_back(Icons[Entry] == 0 ? 256 : static_cast<unsigned char>(Icons[Entry]));
  EXPECT_EQ(Sizes, (std::vector<int>{16, 32, 48, 128, 256}));
  const std::string Manifest = Resource(RT_MANIFEST);
  for (const char* Part : {"Microsoft.Windows.Common-Controls", "6.0.0.0", "asInvoker", "dpiAware"})
    EXPECT_NE(Manifest.find(Part), std::string::npos) << Part;
  FreeLibrary(Program);

  DWORD Ignored = 0;
  std::vector<char> Version(GetFileVersionInfoSizeW(ProgramUnderTest().c_str(), &Ignored));
  ASSERT_FALSE(Version.empty());
  ASSERT_TRUE(GetFileVersionInfoW(ProgramUnderTest().c_str(), 0, static_cast<DWORD>(Version.size()),
                                  Version.data()));
  for (const auto& [Key, Value] : {std::pair{L"ProductName", L"Quorvel Sync"},
                                   std::pair{L"FileDescription", L"Обмен данными с кассой"}}) {
    wchar_t* Text = nullptr;
    UINT Length = 0;
    ASSERT_TRUE(VerQueryValueW(Version.data(),
                               (std::wstring(L"\\StringFileInfo\\041904B0\\") + Key).c_str(),
                               reinterpret_cast<void**>(&Text), &Length));
    EXPECT_EQ(std::wstring(Text), Value);
  }
}

}  // namespace
