; The installer of ROM Upgrade Wizard, one per architecture. Made by packaging/make-packages.sh,
; which passes:
;   ARCH          x86 or x64
;   VERSION       the program's version, three numbers (0.1.0)
;   FILES_NSH     a generated file of macros over the files this version ships: InstallFiles
;                 (File lines), WriteFileList, CheckFolderFiles, CheckRunning and IsShipped
;   MAIN_PROGRAM  file name of the wizard, for the shortcut and the icon in Add/Remove Programs
;   ICON          the program's icon
;   OUTFILE       the installer to write
;   SIGN          (optional) a command that signs the file it is given, for the installer and
;                 the uninstaller inside it
;
; It installs into Program Files (the 32-bit one for x86), makes a Start-menu shortcut and an
; entry in Add/Remove Programs, and runs silently with /S. A newer version installs where the
; earlier one is, and removes what only the earlier one shipped. The uninstaller removes by name
; exactly what was installed, and the folder only when nothing else is left in it.
;
; It never breaks an installation and never touches a file of the user's:
;  - while a program of ours runs from the folder, the installer and the uninstaller change
;    nothing (exit code 32 when silent);
;  - a folder that holds a file with one of our names, where no installation of ours is
;    recorded, is refused (exit code 80 when silent).

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
; The files an installation put into its folder, one value per file name.
!define FILES_KEY "${UNINSTALL_KEY}\Files"

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
!include "${FILES_NSH}"

!ifdef SIGN
  !finalize '"${SIGN}" "%1"' = 0
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif

; Where an installation of this edition is recorded, if there is one.
Var RecordedFolder

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_PAGE_CUSTOMFUNCTION_PRE DirectoryPre
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
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

; A program of ours running from the folder holds its file open: ask for it to be closed, and
; change nothing if it is not.
!macro CheckRunningProgram NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    ${Do}
      ClearErrors
      FileOpen $R0 "$INSTDIR\${NAME}" a
      ${IfNot} ${Errors}
        FileClose $R0
        ${Break}
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running from $INSTDIR (${NAME}).$\r$\nPlease close it, then choose Retry." /SD IDCANCEL IDRETRY +3
      SetErrorLevel 32 ; ERROR_SHARING_VIOLATION
      Quit
    ${Loop}
  ${EndIf}
!macroend

; $R3 becomes the name of a file of ours that is already in the folder.
!macro CheckFolderFile NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    StrCpy $R3 "${NAME}"
  ${EndIf}
!macroend

; Before anything is written: the folder holds no file of the user's under one of our names,
; and no program of ours runs from it.
Function CheckFolder
  StrCpy $R3 ""
  ${If} $RecordedFolder != $INSTDIR
    !insertmacro CheckFolderFiles
  ${EndIf}
  ${If} $R3 != ""
    MessageBox MB_OK|MB_ICONSTOP "The folder $INSTDIR already holds a file named $R3, which ${PRODUCT} did not install.$\r$\n$\r$\nSo that no file of yours is overwritten, please choose another folder." /SD IDOK
    ${If} ${Silent}
      SetErrorLevel 80 ; ERROR_FILE_EXISTS
      Quit
    ${EndIf}
    Abort
  ${EndIf}
  !insertmacro CheckRunning
FunctionEnd

; An upgrade goes where the earlier version is: no folder to choose.
Function DirectoryPre
  ${If} $RecordedFolder != ""
    Call CheckFolder
    Abort
  ${EndIf}
FunctionEnd

Function DirectoryLeave
  Call CheckFolder
FunctionEnd

Function .onInit
  !if "${ARCH}" == "x64"
    ${IfNot} ${RunningX64}
      MessageBox MB_OK|MB_ICONSTOP "This is the 64-bit (x64) edition of ${PRODUCT}, and this Windows is 32-bit.$\r$\n$\r$\nPlease install the x86 edition instead: RomUpgradeWizard-${VERSION}-x86-setup.exe. It runs on every Windows from XP SP3 on, 32-bit and 64-bit." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  !endif
  !insertmacro Prepare
  ReadRegStr $RecordedFolder HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $RecordedFolder != ""
    StrCpy $INSTDIR $RecordedFolder
  ${EndIf}
  ${If} ${Silent}
    Call CheckFolder
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro Prepare
  !insertmacro CheckRunning
FunctionEnd

Section "${PRODUCT}" SectionProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; What an earlier version installed here and this one no longer ships.
  ${If} $RecordedFolder == $INSTDIR
    StrCpy $R0 0
    ${Do}
      ClearErrors
      EnumRegValue $R1 HKLM "${FILES_KEY}" $R0
      ${If} ${Errors}
      ${OrIf} $R1 == ""
        ${Break}
      ${EndIf}
      IntOp $R0 $R0 + 1
      !insertmacro IsShipped
      ${If} $R2 == 0
        Delete "$INSTDIR\$R1"
      ${EndIf}
    ${Loop}
  ${EndIf}
  DeleteRegKey HKLM "${FILES_KEY}"
  !insertmacro InstallFiles
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
  !insertmacro WriteFileList
SectionEnd

; Only what the installer put there, each by its name (the record, and this version's own list); the folder goes only if it is empty
; then, so files of the user's own in it stay where they are.
Section "Uninstall"
  StrCpy $R0 0
  ${Do}
    ClearErrors
    EnumRegValue $R1 HKLM "${FILES_KEY}" $R0
    ${If} ${Errors}
    ${OrIf} $R1 == ""
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    Delete "$INSTDIR\$R1"
  ${Loop}
  !insertmacro RemoveFiles
  Delete "${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
SectionEnd
