#include "platform/instancelock.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <thread>

namespace {

// Names of the folder's mutex and show event in the namespace of every
// session, made from the folder text by the platform's rule of sameness
// (ASCII letters a-z regardless of case), hashed to fit a kernel name.
std::wstring FolderObjectName(const std::string& Folder, const wchar_t* Kind) {
  uint64_t Hash = 14695981039346656037ULL;
  for (char C : Folder) {
    if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 32);
    Hash = (Hash ^ static_cast<unsigned char>(C)) * 1099511628211ULL;
  }
  wchar_t Name[64];
  std::swprintf(Name, 64, L"Global\\QuorvelSync-%ls-%016llx", Kind,
                static_cast<unsigned long long>(Hash));
  return Name;
}

}  // namespace

TFolderClaim ClaimProgramFolder(const std::string& Folder) {
  // Kept open until the process ends; the system closes it then, killed or
  // not.
  const HANDLE Mutex = ::CreateMutexW(nullptr, FALSE, FolderObjectName(Folder, L"lock").c_str());
  const DWORD Error = ::GetLastError();
  if (Mutex != nullptr && Error != ERROR_ALREADY_EXISTS) return TFolderClaim::Claimed;
  if (Mutex != nullptr) ::CloseHandle(Mutex);
  // Another user's agent holds a mutex this one may not open.
  return Error == ERROR_ALREADY_EXISTS || Error == ERROR_ACCESS_DENIED ? TFolderClaim::HeldByAnother
                                                                       : TFolderClaim::Unknown;
}

void AskFolderAgentToShowWindow(const std::string& Folder) {
  const HANDLE Event =
      ::OpenEventW(EVENT_MODIFY_STATE, FALSE, FolderObjectName(Folder, L"show").c_str());
  if (Event == nullptr) return;
  ::SetEvent(Event);
  ::CloseHandle(Event);
}

bool ServeShowWindowRequests(const std::string& Folder, std::function<void()> OnAsked) {
  const HANDLE Event =
      ::CreateEventW(nullptr, FALSE, FALSE, FolderObjectName(Folder, L"show").c_str());
  if (Event == nullptr) return false;
  // Runs until the process ends, which never waits for it.
  std::thread([Event, OnAsked = std::move(OnAsked)] {
    while (::WaitForSingleObject(Event, INFINITE) == WAIT_OBJECT_0) OnAsked();
  }).detach();
  return true;
}
