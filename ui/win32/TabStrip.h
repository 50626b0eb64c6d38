#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The band of page tabs across the top of the window: slate background,
// white dividers, large captions; the selected tab in the window colour.
// A click on a tab selects it and tells the parent with WM_COMMAND
// (IdTabStrip, TabStripChanged). TCM_GETCURSEL and TCM_SETCURSEL read and
// set the selection as on the system's tab control; setting it tells the
// parent as a click does.
class TTabStrip {
 public:
  static constexpr int StripHeight = 34;
  static constexpr WORD TabStripChanged = 1;

  static void Register(HINSTANCE Instance);
  // A child of Parent; Scale maps a length at 96 dpi to the screen's.
  static HWND Create(HWND Parent, int (*Scale)(int), const std::vector<std::wstring>& Captions);

 private:
  TTabStrip(HWND Window, HFONT Font, int Padding, std::vector<std::wstring> Captions);
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  void Paint();
  RECT TabRect(HDC Dc, int Index) const;
  void Select(int Index);
  int TabAt(POINT Point) const;

  HWND FWindow;
  HFONT FFont;
  int FPadding;  // on each side of a caption
  std::vector<std::wstring> FCaptions;
  int FCurrent = 0;
};
