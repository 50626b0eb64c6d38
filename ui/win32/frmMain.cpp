#include "ui/win32/frmMain.h"

#include <commctrl.h>

#include <cstdio>

#include "platform/errors.h"
#include "platform/wintext.h"
#include "settings/uSettingsClass.h"
#include "ui/win32/ControlIds.h"
#include "ui/win32/FolderDialog.h"
#include "ui/win32/Resources.h"
#include "ui/win32/TabStrip.h"
#include "ui/win32/TaskbarList.h"
#include "workers/MainThreadDispatch.h"

namespace {

constexpr wchar_t PageClass[] = L"TTabSheet";
constexpr int PageWidth = TfrmSyncMain::ClientWidth;
constexpr int PageHeight = TfrmSyncMain::ClientHeight - TTabStrip::StripHeight;
// Tahoma 8 point at 96 dpi.
constexpr int ControlFontPixels = 11;
const COLORREF ErrorColour = RGB(0xB0, 0, 0);

// The screen's pixels per inch; the layout is drawn for 96.
int ScreenDpi() {
  static const int Dpi = [] {
    HDC Screen = GetDC(nullptr);
    const int Found = GetDeviceCaps(Screen, LOGPIXELSY);
    ReleaseDC(nullptr, Screen);
    return Found > 0 ? Found : 96;
  }();
  return Dpi;
}

int Scale(int Length) { return MulDiv(Length, ScreenDpi(), 96); }

TfrmSyncMain* FormOf(HWND Window) {
  return reinterpret_cast<TfrmSyncMain*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
}

bool IsErrorLine(int Id) { return Id >= IdlbErrorPrice && Id <= IdlbErrorScale; }

}  // namespace

void TfrmSyncMain::Register(HINSTANCE Instance) {
  INITCOMMONCONTROLSEX Controls{sizeof Controls, ICC_STANDARD_CLASSES | ICC_TAB_CLASSES};
  InitCommonControlsEx(&Controls);
  WNDCLASSEXW Class{};
  Class.cbSize = sizeof Class;
  Class.hInstance = Instance;
  Class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  Class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  Class.lpfnWndProc = &TfrmSyncMain::WindowProc;
  Class.lpszClassName = MainWindowClass;
  RegisterClassExW(&Class);
  Class.lpfnWndProc = &TfrmSyncMain::PageProc;
  Class.lpszClassName = PageClass;
  RegisterClassExW(&Class);
  TTabStrip::Register(Instance);
}

TfrmSyncMain::TfrmSyncMain(const TControllerFactory& MakeController)
    : FForm(*this, MakeController) {
  HINSTANCE Instance = GetModuleHandleW(nullptr);
  FFont = CreateFontW(-Scale(ControlFontPixels), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  FIcon = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_QUORVEL), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                        LR_DEFAULTCOLOR));
  FSmallIcon = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(IDI_QUORVEL), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  FTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

  // A resizable frame with a system menu and a minimize button, no
  // maximize button, around a client area of the designed size.
  const DWORD Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME;
  const DWORD ExStyle = WS_EX_CONTROLPARENT;
  RECT Frame{0, 0, Scale(ClientWidth), Scale(ClientHeight)};
  AdjustWindowRectEx(&Frame, Style, FALSE, ExStyle);
  CreateWindowExW(ExStyle, MainWindowClass, MainWindowCaption, Style, CW_USEDEFAULT, CW_USEDEFAULT,
                  Frame.right - Frame.left, Frame.bottom - Frame.top, nullptr, nullptr, Instance,
                  this);
  if (FWindow == nullptr) {
    throw EQuorvelError("Cannot create the window: " + WindowsErrorText(GetLastError()));
  }
  SendMessageW(FWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(FIcon));
  SendMessageW(FWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(FSmallIcon));

  FTabStrip = TTabStrip::Create(FWindow, &Scale, {L"Состояние", L"Настройки"});
  FStatusPage = AddPage();
  FSettingsPage = AddPage();
  FTray = std::make_unique<TTrayIcon>(FWindow, FSmallIcon);
  // The icon is in the notification area before the controller shows its
  // first balloon; without one the status page offers the way out.
  FTrayAvailable = FTray->Show();
  BuildStatusPage();
  BuildSettingsPage();
  LayOut();
  ShowPage(StatusPage);
}

TfrmSyncMain::~TfrmSyncMain() {
  if (FWindow != nullptr) DestroyWindow(FWindow);
  FTray.reset();
  DeleteObject(FFont);
  if (FIcon != nullptr) DestroyIcon(FIcon);
  if (FSmallIcon != nullptr) DestroyIcon(FSmallIcon);
}

void TfrmSyncMain::CreateWnd() { DeleteTaskbarTab(FWindow); }

HWND TfrmSyncMain::AddPage() {
  return CreateWindowExW(WS_EX_CONTROLPARENT, PageClass, L"", WS_CHILD | WS_CLIPSIBLINGS, 0,
                         Scale(TTabStrip::StripHeight), Scale(PageWidth), Scale(PageHeight),
                         FWindow, nullptr, GetModuleHandleW(nullptr), nullptr);
}

HWND TfrmSyncMain::AddControl(HWND Page, const wchar_t* Class, const wchar_t* Text, DWORD Style,
                              int Id, TControlPlace Place) {
  HWND Control = CreateWindowExW(0, Class, Text, WS_CHILD | WS_VISIBLE | Style, Scale(Place.Left),
                                 Scale(Place.Top), Scale(Place.Width), Scale(Place.Height), Page,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(Id)),
                                 GetModuleHandleW(nullptr), nullptr);
  SendMessageW(Control, WM_SETFONT, reinterpret_cast<WPARAM>(FFont), FALSE);
  return Control;
}

HWND TfrmSyncMain::AddLabel(HWND Page, const wchar_t* Text, int Id, TControlPlace Place) {
  return AddControl(Page, WC_STATICW, Text, SS_LEFTNOWORDWRAP | SS_NOPREFIX, Id, Place);
}

HWND TfrmSyncMain::AddButton(HWND Page, const wchar_t* Caption, int Id, TControlPlace Place,
                             bool Right) {
  HWND Button = AddControl(Page, WC_BUTTONW, Caption, WS_TABSTOP | BS_PUSHBUTTON, Id, Place);
  Anchor(Button, Right, true);
  return Button;
}

void TfrmSyncMain::Anchor(HWND Control, bool Right, bool Bottom) {
  RECT Place{};
  GetWindowRect(Control, &Place);
  MapWindowPoints(nullptr, GetParent(Control), reinterpret_cast<POINT*>(&Place), 2);
  FAnchored.push_back(
      {Control, Right, Bottom, Scale(PageWidth) - Place.right, Scale(PageHeight) - Place.bottom});
}

void TfrmSyncMain::BuildStatusPage() {
  HWND Page = FStatusPage;
  AddLabel(Page, L"Состояние:", 0, {16, 11, 200, 13});
  AddLabel(Page, L"Время последнего обновления прайса:", 0, {16, 30, 200, 13});
  AddLabel(Page, L"Время последней отправки чеков:", 0, {16, 51, 200, 13});
  AddLabel(Page, L"Время последней прогрузки весов:", 0, {16, 70, 200, 13});
  AddLabel(Page, L"status", IdlbStatus, {219, 11, 380, 13});
  AddLabel(Page, L"TimePrice", IdlbTimePrice, {219, 30, 380, 13});
  AddLabel(Page, L"TimeCh", IdlbTimeCh, {219, 51, 380, 13});
  AddLabel(Page, L"TimeScale", IdlbTimeScale, {219, 70, 380, 13});
  // Each kind's last error below the stamps, cut with an ellipsis where it
  // is longer than the line; empty while all is well.
  for (const int Id : {IdlbErrorPrice, IdlbErrorCh, IdlbErrorScale}) {
    AddControl(Page, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, Id,
               {16, 95 + 19 * (Id - IdlbErrorPrice), PageWidth - 32, 17});
  }
  AddButton(Page, L"Обменяться сейчас", IdbtnExchange, {376, 208, 113, 25}, true);
  AddButton(Page, L"Запустить", IdbtnSync, {496, 208, 97, 25}, true);
  if (!FTrayAvailable) AddButton(Page, L"Закрыть программу", IdbtnClose, {16, 208, 130, 25}, false);
}

void TfrmSyncMain::BuildSettingsPage() {
  HWND Page = FSettingsPage;
  const DWORD Edit = WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
  const DWORD Group = BS_GROUPBOX;
  // The "..." buttons are flat and take no focus: the keyboard moves from
  // the edit box straight on. Controls inside a group box are placed
  // relative to the page; the box only frames them.
  const DWORD FolderButton = BS_PUSHBUTTON | BS_FLAT;

  AddControl(Page, WC_BUTTONW, L" FTP сервер", Group, 0, {3, 3, 609, 78});
  AddLabel(Page, L"IP сервера", 0, {3 + 16, 3 + 19, 90, 13});
  AddControl(Page, WC_EDITW, L"", Edit, IdedtServ, {3 + 112, 3 + 17, 121, 19});
  AddLabel(Page, L"Порт", 0, {3 + 272, 3 + 19, 90, 13});
  AddControl(Page, WC_EDITW, L"", Edit | ES_NUMBER, IdedtPort, {3 + 368, 3 + 17, 121, 19});
  AddLabel(Page, L"Пользователь", 0, {3 + 16, 3 + 44, 90, 13});
  AddControl(Page, WC_EDITW, L"", Edit, IdedtUser, {3 + 112, 3 + 42, 121, 19});
  AddLabel(Page, L"Пароль", 0, {3 + 272, 3 + 44, 90, 13});
  HWND Pass =
      AddControl(Page, WC_EDITW, L"", Edit | ES_PASSWORD, IdedtPass, {3 + 368, 3 + 42, 121, 19});
  SendMessageW(Pass, EM_SETPASSWORDCHAR, L'*', 0);

  AddControl(Page, WC_BUTTONW, L" Касса ", Group, 0, {3, 87, 609, 50});
  AddLabel(Page, L"Каталог кассы", 0, {3 + 16, 87 + 20, 90, 13});
  AddControl(Page, WC_EDITW, L"", Edit, IdedtKassaPath, {3 + 112, 87 + 18, 377, 19});
  AddControl(Page, WC_BUTTONW, L"...", FolderButton, IdSpeedButton1, {3 + 495, 87 + 16, 23, 22});

  AddButton(Page, L"Сохранить", IdButton3, {384, 208, 97, 25}, true);
  AddButton(Page, L"Отменить", IdButton4, {496, 208, 97, 25}, true);
  HWND Check =
      AddControl(Page, WC_BUTTONW, L"Запускать проверку чеков и прайса вместе с программой",
                 WS_TABSTOP | BS_AUTOCHECKBOX, IdCheckBox1, {16, 212, 329, 17});
  Anchor(Check, false, true);

  AddControl(Page, WC_BUTTONW, L" Весы", Group, 0, {3, 143, 609, 50});
  AddLabel(Page, L"Каталог весов", 0, {3 + 16, 143 + 20, 90, 13});
  AddControl(Page, WC_EDITW, L"", Edit, IdedtScalesPath, {3 + 112, 143 + 18, 377, 19});
  AddControl(Page, WC_BUTTONW, L"...", FolderButton, IdSpeedButton2, {3 + 495, 143 + 16, 23, 22});
}

LRESULT CALLBACK TfrmSyncMain::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
  if (Message == WM_NCCREATE) {
    auto* Form =
        static_cast<TfrmSyncMain*>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams);
    Form->FWindow = Window;
    SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Form));
  }
  TfrmSyncMain* Form = FormOf(Window);
  if (Form == nullptr) return DefWindowProcW(Window, Message, WParam, LParam);
  return Form->HandleMessage(Message, WParam, LParam);
}

LRESULT TfrmSyncMain::HandleMessage(UINT Message, WPARAM WParam, LPARAM LParam) {
  switch (Message) {
    case WM_COMMAND: OnCommand(LOWORD(WParam)); return 0;
    case WM_SYSCOMMAND: {
      // A close whose icon would not go stops here, its error shown.
      bool Default = false;
      FForm.Guarded([&] { Default = FForm.WMSysCommand(WParam); });
      if (!Default) return 0;
      // The default handling of a let-through close sends WM_CLOSE.
      FCloseApproved = WParam == TSyncMainForm::ScClose;
      break;
    }
    case WM_CLOSE: {
      // A close request of another kind (a session's tools, another
      // program) is met as the close command of the system menu.
      bool Close = FCloseApproved;
      if (!Close) FForm.Guarded([&] { Close = FForm.WMSysCommand(TSyncMainForm::ScClose); });
      FCloseApproved = false;
      if (Close) DestroyWindow(FWindow);
      return 0;
    }
    case WM_SIZE: LayOut(); return 0;
    case WM_TRAYICON: OnTrayMouse(static_cast<UINT>(LParam)); return 0;
    case WM_SYNCHRONIZE: CheckSynchronize(); return 0;
    case WM_SHOWREQUEST: FForm.Guarded([this] { FForm.OpenClick(); }); return 0;
    case WM_ENDSESSION:
      if (WParam != FALSE) FForm.Guarded([this] { FTray->Remove(); });
      return 0;
    case WM_DESTROY:
      // The icon leaves the notification area with the window; at exit a
      // refusal changes nothing.
      try {
        FTray->Remove();
      } catch (const EQuorvelError&) {
      }
      FWindow = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      // A taskbar that was missing at start-up or restarted since takes the
      // icon (again).
      if (Message == FTaskbarCreated && FTaskbarCreated != 0)
        FTrayAvailable = FTray->Restore() || FTrayAvailable;
      break;
  }
  return DefWindowProcW(FWindow, Message, WParam, LParam);
}

LRESULT CALLBACK TfrmSyncMain::PageProc(HWND Page, UINT Message, WPARAM WParam, LPARAM LParam) {
  TfrmSyncMain* Form = FormOf(GetParent(Page));
  switch (Message) {
    case WM_COMMAND:
      // The page's controls are the window's.
      return SendMessageW(GetParent(Page), Message, WParam, LParam);
    case WM_SIZE:
      if (Form != nullptr) Form->LayOutPage(Page);
      return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      HDC Dc = reinterpret_cast<HDC>(WParam);
      const int Id = GetDlgCtrlID(reinterpret_cast<HWND>(LParam));
      SetTextColor(Dc, IsErrorLine(Id) ? ErrorColour : GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(Dc, GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    default: return DefWindowProcW(Page, Message, WParam, LParam);
  }
}

void TfrmSyncMain::OnCommand(int Id) {
  switch (Id) {
    case IdTabStrip:
      ShowPage(static_cast<int>(SendMessageW(FTabStrip, TCM_GETCURSEL, 0, 0)));
      break;
    case IdbtnSync: FForm.Guarded([this] { FForm.btnSyncClick(); }); break;
    case IdbtnExchange:
    case IdN3Exchange: FForm.Guarded([this] { FForm.ExchangeNow(); }); break;
    case IdButton3: FForm.Guarded([this] { FForm.Button3Click(); }); break;
    case IdButton4: FForm.Guarded([this] { FForm.Button4Click(); }); break;
    case IdSpeedButton1:
      FForm.Guarded([this] { FForm.SpeedButtonClick(TFolderEdit::Kassa); });
      break;
    case IdSpeedButton2:
      FForm.Guarded([this] { FForm.SpeedButtonClick(TFolderEdit::Scales); });
      break;
    case IdN2Open: FForm.Guarded([this] { FForm.OpenClick(); }); break;
    case IdN1Close:
    case IdbtnClose: FForm.Guarded([this] { FForm.N1Click(); }); break;
    default: break;
  }
}

void TfrmSyncMain::OnTrayMouse(UINT MouseMessage) {
  switch (MouseMessage) {
    case WM_LBUTTONDOWN: FTrayPressed = true; break;
    case WM_LBUTTONUP:
      // The release after a double-click has no press of its own, so a
      // double-click toggles the window once.
      if (FTrayPressed) FForm.Guarded([this] { FForm.TrayIcon1Click(); });
      FTrayPressed = false;
      break;
    case WM_RBUTTONUP: ShowTrayMenu(); break;
    default: break;
  }
}

void TfrmSyncMain::ShowTrayMenu() {
  HMENU Menu = CreatePopupMenu();
  AppendMenuW(Menu, MF_STRING, IdN2Open, L"Открыть");
  AppendMenuW(Menu, MF_STRING, IdN3Exchange, L"Обменяться сейчас");
  AppendMenuW(Menu, MF_STRING, IdN1Close, L"Закрыть программу");
  // The menu closes when the user clicks elsewhere only while the window
  // is in the foreground; what waits in the queue runs first.
  SetForegroundWindow(FWindow);
  MSG Pending;
  while (PeekMessageW(&Pending, nullptr, 0, 0, PM_REMOVE)) {
    if (Pending.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(Pending.wParam));
      break;
    }
    TranslateMessage(&Pending);
    DispatchMessageW(&Pending);
  }
  POINT Cursor{};
  GetCursorPos(&Cursor);
  TrackPopupMenu(Menu, TPM_RIGHTBUTTON, Cursor.x, Cursor.y, 0, FWindow, nullptr);
  PostMessageW(FWindow, WM_NULL, 0, 0);
  DestroyMenu(Menu);
}

void TfrmSyncMain::ShowPage(int Page) {
  ShowWindow(FStatusPage, Page == StatusPage ? SW_SHOW : SW_HIDE);
  ShowWindow(FSettingsPage, Page == SettingsPage ? SW_SHOW : SW_HIDE);
}

void TfrmSyncMain::SelectPage(TPage Page) {
  SendMessageW(FTabStrip, TCM_SETCURSEL, Page, 0);
  ShowPage(static_cast<int>(SendMessageW(FTabStrip, TCM_GETCURSEL, 0, 0)));
}

bool TfrmSyncMain::PreTranslate(MSG& Message) {
  if (FWindow == nullptr || (Message.hwnd != FWindow && !IsChild(FWindow, Message.hwnd)))
    return false;
  if (Message.message == WM_KEYDOWN && Message.wParam == VK_TAB && GetKeyState(VK_CONTROL) < 0) {
    // With two pages, forward (Ctrl+Tab) and back (Ctrl+Shift+Tab) meet.
    const int Current = static_cast<int>(SendMessageW(FTabStrip, TCM_GETCURSEL, 0, 0));
    SelectPage(Current == StatusPage ? SettingsPage : StatusPage);
    return true;
  }
  return IsDialogMessageW(FWindow, &Message) != FALSE;
}

void TfrmSyncMain::LayOut() {
  RECT Client{};
  GetClientRect(FWindow, &Client);
  const int Strip = Scale(TTabStrip::StripHeight);
  MoveWindow(FTabStrip, 0, 0, Client.right, Strip, TRUE);
  for (HWND Page : {FStatusPage, FSettingsPage})
    MoveWindow(Page, 0, Strip, Client.right, Client.bottom - Strip, TRUE);
}

void TfrmSyncMain::LayOutPage(HWND Page) {
  RECT Client{};
  GetClientRect(Page, &Client);
  for (const TAnchored& Item : FAnchored) {
    if (GetParent(Item.Control) != Page) continue;
    RECT Place{};
    GetWindowRect(Item.Control, &Place);
    MapWindowPoints(nullptr, Page, reinterpret_cast<POINT*>(&Place), 2);
    const int Width = Place.right - Place.left;
    const int Height = Place.bottom - Place.top;
    if (Item.Right) Place.left = Client.right - Item.RightGap - Width;
    if (Item.Bottom) Place.top = Client.bottom - Item.BottomGap - Height;
    SetWindowPos(Item.Control, nullptr, Place.left, Place.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

std::string TfrmSyncMain::ControlText(HWND Control) const {
  std::wstring Text(static_cast<size_t>(GetWindowTextLengthW(Control)) + 1, L'\0');
  Text.resize(
      static_cast<size_t>(GetWindowTextW(Control, Text.data(), static_cast<int>(Text.size()))));
  return Narrow(Text);
}

void TfrmSyncMain::SetControlText(HWND Page, int Id, const std::string& Text) {
  SetWindowTextW(GetDlgItem(Page, Id), Widen(Text).c_str());
}

void TfrmSyncMain::SetStatusText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbStatus, Text);
}
void TfrmSyncMain::SetTimePriceText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbTimePrice, Text);
}
void TfrmSyncMain::SetTimeChText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbTimeCh, Text);
}
void TfrmSyncMain::SetTimeScaleText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbTimeScale, Text);
}
void TfrmSyncMain::SetErrorPriceText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbErrorPrice, Text);
}
void TfrmSyncMain::SetErrorChText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbErrorCh, Text);
}
void TfrmSyncMain::SetErrorScaleText(const std::string& Text) {
  SetControlText(FStatusPage, IdlbErrorScale, Text);
}

void TfrmSyncMain::SetSyncButtonCaption(const std::string& Caption) {
  SetControlText(FStatusPage, IdbtnSync, Caption);
}

void TfrmSyncMain::FillSettingsPage(const TQuorvelSettings& Source) {
  SetControlText(FSettingsPage, IdedtServ, Source.FTPServer());
  SetControlText(FSettingsPage, IdedtPort, Source.FTPPort());
  SetControlText(FSettingsPage, IdedtUser, Source.FTPUser());
  SetControlText(FSettingsPage, IdedtPass, Source.FTPPass());
  SetControlText(FSettingsPage, IdedtKassaPath, Source.KassaPath());
  SetControlText(FSettingsPage, IdedtScalesPath, Source.ScalePath());
  CheckDlgButton(FSettingsPage, IdCheckBox1,
                 Source.AutoStartThread() ? BST_CHECKED : BST_UNCHECKED);
}

void TfrmSyncMain::SetTrayState(const std::string& Tooltip, bool Failed) {
  FTray->SetState(Tooltip, Failed);
}

void TfrmSyncMain::LogOutcome(const std::string& Line) {
  std::fprintf(stderr, "%s\n", Line.c_str());
  std::fflush(stderr);
}

TSettingsPageValues TfrmSyncMain::SettingsPageValues() const {
  const auto Text = [this](int Id) { return ControlText(GetDlgItem(FSettingsPage, Id)); };
  return {Text(IdedtServ),      Text(IdedtPort),
          Text(IdedtUser),      Text(IdedtPass),
          Text(IdedtKassaPath), IsDlgButtonChecked(FSettingsPage, IdCheckBox1) == BST_CHECKED,
          Text(IdedtScalesPath)};
}

void TfrmSyncMain::SetFolderEditText(TFolderEdit Edit, const std::string& Text) {
  SetControlText(FSettingsPage, Edit == TFolderEdit::Kassa ? IdedtKassaPath : IdedtScalesPath,
                 Text);
}

std::optional<std::string> TfrmSyncMain::BrowseForFolder(const std::string& Instruction) {
  return ::BrowseForFolder(FWindow, Instruction);
}

void TfrmSyncMain::ShowWindowNormal() { ShowWindow(FWindow, SW_SHOWNORMAL); }

TScreenRect TfrmSyncMain::WorkArea() const {
  MONITORINFO Info{};
  Info.cbSize = sizeof Info;
  GetMonitorInfoW(MonitorFromWindow(FWindow, MONITOR_DEFAULTTOPRIMARY), &Info);
  const RECT& Area = Info.rcWork;
  return {Area.left, Area.top, Area.right - Area.left, Area.bottom - Area.top};
}

TScreenRect TfrmSyncMain::FrameRect() const {
  RECT Frame{};
  GetWindowRect(FWindow, &Frame);
  return {Frame.left, Frame.top, Frame.right - Frame.left, Frame.bottom - Frame.top};
}

void TfrmSyncMain::MoveFrame(int Left, int Top) {
  SetWindowPos(FWindow, nullptr, Left, Top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TfrmSyncMain::ReportError(const std::string& Text) {
  MessageBoxW(FWindow, Widen(Text).c_str(), MainWindowCaption, MB_OK | MB_ICONERROR);
}
