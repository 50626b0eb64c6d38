#include "ui/win32/TabStrip.h"

#include <commctrl.h>

#include <utility>

#include "ui/win32/ControlIds.h"

namespace {

constexpr wchar_t StripClass[] = L"TTabStrip";
const COLORREF BandColour = RGB(101, 120, 135);
// Room on each side of a caption inside its tab, at 96 dpi.
constexpr int CaptionPadding = 12;
// Tahoma 18 point at 96 dpi.
constexpr int TabFontPixels = 24;

}  // namespace

void TTabStrip::Register(HINSTANCE Instance) {
  WNDCLASSEXW Class{};
  Class.cbSize = sizeof Class;
  Class.lpfnWndProc = &TTabStrip::WindowProc;
  Class.hInstance = Instance;
  Class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  Class.lpszClassName = StripClass;
  RegisterClassExW(&Class);
}

HWND TTabStrip::Create(HWND Parent, int (*Scale)(int), const std::vector<std::wstring>& Captions) {
  HFONT Font = CreateFontW(-Scale(TabFontPixels), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  auto* Strip = new TTabStrip(nullptr, Font, Scale(CaptionPadding), Captions);
  HWND Window = CreateWindowExW(
      0, StripClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, Scale(StripHeight), Parent,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdTabStrip)), GetModuleHandleW(nullptr), Strip);
  if (Window == nullptr) {
    DeleteObject(Font);
    delete Strip;
  }
  return Window;
}

TTabStrip::TTabStrip(HWND Window, HFONT Font, int Padding, std::vector<std::wstring> Captions)
    : FWindow(Window), FFont(Font), FPadding(Padding), FCaptions(std::move(Captions)) {}

LRESULT CALLBACK TTabStrip::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
  auto* Strip = reinterpret_cast<TTabStrip*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  switch (Message) {
    case WM_NCCREATE: {
      Strip = static_cast<TTabStrip*>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams);
      Strip->FWindow = Window;
      SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Strip));
      break;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
      if (Strip != nullptr) {
        DeleteObject(Strip->FFont);
        delete Strip;
      }
      break;
    case WM_PAINT: Strip->Paint(); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_LBUTTONDOWN: {
      const POINT Point{static_cast<short>(LOWORD(LParam)), static_cast<short>(HIWORD(LParam))};
      Strip->Select(Strip->TabAt(Point));
      return 0;
    }
    case TCM_GETCURSEL: return Strip->FCurrent;
    case TCM_SETCURSEL: {
      const int Previous = Strip->FCurrent;
      Strip->Select(static_cast<int>(WParam));
      return Previous;
    }
    default: break;
  }
  return DefWindowProcW(Window, Message, WParam, LParam);
}

RECT TTabStrip::TabRect(HDC Dc, int Index) const {
  RECT Clip{};
  GetClientRect(FWindow, &Clip);
  int Left = 0;
  for (int i = 0; i <= Index; ++i) {
    SIZE Extent{};
    GetTextExtentPoint32W(Dc, FCaptions[i].c_str(), static_cast<int>(FCaptions[i].size()), &Extent);
    const int Width = Extent.cx + 2 * FPadding;
    if (i == Index) return {Left, 0, Left + Width, Clip.bottom};
    // One pixel between neighbours carries the divider.
    Left += Width + 1;
  }
  return {};
}

int TTabStrip::TabAt(POINT Point) const {
  HDC Dc = GetDC(FWindow);
  HGDIOBJ Old = SelectObject(Dc, FFont);
  int Found = -1;
  for (int i = 0; i < static_cast<int>(FCaptions.size()) && Found < 0; ++i) {
    const RECT Tab = TabRect(Dc, i);
    if (PtInRect(&Tab, Point)) Found = i;
  }
  SelectObject(Dc, Old);
  ReleaseDC(FWindow, Dc);
  return Found;
}

void TTabStrip::Select(int Index) {
  if (Index < 0 || Index >= static_cast<int>(FCaptions.size()) || Index == FCurrent) return;
  FCurrent = Index;
  InvalidateRect(FWindow, nullptr, FALSE);
  SendMessageW(GetParent(FWindow), WM_COMMAND, MAKEWPARAM(IdTabStrip, TabStripChanged),
               reinterpret_cast<LPARAM>(FWindow));
}

void TTabStrip::Paint() {
  PAINTSTRUCT Paint{};
  HDC Dc = BeginPaint(FWindow, &Paint);
  RECT Client{};
  GetClientRect(FWindow, &Client);
  HBRUSH Band = CreateSolidBrush(BandColour);
  FillRect(Dc, &Client, Band);
  DeleteObject(Band);
  HGDIOBJ OldFont = SelectObject(Dc, FFont);
  SetBkMode(Dc, TRANSPARENT);
  HPEN White = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
  HGDIOBJ OldPen = SelectObject(Dc, White);
  for (int i = 0; i < static_cast<int>(FCaptions.size()); ++i) {
    RECT Tab = TabRect(Dc, i);
    const bool Selected = i == FCurrent;
    if (Selected) FillRect(Dc, &Tab, GetSysColorBrush(COLOR_WINDOW));
    SetTextColor(Dc, GetSysColor(Selected ? COLOR_WINDOWTEXT : COLOR_WINDOW));
    DrawTextW(Dc, FCaptions[i].c_str(), static_cast<int>(FCaptions[i].size()), &Tab,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    MoveToEx(Dc, Tab.right, 0, nullptr);
    LineTo(Dc, Tab.right, Tab.bottom);
  }
  SelectObject(Dc, OldPen);
  DeleteObject(White);
  SelectObject(Dc, OldFont);
  EndPaint(FWindow, &Paint);
}
