; Stravik's Windows installer: per machine under Program Files, a Start-menu entry, a desktop
; shortcut when asked for, an Add/Remove Programs entry, and an uninstaller that takes away every
; file it put there, the shortcuts, that entry and the directory.
;
;   makensis -DSTAGE=DIR [-DOUTDIR=DIR] stravik.nsi
;
; STAGE is the staged directory (stravik.exe and everything it loads); every file in it is
; installed. The installer is OUTDIR/stravik-3.3-setup.exe, or stravik-3.3-setup.exe beside
; this file. Silent installs (/S) take the defaults: no desktop shortcut.

; A 64-bit installer for a 64-bit program: it also runs where Windows (or Wine) has no 32-bit
; subsystem.
Target amd64-unicode
Unicode true
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef STAGE
  !error "the staged directory is missing: makensis -DSTAGE=DIR stravik.nsi"
!endif
!if ! /FileExists "${STAGE}/stravik.exe"
  !error "${STAGE} holds no stravik.exe"
!endif

!define PRODUCT "Stravik"
!define VERSION "3.3"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; What the installer put in the directory, one line each, children before their directory:
; "F path" for a file, "D path" for a directory, relative to the install directory.
!define INSTALLED_LIST "uninstall.files"

!include MUI2.nsh
!include FileFunc.nsh

Name "${PRODUCT} ${VERSION}"
!ifdef OUTDIR
  OutFile "${OUTDIR}/stravik-${VERSION}-setup.exe"
!else
  OutFile "stravik-${VERSION}-setup.exe"
!endif
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "2026 The Stravik developers"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\stravik.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The tool speaks Chinese; the installer does too, and English on English systems.
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"
LangString DesktopShortcut ${LANG_SIMPCHINESE} "桌面快捷方式"
LangString DesktopShortcut ${LANG_ENGLISH} "Desktop shortcut"

; The program is 64-bit: its files, its registry entry and its shortcuts are the machine's.
!macro MachineWide
  SetShellVarContext all
  SetRegView 64
!macroend

Function .onInit
  !insertmacro MachineWide
FunctionEnd

Function un.onInit
  !insertmacro MachineWide
FunctionEnd

; RecordTree: writes what lies under $INSTDIR\<argument> (a relative path ending in "\", or ""
; for the top) to the open list $R9. Takes its argument from the stack, keeps every register.
Function RecordTree
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  ClearErrors
  FindFirst $R1 $R2 "$INSTDIR\$R0*"
  ${DoUntil} $R2 == ""
    ${If} $R2 != "."
    ${AndIf} $R2 != ".."
    ${AndIf} "$R0$R2" != "${INSTALLED_LIST}"
      StrCpy $R3 "$R0$R2"
      ${If} ${FileExists} "$INSTDIR\$R3\*.*"
        Push "$R3\"
        Call RecordTree
        FileWriteUTF16LE $R9 "D $R3$\r$\n"
      ${Else}
        FileWriteUTF16LE $R9 "F $R3$\r$\n"
      ${EndIf}
    ${EndIf}
    FindNext $R1 $R2
  ${Loop}
  FindClose $R1
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

Section "${PRODUCT}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The list is made from the directory as installed, so that an install over an older one
  ; also lists the older files; the uninstaller removes exactly these.
  ClearErrors
  FileOpen $R9 "$INSTDIR\${INSTALLED_LIST}" w
  ${If} ${Errors}
    Abort "cannot write $INSTDIR\${INSTALLED_LIST}"
  ${EndIf}
  Push ""
  Call RecordTree
  FileClose $R9

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\stravik.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\stravik.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section /o "$(DesktopShortcut)" SecDesktop
  CreateShortcut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\stravik.exe"
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$DESKTOP\${PRODUCT}.lnk"

  ClearErrors
  FileOpen $0 "$INSTDIR\${INSTALLED_LIST}" r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors
      FileReadUTF16LE $0 $1
      ${If} ${Errors}
        ${ExitDo}
      ${EndIf}
      ; Without the line's end.
      ${Do}
        StrCpy $2 $1 1 -1
        ${If} $2 == "$\r"
        ${OrIf} $2 == "$\n"
          StrCpy $1 $1 -1
        ${Else}
          ${ExitDo}
        ${EndIf}
      ${Loop}
      StrCpy $2 $1 2
      StrCpy $3 $1 "" 2
      ${If} $3 == ""
        ${Continue}
      ${EndIf}
      ${If} $2 == "F "
        Delete "$INSTDIR\$3"
      ${ElseIf} $2 == "D "
        RMDir "$INSTDIR\$3"
      ${EndIf}
    ${Loop}
    FileClose $0
  ${EndIf}
  Delete "$INSTDIR\${INSTALLED_LIST}"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: what someone else put there stays, and the directory with it.
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
