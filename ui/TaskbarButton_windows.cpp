#include "ui/TaskbarButton.h"

#include <shobjidl.h>

#include <QWidget>

void RemoveTaskbarButton(QWidget* Window) {
  ITaskbarList* TaskbarList = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr,
                              CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_ITaskbarList,
                              reinterpret_cast<void**>(&TaskbarList)))) {
    return;
  }
  // Both results are of no consequence: at worst the button stays.
  TaskbarList->HrInit();
  TaskbarList->DeleteTab(reinterpret_cast<HWND>(Window->winId()));
  TaskbarList->Release();
}
