; The Windows installer: a per-user install (no administrator rights), like
; the zip but with a Start menu entry and an uninstaller. Built by
; scripts/package-windows.sh, which defines VERSION, STAGE (the folder with
; the files to install) and OUTFILE.
; 64-bit like the programs it installs.
Target amd64-unicode
SetCompressor /SOLID lzma

!include "MUI2.nsh"

Name "Quayside ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Quayside"
InstallDirRegKey HKCU "Software\Quayside" "InstallDir"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\quayside.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quayside"

Section "Quayside"
  SetOutPath "$INSTDIR"
  File "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quayside.lnk" "$INSTDIR\quayside.exe"
  WriteRegStr HKCU "Software\Quayside" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quayside"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quayside.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The settings file (quayside.dat) beside the programs is the user's: it stays.
Section "Uninstall"
  Delete "$SMPROGRAMS\Quayside.lnk"
  Delete "$INSTDIR\quayside.exe"
  Delete "$INSTDIR\quayside-daemon.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "Software\Quayside"
SectionEnd
