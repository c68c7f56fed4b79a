; The Windows installer: Spanlink for all users of the computer, 64-bit, into
; Program Files\VORN\Spanlink, with a Start menu shortcut, an uninstall entry and a logon task.
; scripts/build-windows.sh runs:
;   makensis -DPAYLOAD=<folder to install> -DFILES=<its uninstall list> -DICON=<.ico> -DOUTDIR=<dist> spanlink.nsi
; Command line: /S silent, /D=<folder>, /AUTOSTART=0 no start at logon (default: as before, else on);
; the uninstaller: /S silent (keeps the logs), /REMOVELOGS also removes this user's logs.
Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

; The version is the one in Spanlink.exe's version resource, which the build takes from the
; project version; its text pads the last two parts to three digits, as the resource does.
!getdllversion "${PAYLOAD}/Spanlink.exe" v_
!define VERSION "${v_1}.${v_2}.${v_3}.${v_4}"
!macro PAD3 name value
  !if ${value} < 10
    !define ${name} "00${value}"
  !else if ${value} < 100
    !define ${name} "0${value}"
  !else
    !define ${name} "${value}"
  !endif
!macroend
!insertmacro PAD3 P3 ${v_3}
!insertmacro PAD3 P4 ${v_4}
!define VERSION_TEXT "${v_1}.${v_2}.${P3}.${P4}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Spanlink"
!define SETTINGS_KEY "Software\VORN\Spanlink"
; The agent's hidden window, which ends the agent when it is closed.
!define AGENT_WINDOW "SpanlinkSession"

Name "Spanlink"
OutFile "${OUTDIR}/Spanlink-Setup-${VERSION}.exe"
InstallDir "$PROGRAMFILES64\VORN\Spanlink"
Icon "${ICON}"
UninstallIcon "${ICON}"
BrandingText "VORN Spanlink ${VERSION_TEXT}"
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "Spanlink"
VIAddVersionKey /LANG=1033 "CompanyName" "VORN"
VIAddVersionKey /LANG=1033 "FileDescription" "Spanlink Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION_TEXT}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "VORN"

Var Autostart
Var AutostartBox
Var AgentWasRunning
Var RemoveLogs
Var RemoveLogsBox

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
Page custom AutostartPage AutostartLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Spanlink.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Spanlink now"
!insertmacro MUI_PAGE_FINISH
UninstPage custom un.LogsPage un.LogsLeave
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Ends the agents: this desktop's own gently (its window closes it), any other by force, so that
; its files can be replaced. $AgentWasRunning: one ran on this desktop.
!macro END_AGENT un
Function ${un}EndAgent
  StrCpy $AgentWasRunning 0
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${AGENT_WINDOW}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    StrCpy $AgentWasRunning 1
    ${If} $1 = 0
      DetailPrint "Ending Spanlink"
      SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 > 50
      ${Break}
    ${EndIf}
    Sleep 100
  ${Loop}
  nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM Spanlink.exe'
  Pop $0
  ${If} $0 = 0
    DetailPrint "Spanlink ended by force"
    Sleep 500
  ${EndIf}
FunctionEnd
!macroend
!insertmacro END_AGENT ""
!insertmacro END_AGENT "un."

Function .onInit
  SetRegView 64
  SetShellVarContext all
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Spanlink is installed for all users: run the installer as an administrator." /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
  ; An upgrade goes where the installed one is, and keeps the choice made for it.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\VORN\Spanlink"
    StrCpy $INSTDIR $0
  ${EndIf}
  StrCpy $Autostart 1
  ClearErrors
  ReadRegDWORD $0 HKLM "${SETTINGS_KEY}" "Autostart"
  ${IfNot} ${Errors}
    StrCpy $Autostart $0
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AUTOSTART=" $1
  ${IfNot} ${Errors}
    StrCpy $1 $1 1 ; the value ends where the next option starts
    ${If} $1 == "0"
      StrCpy $Autostart 0
    ${Else}
      StrCpy $Autostart 1
    ${EndIf}
  ${EndIf}
FunctionEnd

Function AutostartPage
  !insertmacro MUI_HEADER_TEXT "Start at logon" "Spanlink runs with administrator rights, so that it can follow the pointer over every window."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Windows can start Spanlink each time you log on, without asking for permission. You can change this later: run $\"Spanlink.exe --autostart off$\" (or on) as an administrator, or run this installer again."
  Pop $0
  ${NSD_CreateCheckbox} 0 44u 100% 12u "&Start Spanlink when I log on"
  Pop $AutostartBox
  ${If} $Autostart = 1
    ${NSD_Check} $AutostartBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function AutostartLeave
  ${NSD_GetState} $AutostartBox $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $Autostart 1
  ${Else}
    StrCpy $Autostart 0
  ${EndIf}
FunctionEnd

Section "Spanlink" Main
  SectionIn RO
  SetOverwrite on
  AllowSkipFiles off
  Call EndAgent
  ; An older version removes what it installed (its files, task and entries) and keeps itself.
  IfFileExists "$INSTDIR\uninstall.exe" 0 fresh
    DetailPrint "Removing the installed version"
    ExecWait '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR' $0
    Delete "$INSTDIR\uninstall.exe"
  fresh:
  ClearErrors
  SetOutPath "$INSTDIR"
  File /r "${PAYLOAD}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    SetErrorLevel 2
    Abort "Spanlink could not be written to $INSTDIR"
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\Spanlink.lnk" "$INSTDIR\Spanlink.exe" "" "$INSTDIR\Spanlink.exe" 0 SW_SHOWNORMAL "" "Spanlink: one desktop over the computers of the switch"
  CreateShortcut "$SMPROGRAMS\Spanlink Setup.lnk" "$INSTDIR\Spanlink Setup.exe" "" "$INSTDIR\Spanlink Setup.exe" 0 SW_SHOWNORMAL "" "Spanlink Setup: arrange the monitors of every computer on the switch's grid"

  ${GetSize} "$INSTDIR" "/S=0K" $3 $1 $2
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Spanlink"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION_TEXT}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${v_1}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${v_2}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "VORN"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Spanlink.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $3
  ${If} ${Errors}
    SetErrorLevel 2
    Abort "The uninstall entry could not be written"
  ${EndIf}

  ; The agent itself registers or removes its logon task (it knows the Task Scheduler); a
  ; failure there leaves Spanlink installed, to be started from the Start menu.
  ${If} $Autostart = 1
    ExecWait '"$INSTDIR\Spanlink.exe" --autostart on' $0
  ${Else}
    ExecWait '"$INSTDIR\Spanlink.exe" --autostart off' $0
  ${EndIf}
  ${If} $0 != 0
    DetailPrint "The logon task was not changed (exit code $0); see the log in AppData\Roaming\VORN\Spanlink"
    MessageBox MB_ICONEXCLAMATION "Spanlink is installed, but Windows did not take its start at logon. Start it from the Start menu." /SD IDOK
  ${EndIf}

  ; An agent that ran before runs again; in silent installs only then (a deployment running as
  ; SYSTEM must not start one), interactively from the last page.
  ${If} $AgentWasRunning = 1
  ${AndIf} ${Silent}
    Exec '"$INSTDIR\Spanlink.exe"'
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  StrCpy $RemoveLogs 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVELOGS" $1
  ${IfNot} ${Errors}
    StrCpy $RemoveLogs 1
  ${EndIf}
FunctionEnd

Function un.LogsPage
  !insertmacro MUI_HEADER_TEXT "Remove Spanlink" "Spanlink, its Start menu shortcut and its start at logon are removed."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "Also remove my &log files (AppData\Roaming\VORN\Spanlink)"
  Pop $RemoveLogsBox
  nsDialogs::Show
FunctionEnd

Function un.LogsLeave
  ${NSD_GetState} $RemoveLogsBox $0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $RemoveLogs 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.EndAgent
  ExecWait '"$INSTDIR\Spanlink.exe" --autostart off' $0
  ; Exactly the files this version installed, never the folder's other contents.
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "$PROGRAMFILES64\VORN"
  Delete "$SMPROGRAMS\Spanlink.lnk"
  Delete "$SMPROGRAMS\Spanlink Setup.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${SETTINGS_KEY}"
  DeleteRegKey /ifempty HKLM "Software\VORN"
  ${If} $RemoveLogs = 1
    SetShellVarContext current
    RMDir /r "$APPDATA\VORN\Spanlink"
    RMDir "$APPDATA\VORN"
    SetShellVarContext all
  ${EndIf}
SectionEnd
