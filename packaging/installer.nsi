; The installer of ROM Upgrade Wizard, one per architecture. Made by packaging/make-packages.sh,
; which passes:
;   ARCH          x86 or x64
;   VERSION       the program's version, three numbers (0.1.0)
;   FILES_NSH     a generated file of macros over the files this version ships: InstallFiles
;                 (File lines), WriteFileList, CheckFolderFiles, CheckRunning and IsShipped
;   MAIN_PROGRAM  file name of the wizard, for the shortcut and the icon in Add/Remove Programs
;   MSI_UPGRADE_CODE  the upgrade code of this edition's MSI package, {braced}
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
; It speaks the six languages of the wizard, chosen as the wizard chooses: /lang:xx on the
; command line (de, en, es, fr, ja, zh), else Windows' display language, else English.
;
; It never breaks an installation and never touches a file of the user's:
;  - while a program of ours runs from the folder, the installer and the uninstaller change
;    nothing (exit code 32 when silent);
;  - a folder that holds a file with one of our names, where no installation of ours is
;    recorded, is refused (exit code 80 when silent);
;  - where the MSI package of this edition is installed, nothing is (exit code 1638 when silent).

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
!include "FileFunc.nsh"
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
!define MUI_CUSTOMFUNCTION_GUIINIT Refusals
!define MUI_CUSTOMFUNCTION_UNGUIINIT un.Refusals

!define MUI_PAGE_CUSTOMFUNCTION_PRE DirectoryPre
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\$(ReadmeFile)"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; English first: the language of a Windows that speaks none of the others.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_LANGUAGE "French"
!insertmacro MUI_LANGUAGE "Spanish"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "Japanese"

; What this script says itself, in each of them. $R8: a program's file name, $R3: a file's.
LangString ReadmeFile ${LANG_ENGLISH} "README.txt"
LangString ReadmeFile ${LANG_GERMAN} "README.de.txt"
LangString ReadmeFile ${LANG_FRENCH} "README.fr.txt"
LangString ReadmeFile ${LANG_SPANISH} "README.es.txt"
LangString ReadmeFile ${LANG_SIMPCHINESE} "README.zh.txt"
LangString ReadmeFile ${LANG_JAPANESE} "README.ja.txt"
LangString AdminNeeded ${LANG_ENGLISH} "Administrator rights are needed to install or remove ${PRODUCT}.$\r$\nPlease sign in as an administrator and try again."
LangString AdminNeeded ${LANG_GERMAN} "Zum Installieren oder Entfernen von ${PRODUCT} sind Administratorrechte nötig.$\r$\nBitte melden Sie sich als Administrator an und versuchen Sie es erneut."
LangString AdminNeeded ${LANG_FRENCH} "Les droits d'administrateur sont nécessaires pour installer ou supprimer ${PRODUCT}.$\r$\nConnectez-vous en tant qu'administrateur, puis réessayez."
LangString AdminNeeded ${LANG_SPANISH} "Se necesitan derechos de administrador para instalar o quitar ${PRODUCT}.$\r$\nInicie sesión como administrador y vuelva a intentarlo."
LangString AdminNeeded ${LANG_SIMPCHINESE} "安装或删除 ${PRODUCT} 需要管理员权限。$\r$\n请以管理员身份登录后重试。"
LangString AdminNeeded ${LANG_JAPANESE} "${PRODUCT} のインストールまたは削除には管理者権限が必要です。$\r$\n管理者としてサインインしてから、もう一度お試しください。"
LangString StillRunning ${LANG_ENGLISH} "${PRODUCT} is running from $INSTDIR ($R8).$\r$\nPlease close it, then choose Retry."
LangString StillRunning ${LANG_GERMAN} "${PRODUCT} wird aus $INSTDIR ausgeführt ($R8).$\r$\nBitte schließen Sie das Programm und wählen Sie dann Wiederholen."
LangString StillRunning ${LANG_FRENCH} "${PRODUCT} s'exécute depuis $INSTDIR ($R8).$\r$\nFermez-le, puis choisissez Réessayer."
LangString StillRunning ${LANG_SPANISH} "${PRODUCT} se está ejecutando desde $INSTDIR ($R8).$\r$\nCiérrelo y elija Reintentar."
LangString StillRunning ${LANG_SIMPCHINESE} "${PRODUCT} 正在从 $INSTDIR 运行（$R8）。$\r$\n请将其关闭，然后选择“重试”。"
LangString StillRunning ${LANG_JAPANESE} "${PRODUCT} が $INSTDIR から実行されています ($R8)。$\r$\n終了してから [再試行] を選んでください。"
LangString FolderHoldsFile ${LANG_ENGLISH} "The folder $INSTDIR already holds a file named $R3, which ${PRODUCT} did not install.$\r$\n$\r$\nSo that no file of yours is overwritten, please choose another folder."
LangString FolderHoldsFile ${LANG_GERMAN} "Der Ordner $INSTDIR enthält bereits eine Datei namens $R3, die nicht von ${PRODUCT} installiert wurde.$\r$\n$\r$\nDamit keine Ihrer Dateien überschrieben wird, wählen Sie bitte einen anderen Ordner."
LangString FolderHoldsFile ${LANG_FRENCH} "Le dossier $INSTDIR contient déjà un fichier nommé $R3, que ${PRODUCT} n'a pas installé.$\r$\n$\r$\nPour qu'aucun de vos fichiers ne soit remplacé, choisissez un autre dossier."
LangString FolderHoldsFile ${LANG_SPANISH} "La carpeta $INSTDIR ya contiene un archivo llamado $R3 que ${PRODUCT} no instaló.$\r$\n$\r$\nPara que no se sobrescriba ningún archivo suyo, elija otra carpeta."
LangString FolderHoldsFile ${LANG_SIMPCHINESE} "文件夹 $INSTDIR 中已有名为 $R3 的文件，该文件并非由 ${PRODUCT} 安装。$\r$\n$\r$\n为避免覆盖您的文件，请选择其他文件夹。"
LangString FolderHoldsFile ${LANG_JAPANESE} "フォルダー $INSTDIR には、${PRODUCT} がインストールしたものではない $R3 という名前のファイルが既にあります。$\r$\n$\r$\nお使いのファイルが上書きされないよう、別のフォルダーを選んでください。"
LangString Refuses32Bit ${LANG_ENGLISH} "This is the 64-bit (x64) edition of ${PRODUCT}, and this Windows is 32-bit.$\r$\n$\r$\nPlease install the x86 edition instead: RomUpgradeWizard-${VERSION}-x86-setup.exe. It runs on every Windows from XP SP3 on, 32-bit and 64-bit."
LangString Refuses32Bit ${LANG_GERMAN} "Dies ist die 64-Bit-Ausgabe (x64) von ${PRODUCT}, und dieses Windows ist ein 32-Bit-Windows.$\r$\n$\r$\nBitte installieren Sie stattdessen die x86-Ausgabe: RomUpgradeWizard-${VERSION}-x86-setup.exe. Sie läuft auf jedem Windows ab XP SP3, 32-Bit und 64-Bit."
LangString Refuses32Bit ${LANG_FRENCH} "Ceci est l'édition 64 bits (x64) de ${PRODUCT}, et ce Windows est en 32 bits.$\r$\n$\r$\nInstallez plutôt l'édition x86 : RomUpgradeWizard-${VERSION}-x86-setup.exe. Elle fonctionne sur tout Windows à partir de XP SP3, en 32 et en 64 bits."
LangString Refuses32Bit ${LANG_SPANISH} "Esta es la edición de 64 bits (x64) de ${PRODUCT}, y este Windows es de 32 bits.$\r$\n$\r$\nInstale en su lugar la edición x86: RomUpgradeWizard-${VERSION}-x86-setup.exe. Funciona en cualquier Windows desde XP SP3, de 32 y de 64 bits."
LangString Refuses32Bit ${LANG_SIMPCHINESE} "这是 ${PRODUCT} 的 64 位 (x64) 版本，而此 Windows 为 32 位。$\r$\n$\r$\n请改为安装 x86 版本：RomUpgradeWizard-${VERSION}-x86-setup.exe。它可在 XP SP3 及更高版本的所有 Windows（32 位和 64 位）上运行。"
LangString Refuses32Bit ${LANG_JAPANESE} "これは ${PRODUCT} の 64 ビット (x64) 版で、この Windows は 32 ビットです。$\r$\n$\r$\n代わりに x86 版をインストールしてください: RomUpgradeWizard-${VERSION}-x86-setup.exe。XP SP3 以降のすべての Windows (32 ビットと 64 ビット) で動作します。"

LangString MsiInstalled ${LANG_ENGLISH} "${PRODUCT}${EDITION} is already installed on this PC from its Windows Installer package (MSI).$\r$\n$\r$\nSo that neither installation removes the other's files, this setup installs nothing. To update it, install the newer MSI package; to use this setup instead, first remove that installation in Add/Remove Programs."
LangString MsiInstalled ${LANG_GERMAN} "${PRODUCT}${EDITION} ist auf diesem PC bereits aus seinem Windows Installer-Paket (MSI) installiert.$\r$\n$\r$\nDamit keine der beiden Installationen die Dateien der anderen entfernt, installiert dieses Setup nichts. Zum Aktualisieren installieren Sie das neuere MSI-Paket; um stattdessen dieses Setup zu verwenden, entfernen Sie zuerst jene Installation in der Systemsteuerung."
LangString MsiInstalled ${LANG_FRENCH} "${PRODUCT}${EDITION} est déjà installé sur ce PC à partir de son package Windows Installer (MSI).$\r$\n$\r$\nPour qu'aucune des deux installations ne supprime les fichiers de l'autre, ce programme d'installation n'installe rien. Pour le mettre à jour, installez le package MSI plus récent ; pour utiliser plutôt ce programme d'installation, supprimez d'abord cette installation dans Ajout/Suppression de programmes."
LangString MsiInstalled ${LANG_SPANISH} "${PRODUCT}${EDITION} ya está instalado en este equipo desde su paquete de Windows Installer (MSI).$\r$\n$\r$\nPara que ninguna de las dos instalaciones quite los archivos de la otra, este programa de instalación no instala nada. Para actualizarlo, instale el paquete MSI más reciente; para usar en su lugar este programa de instalación, quite primero esa instalación en Agregar o quitar programas."
LangString MsiInstalled ${LANG_SIMPCHINESE} "${PRODUCT}${EDITION} 已通过其 Windows Installer 程序包 (MSI) 安装在此电脑上。$\r$\n$\r$\n为避免两个安装互相删除对方的文件，此安装程序不会安装任何内容。若要更新，请安装较新的 MSI 程序包；若要改用此安装程序，请先在“添加或删除程序”中删除该安装。"
LangString MsiInstalled ${LANG_JAPANESE} "${PRODUCT}${EDITION} は、この PC に Windows インストーラー パッケージ (MSI) から既にインストールされています。$\r$\n$\r$\nどちらのインストールも他方のファイルを削除しないよう、このセットアップは何もインストールしません。更新するには、新しい MSI パッケージをインストールしてください。代わりにこのセットアップを使うには、まず [プログラムの追加と削除] でそのインストールを削除してください。"

; The language, as the wizard chooses its own: /lang:xx, else Windows' display language (NSIS
; has chosen by it already), else English.
!macro ChooseLanguage
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/lang:" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "en"
      StrCpy $LANGUAGE ${LANG_ENGLISH}
    ${ElseIf} $R1 == "de"
      StrCpy $LANGUAGE ${LANG_GERMAN}
    ${ElseIf} $R1 == "fr"
      StrCpy $LANGUAGE ${LANG_FRENCH}
    ${ElseIf} $R1 == "es"
      StrCpy $LANGUAGE ${LANG_SPANISH}
    ${ElseIf} $R1 == "zh"
      StrCpy $LANGUAGE ${LANG_SIMPCHINESE}
    ${ElseIf} $R1 == "ja"
      StrCpy $LANGUAGE ${LANG_JAPANESE}
    ${EndIf}
  ${EndIf}
!macroend

; Both the installer and the uninstaller: the view of the registry this edition's entry lives
; in, and the Start menu of all users.
!macro Prepare
  !if "${ARCH}" == "x64"
    SetRegView 64
  !endif
  SetShellVarContext all
!macroend

; Administrator rights, which XP does not ask for by itself.
!macro RefuseWithoutAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_OK|MB_ICONSTOP "$(AdminNeeded)" /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

; The MSI package's installation of this edition, if there is one: each would remove the
; other's files, so nothing is installed beside it. Windows Installer knows it by the package's
; upgrade code. Any answer but "found" goes on: the folder check still refuses the package's
; files where it put them.
!macro RefuseBesideThePackage
  System::Call 'msi::MsiEnumRelatedProductsW(w "${MSI_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
  ${If} $0 == 0
    MessageBox MB_OK|MB_ICONSTOP "$(MsiInstalled)" /SD IDOK
    SetErrorLevel 1638 ; ERROR_PRODUCT_VERSION: another version of this product is installed
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
      StrCpy $R8 "${NAME}"
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(StillRunning)" /SD IDCANCEL IDRETRY +3
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
    MessageBox MB_OK|MB_ICONSTOP "$(FolderHoldsFile)" /SD IDOK
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

; What ends the installer before its first page. A box says it in the language chosen only
; from .onGUIInit on (the language .onInit picks takes effect after it), so these run there, or
; in .onInit when silent, where there is no window and no box shows.
Function Refusals
  !if "${ARCH}" == "x64"
    ${IfNot} ${RunningX64}
      MessageBox MB_OK|MB_ICONSTOP "$(Refuses32Bit)" /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  !endif
  !insertmacro RefuseWithoutAdmin
  !insertmacro RefuseBesideThePackage
FunctionEnd

Function .onInit
  !insertmacro ChooseLanguage
  !insertmacro Prepare
  ${If} ${Silent}
    Call Refusals
  ${EndIf}
  ReadRegStr $RecordedFolder HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $RecordedFolder != ""
    StrCpy $INSTDIR $RecordedFolder
  ${EndIf}
  ${If} ${Silent}
    Call CheckFolder
  ${EndIf}
FunctionEnd

Function un.Refusals
  !insertmacro RefuseWithoutAdmin
  !insertmacro CheckRunning
FunctionEnd

Function un.onInit
  !insertmacro ChooseLanguage
  !insertmacro Prepare
  ${If} ${Silent}
    Call un.Refusals
  ${EndIf}
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
