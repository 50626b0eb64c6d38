; The Windows installer of Quorvel Sync, built by packaging/windows/CMakeLists.txt:
;   makensis -DQUORVEL_EXE=quorvel.exe -DQUORVEL_VERSION=1.0 -DQUORVEL_SETUP=quorvel-setup.exe quorvel.nsi
;
; The program keeps its settings, receipt staging folder and journals beside
; itself, so it goes per user into a folder that user may write; no
; administrator rights are asked for. "quorvel-setup.exe /S" installs
; silently, "/D=folder" (last on the command line) chooses the folder. A
; Quorvel.ini beside the installer is taken over into that folder. One
; installation per user: the autostart and uninstall entries have fixed names.

Unicode true
; Debian's Wine runs 64-bit programs only.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define PRODUCT "Quorvel Sync"
!define EXE "quorvel.exe"
!define UNINSTALLER "uninstall.exe"
!define SETTINGS "Quorvel.ini"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvelSync"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
; Exit code of a silent run that changed nothing because the agent runs or
; the prepared settings could not be taken over.
!define REFUSED 3

Name "${PRODUCT}"
OutFile "${QUORVEL_SETUP}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade goes where the program already is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${QUORVEL_VERSION}"
AllowSkipFiles off
ShowInstDetails nevershow
ShowUninstDetails nevershow

LoadLanguageFile "${NSISDIR}\Contrib\Language files\Russian.nlf"

VIProductVersion "${QUORVEL_VERSION}.0.0"
VIFileVersion "${QUORVEL_VERSION}.0.0"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "ProductVersion" "${QUORVEL_VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileVersion" "${QUORVEL_VERSION}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "FileDescription" "Установка ${PRODUCT}"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "CompanyName" "Quorvel"
VIAddVersionKey /LANG=${LANG_RUSSIAN} "LegalCopyright" "Quorvel"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running agent holds its program file open as a running image, which the
; system refuses to open for writing: neither replaced nor removed then. The
; run ends before it changed anything, with the exit code REFUSED when
; silent.
!macro AGENT_CHECK un
Function ${un}RefuseWhileAgentRuns
  IfFileExists "$INSTDIR\${EXE}" 0 free
retry:
  ClearErrors
  FileOpen $0 "$INSTDIR\${EXE}" a
  IfErrors 0 closed
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
    "${PRODUCT} запущена из папки $INSTDIR.$\r$\nЗакройте программу и нажмите «Повтор»." \
    /SD IDCANCEL IDRETRY retry
  SetErrorLevel ${REFUSED}
  Quit
closed:
  FileClose $0
free:
FunctionEnd
!macroend
!insertmacro AGENT_CHECK ""
!insertmacro AGENT_CHECK "un."

; Copied as it is: the file may be UTF-16 or ANSI, and the program reads both.
; Without a prepared file an installed one stays as it is.
Function TakeOverPreparedSettings
  IfFileExists "$EXEDIR\${SETTINGS}" 0 done
  StrCmp "$EXEDIR" "$INSTDIR" done
  ClearErrors
  CopyFiles /SILENT "$EXEDIR\${SETTINGS}" "$INSTDIR\${SETTINGS}"
  IfErrors 0 done
  MessageBox MB_OK|MB_ICONSTOP "Не удалось скопировать $EXEDIR\${SETTINGS} в $INSTDIR." /SD IDOK
  SetErrorLevel ${REFUSED}
  Quit
done:
FunctionEnd

Section
  Call RefuseWhileAgentRuns
  SetOutPath "$INSTDIR"
  Call TakeOverPreparedSettings
  File "/oname=${EXE}" "${QUORVEL_EXE}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  CreateShortcut "${SHORTCUT}" "$INSTDIR\${EXE}"
  ; Quoted: the folder name holds spaces.
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${EXE}"'

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${QUORVEL_VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${EXE}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Takes only what the installer put there. The settings, the staging folder
; with receipts not yet sent, the journals and anything else stay; the
; folder goes only when nothing is left in it.
Section Uninstall
  Call un.RefuseWhileAgentRuns
  Delete "$INSTDIR\${EXE}"
  Delete "${SHORTCUT}"
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
