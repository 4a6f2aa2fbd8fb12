; The installer of ROM Upgrade Wizard, one per architecture. Made by the `installer` target of
; packaging/CMakeLists.txt, which passes:
;   ARCH          x86 or x64
;   VERSION       the program's version, three numbers (0.1.0)
;   PROGRAMS_NSH  a generated file with the macros InstallPrograms (File lines) and
;                 RemovePrograms (Delete lines), one line per shipped program
;   MAIN_PROGRAM  file name of the wizard, for the shortcut and the icon in Add/Remove Programs
;   README        the users' README.txt
;   ICON          the program's icon
;   OUTFILE       the installer to write
;
; It installs into Program Files (the 32-bit one for x86), makes a Start-menu shortcut and an
; entry in Add/Remove Programs, and runs silently with /S. The uninstaller removes by name
; exactly what was installed, and the folder only when nothing else is left in it.

!if "${ARCH}" == "x86"
  !define EDITION ""
  !define PROGRAM_FILES "$PROGRAMFILES"
!else if "${ARCH}" == "x64"
  !define EDITION " (x64)"
  !define PROGRAM_FILES "$PROGRAMFILES64"
!else
  !error "ARCH must be x86 or x64"
!endif

!define PRODUCT "ROM Upgrade Wizard"
!define PUBLISHER "ROM Upgrade Wizard developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\RomUpgradeWizard-${ARCH}"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}${EDITION}.lnk"
!define UNINSTALLER "Uninstall.exe"

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

Name "${PRODUCT} ${VERSION}${EDITION}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup (${ARCH})"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "OriginalFilename" "RomUpgradeWizard-${VERSION}-${ARCH}-setup.exe"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "x64.nsh"
!include "${PROGRAMS_NSH}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Both the installer and the uninstaller: the view of the registry this edition's entry lives
; in, the Start menu of all users, and administrator rights (which XP does not ask for by itself).
!macro Prepare
  !if "${ARCH}" == "x64"
    SetRegView 64
  !endif
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_OK|MB_ICONSTOP "Administrator rights are needed to install or remove ${PRODUCT}.$\r$\nPlease sign in as an administrator and try again." /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

Function .onInit
  !if "${ARCH}" == "x64"
    ${IfNot} ${RunningX64}
      MessageBox MB_OK|MB_ICONSTOP "This is the 64-bit (x64) edition of ${PRODUCT}, and this Windows is 32-bit.$\r$\n$\r$\nPlease install the x86 edition instead: RomUpgradeWizard-${VERSION}-x86-setup.exe. It runs on every Windows from XP SP3 on, 32-bit and 64-bit." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  !endif
  !insertmacro Prepare
FunctionEnd

Function un.onInit
  !insertmacro Prepare
FunctionEnd

Section "${PRODUCT}" SectionProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !insertmacro InstallPrograms
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortCut "${SHORTCUT}" "$INSTDIR\${MAIN_PROGRAM}" "" "$INSTDIR\${MAIN_PROGRAM}" 0
SectionEnd

; Add/Remove Programs. Written after the files, so that the entry exists only for an
; installation that has its uninstaller.
Section "-Register"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}${EDITION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${MAIN_PROGRAM}"
  SectionGetSize ${SectionProgram} $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the installer put there, each by its name; the folder goes only if it is empty
; then, so files of the user's own in it stay where they are.
Section "Uninstall"
  !insertmacro RemovePrograms
  Delete "$INSTDIR\README.txt"
  Delete "${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
