#include "ui/win32/WindowMain.h"

#include <objbase.h>

#include <cstdio>
#include <exception>

#include "platform/wintext.h"
#include "ui/win32/ControlIds.h"
#include "ui/win32/frmMain.h"
#include "workers/MainThreadDispatch.h"

namespace {

// The component-object library of the main thread, from before the window
// until the loop has ended.
class TComApartment {
 public:
  TComApartment() : FInitialised(SUCCEEDED(CoInitialize(nullptr))) {}
  ~TComApartment() {
    if (FInitialised) CoUninitialize();
  }
  TComApartment(const TComApartment&) = delete;
  TComApartment& operator=(const TComApartment&) = delete;

 private:
  bool FInitialised;
};

void ShowStartupError(const std::exception& Error) {
  std::fprintf(stderr, "%s\n", Error.what());
  std::fflush(stderr);
  MessageBoxW(nullptr, Widen(Error.what()).c_str(), MainWindowCaption, MB_OK | MB_ICONERROR);
}

}  // namespace

std::optional<int> RunWindow(int ShowCommand, const TWindowReady& WindowReady) {
  const TComApartment Apartment;
  TfrmSyncMain::Register(GetModuleHandleW(nullptr));
  // The window lives until the process ends: nothing is destroyed while
  // workers may still raise events.
  TfrmSyncMain* Form = nullptr;
  try {
    Form = new TfrmSyncMain(
        [](ISyncView& View) { return std::make_unique<TSyncControllerLink>(View); });
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "%s\n", Error.what());
    return std::nullopt;
  }
  HWND Window = Form->Handle();
  SetWakeMainThread([Window] { PostMessageW(Window, WM_SYNCHRONIZE, 0, 0); });
  try {
    Form->FormCreate();
    Form->CreateWnd();
  } catch (const std::exception& Error) {
    ShowStartupError(Error);
    return 1;
  }
  Form->ShowAtStart(ShowCommand);
  WindowReady([Window] { PostMessageW(Window, WM_SHOWREQUEST, 0, 0); });

  MSG Message{};
  while (GetMessageW(&Message, nullptr, 0, 0) > 0) {
    if (Form->PreTranslate(Message)) continue;
    TranslateMessage(&Message);
    DispatchMessageW(&Message);
  }
  return static_cast<int>(Message.wParam);
}
