#include "ui/win32/TaskbarList.h"

#include <objbase.h>
#include <shobjidl.h>

#include <string>

#include "platform/errors.h"
#include "platform/wintext.h"

namespace {

// {56FDF344-FD6D-11D0-958A-006097C9A090} and {56FDF342-...}.
constexpr CLSID TaskbarListClass = {
    0x56FDF344, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
constexpr IID TaskbarListInterface = {
    0x56FDF342, 0xFD6D, 0x11D0, {0x95, 0x8A, 0x00, 0x60, 0x97, 0xC9, 0xA0, 0x90}};
constexpr char TaskbarListClassText[] = "{56FDF344-FD6D-11D0-958A-006097C9A090}";

// Releases a component object when it goes out of scope.
template <typename T>
class TComReference {
 public:
  ~TComReference() {
    if (FObject != nullptr) FObject->Release();
  }
  T** Address() { return &FObject; }
  T* operator->() const { return FObject; }

 private:
  T* FObject = nullptr;
};

}  // namespace

void DeleteTaskbarTab(HWND Window) {
  TComReference<IUnknown> Object;
  const HRESULT Created =
      CoCreateInstance(TaskbarListClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                       IID_IUnknown, reinterpret_cast<void**>(Object.Address()));
  if (FAILED(Created)) {
    throw EQuorvelError(WindowsErrorText(static_cast<DWORD>(Created)) +
                        ", ClassID: " + TaskbarListClassText);
  }
  TComReference<ITaskbarList> TaskbarList;
  if (FAILED(Object->QueryInterface(TaskbarListInterface,
                                    reinterpret_cast<void**>(TaskbarList.Address())))) {
    throw EQuorvelError("Interface not supported");
  }
  TaskbarList->HrInit();
  TaskbarList->DeleteTab(Window);
}
