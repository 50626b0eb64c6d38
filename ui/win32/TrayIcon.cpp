#include "ui/win32/TrayIcon.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/errors.h"
#include "platform/wintext.h"
#include "ui/win32/ControlIds.h"

namespace {

// Copies Text into a fixed field of the shell's structure, cut to fit.
template <size_t N>
void CopyField(wchar_t (&Field)[N], const std::wstring& Text) {
  const size_t Length = std::min(Text.size(), N - 1);
  std::wmemcpy(Field, Text.data(), Length);
  Field[Length] = L'\0';
}

// Whether the pixel (X, Y) of a Side x Side square lies on the disc in its
// lower right quarter, and whether on its rim.
struct TDiscHit {
  bool Inside;
  bool Rim;
};
TDiscHit DiscAt(int X, int Y, int Side) {
  const double Radius = Side / 4.0;
  const double Centre = Side - Radius - 0.5;
  const double Dx = X - Centre;
  const double Dy = Y - Centre;
  const double Distance = Dx * Dx + Dy * Dy;
  const double Rim = std::max(1.0, Side / 16.0);
  return {Distance <= Radius * Radius, Distance > (Radius - Rim) * (Radius - Rim)};
}

// The icon with a red disc in its lower right quarter, ringed in white, so a
// failure shows at a glance; the plain icon itself when it cannot be made.
HICON FailureLook(HICON Icon) {
  ICONINFO Info{};
  if (!GetIconInfo(Icon, &Info)) return Icon;
  BITMAP Shape{};
  GetObjectW(Info.hbmColor != nullptr ? Info.hbmColor : Info.hbmMask, sizeof Shape, &Shape);
  const int Side = Shape.bmWidth;
  BITMAPINFO Format{};
  Format.bmiHeader.biSize = sizeof Format.bmiHeader;
  Format.bmiHeader.biWidth = Side;
  Format.bmiHeader.biHeight = -Side;
  Format.bmiHeader.biPlanes = 1;
  Format.bmiHeader.biBitCount = 32;
  Format.bmiHeader.biCompression = BI_RGB;
  std::vector<DWORD> Pixels(static_cast<size_t>(Side) * Side);
  HDC Screen = GetDC(nullptr);
  const bool Read =
      Info.hbmColor != nullptr &&
      GetDIBits(Screen, Info.hbmColor, 0, Side, Pixels.data(), &Format, DIB_RGB_COLORS) == Side;
  HICON Result = Icon;
  if (Read) {
    for (int Y = 0; Y < Side; ++Y) {
      for (int X = 0; X < Side; ++X) {
        const TDiscHit Hit = DiscAt(X, Y, Side);
        if (Hit.Inside)
          Pixels[static_cast<size_t>(Y) * Side + X] = Hit.Rim ? 0xFFFFFFFF : 0xFFC80000;
      }
    }
    HBITMAP Colour = CreateCompatibleBitmap(Screen, Side, Side);
    SetDIBits(Screen, Colour, 0, Side, Pixels.data(), &Format, DIB_RGB_COLORS);
    // The mask lets the disc through where the plain icon was transparent.
    HBITMAP Mask = CreateBitmap(Side, Side, 1, 1, nullptr);
    HDC Source = CreateCompatibleDC(Screen);
    HDC Target = CreateCompatibleDC(Screen);
    HGDIOBJ OldSource = SelectObject(Source, Info.hbmMask);
    HGDIOBJ OldTarget = SelectObject(Target, Mask);
    BitBlt(Target, 0, 0, Side, Side, Source, 0, 0, SRCCOPY);
    for (int Y = 0; Y < Side; ++Y) {
      for (int X = 0; X < Side; ++X) {
        if (DiscAt(X, Y, Side).Inside) SetPixel(Target, X, Y, RGB(0, 0, 0));
      }
    }
    SelectObject(Source, OldSource);
    SelectObject(Target, OldTarget);
    DeleteDC(Source);
    DeleteDC(Target);
    ICONINFO Failure{TRUE, 0, 0, Mask, Colour};
    if (HICON Made = CreateIconIndirect(&Failure)) Result = Made;
    DeleteObject(Colour);
    DeleteObject(Mask);
  }
  ReleaseDC(nullptr, Screen);
  if (Info.hbmColor != nullptr) DeleteObject(Info.hbmColor);
  DeleteObject(Info.hbmMask);
  return Result;
}

}  // namespace

TTrayIcon::TTrayIcon(HWND Owner, HICON PlainIcon)
    : FOwner(Owner),
      FPlainIcon(PlainIcon),
      FFailureIcon(FailureLook(PlainIcon)),
      FTooltip(MainWindowCaption) {}

TTrayIcon::~TTrayIcon() {
  if (FShown) {
    NOTIFYICONDATAW Icon = Data(0);
    Shell_NotifyIconW(NIM_DELETE, &Icon);
  }
  if (FFailureIcon != FPlainIcon) DestroyIcon(FFailureIcon);
}

NOTIFYICONDATAW TTrayIcon::Data(UINT Flags) const {
  NOTIFYICONDATAW Icon{};
  Icon.cbSize = sizeof Icon;
  Icon.hWnd = FOwner;
  Icon.uID = TrayIconId;
  Icon.uFlags = Flags;
  Icon.uCallbackMessage = WM_TRAYICON;
  Icon.hIcon = FShowsFailure ? FFailureIcon : FPlainIcon;
  CopyField(Icon.szTip, FTooltip);
  return Icon;
}

bool TTrayIcon::Show() {
  NOTIFYICONDATAW Icon = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
  FShown = Shell_NotifyIconW(NIM_ADD, &Icon) != FALSE;
  return FShown;
}

void TTrayIcon::Remove() {
  if (!FShown) return;
  NOTIFYICONDATAW Icon = Data(0);
  if (!Shell_NotifyIconW(NIM_DELETE, &Icon))
    throw EQuorvelError("Cannot remove shell notification icon");
  FShown = false;
}

bool TTrayIcon::Restore() {
  FShown = false;
  return Show();
}

void TTrayIcon::ShowBalloon(const std::string& Text) {
  std::fprintf(stderr, "%s\n", Text.c_str());
  std::fflush(stderr);
  if (!FShown) return;
  NOTIFYICONDATAW Icon = Data(NIF_INFO);
  CopyField(Icon.szInfo, Widen(Text));
  CopyField(Icon.szInfoTitle, MainWindowCaption);
  Icon.dwInfoFlags = NIIF_INFO;
  Icon.uTimeout = BalloonMilliseconds;
  Shell_NotifyIconW(NIM_MODIFY, &Icon);
}

void TTrayIcon::SetState(const std::string& Tooltip, bool Failed) {
  FTooltip = Widen(Tooltip);
  FShowsFailure = Failed;
  if (!FShown) return;
  NOTIFYICONDATAW Icon = Data(NIF_ICON | NIF_TIP);
  Shell_NotifyIconW(NIM_MODIFY, &Icon);
}
