; Reference installer and uninstaller of MIRVO's machine part alone: the
; camera and the VB-CABLE audio driver for the whole machine, for the elevated
; or SYSTEM run of a deployment tool (Intune, Configuration Manager, winget, a
; script). No app, no hand-shake, nothing of any user's: no HKCU, no
; $LOCALAPPDATA, no elevation prompt of its own (see docs/integration.md,
; "Deployment by administrators").
;
; Build: makensis -DPAYLOAD=<folder> -DOUT_FILE=<setup.exe> [-DVERSION=1.2.3.4]
;                 [-DSIGN_CMD=<command signing %1 in place>] machine_part.nsi
; PAYLOAD is installer.nsi's payload folder; mirvo.exe (the app) is not taken.
; Everything goes to %ProgramFiles%\mirvo\Machine, a folder of its own beside
; the camera's, with the rights it inherits from Program Files
; (administrators and SYSTEM change it, users read and run): every file that
; runs elevated, mirvo_machine.exe and VB-Audio's setup program, comes from a
; folder no standard user can write. /D= is not taken.
;
; Command line switches (besides NSIS's own /S):
;   /NOCAMERA    without the camera (machine-setup gets --no-camera)
;   /NOVBCABLE   without VB-CABLE (--no-vbcable)
; The uninstaller is registered as "uninstall.exe /S _?=<folder>" under
; HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO.MachinePart,
; written only when the install's outcome is 0 or 3010.
;
; Exit codes, as installer.nsi's (there is no prompt, so no 1602):
;   0     all that was asked is done
;   3010  done; a restart of Windows finishes it
;   1603  failed: not elevated, or the machine part is not what was asked
;         (setup.log says why)
;   1618  another machine-part setup or uninstall runs, or another MIRVO run
;         was changing the machine for 10 minutes; nothing was changed

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh

!ifndef PAYLOAD
  !error "give the payload folder: makensis -DPAYLOAD=<folder> ..."
!endif
!ifndef OUT_FILE
  !define OUT_FILE "mirvo_machine_setup.exe"
!endif
!ifndef VERSION
  !define VERSION "1.0.0.0"
!endif

!ifdef SIGN_CMD
  !finalize '${SIGN_CMD}'
  !uninstfinalize '${SIGN_CMD}'
!endif

!addincludedir "${__FILEDIR__}"
!include "mirvo_common.nsh"

Name "${MACHINE_DISPLAY_NAME}"
OutFile "${OUT_FILE}"
InstallDir "${MACHINE_FOLDER}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${MACHINE_DISPLAY_NAME}"
VIAddVersionKey /LANG=0 "CompanyName" "MIRVO"
VIAddVersionKey /LANG=0 "FileDescription" "MIRVO camera and audio driver setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "MIRVO"

Page instfiles
UninstPage instfiles

; This install put VB-CABLE on the machine: only its uninstall removes it.
!define MACHINE_KEY "Software\MIRVO\Machine"
!define VBCABLE_OWNED_VALUE "VBCableInstalledBySetup"
; One machine-part setup or uninstall at a time on the machine. Created owned
; by the administrators; one that exists with another owner was made by
; someone else first and is refused (1603), so a standard user cannot make
; every deployment wait.
!define MACHINE_SETUP_MUTEX "Global\MIRVO.Setup.MachinePart"
!define MUTEX_SECURITY "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)"
; The cleanup copy of the uninstaller runs from a new folder of the temporary
; folder that only the administrators and SYSTEM can write.
!define CLEANUP_SECURITY "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
!define ERROR_ALREADY_EXISTS 183
!define SYNCHRONIZE 0x100000
!define CREATE_NO_WINDOW 0x08000000
; Where the runs that cannot write the machine folder log, and where the
; uninstaller leaves copies of both logs.
!define OUTSIDE_LOGS "$TEMP\MIRVO-logs\machine"

Var Mutex

; Refuse TEXT CODE: before anything is changed, one line in
; OUTSIDE_LOGS\setup.log, and the run ends with CODE.
!macro Refuse text code
  CreateDirectory "${OUTSIDE_LOGS}"
  ${OpenLog} "${OUTSIDE_LOGS}\setup.log" "MIRVO machine-part setup"
  ${Log} "FAILED: ${text}"
  ${Log} "exit code ${code}"
  ${CloseLog}
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  SetErrorLevel ${code}
  Quit
!macroend

; Elevated: refuses the run (1603) unless its token is elevated. Run by a
; deployment tool as SYSTEM or by an elevated administrator it is; started
; from a standard user's process it is not (on Windows the manifest's
; requireAdministrator makes that start fail or prompt first).
!macro RequireElevation
  StrCpy $0 0
  System::Call 'kernel32::GetCurrentProcess() p .r1'
  System::Call 'advapi32::OpenProcessToken(p r1, i 8, *p .r2) i .r3'   ; TOKEN_QUERY
  ${If} $3 <> 0
    System::Call 'advapi32::GetTokenInformation(p r2, i 20, *i .r4, i 4, *i .r5) i .r3'   ; TokenElevation
    ${If} $3 <> 0
    ${AndIf} $4 <> 0
      StrCpy $0 1
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2)'
  ${EndIf}
  ${If} $0 <> 1
    !insertmacro Refuse "not elevated: the MIRVO camera and audio driver are installed and removed for the whole machine only by an elevated administrator or SYSTEM" 1603
  ${EndIf}
!macroend

; TakeMutex: 1618 while another machine-part setup or uninstall runs; 1603
; when the mutex is someone else's. The handle stays open until exit.
!macro TakeMutex
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${MUTEX_SECURITY}", i 1, *p .r1, p 0) i .r0'
  ${If} $0 = 0
    !insertmacro Refuse "the mutex ${MACHINE_SETUP_MUTEX} cannot be made" 1603
  ${EndIf}
  ; SECURITY_ATTRIBUTES is 24 bytes on x64; the padding is spelled out.
  System::Call '*(i 24, i 0, p r1, i 0, i 0) p .r2'
  System::Call 'kernel32::CreateMutexW(p r2, i 0, w "${MACHINE_SETUP_MUTEX}") p .r3 ?e'
  Pop $4
  System::Free $2
  System::Call 'kernel32::LocalFree(p r1)'
  StrCpy $Mutex $3
  ${If} $3 P= 0
    !insertmacro Refuse "the mutex ${MACHINE_SETUP_MUTEX} cannot be had (error $4)" 1603
  ${EndIf}
  ${If} $4 = ${ERROR_ALREADY_EXISTS}
    StrCpy $7 0
    System::Call 'advapi32::GetSecurityInfo(p r3, i 6, i 1, *p .r5, p 0, p 0, p 0, *p .r6) i .r0'   ; SE_KERNEL_OBJECT, OWNER
    ${If} $0 = 0
      System::Call 'advapi32::IsWellKnownSid(p r5, i 26) i .r7'   ; WinBuiltinAdministratorsSid
      ${If} $7 = 0
        System::Call 'advapi32::IsWellKnownSid(p r5, i 22) i .r7'   ; WinLocalSystemSid
      ${EndIf}
      System::Call 'kernel32::LocalFree(p r6)'
    ${EndIf}
    ${If} $7 = 0
      !insertmacro Refuse "the mutex ${MACHINE_SETUP_MUTEX} is not owned by the administrators: not changing this machine" 1603
    ${EndIf}
    MessageBox MB_ICONSTOP "Another setup or uninstall of the MIRVO camera and audio driver is running. Let it finish, then try again." /SD IDOK
    SetErrorLevel 1618
    Quit
  ${EndIf}
!macroend

; Run PARAMETERS: starts $INSTDIR\mirvo_machine.exe directly (the run is
; elevated already) and follows it to its end through install.log. Leaves its
; exit status in $Status, "timeout", "missing", or "error N" when it did not
; start.
!macro Run un parameters
  StrCpy $6 "$INSTDIR\mirvo_machine.exe"
  StrCpy $7 '"$INSTDIR\mirvo_machine.exe" ${parameters}'
  StrCpy $8 "$INSTDIR"
  StrCpy $Process 0
  ${IfNot} ${FileExists} "$6"
    StrCpy $Status "missing"
  ${Else}
    Call ${un}MarkLogEnd
    ; STARTUPINFOW (104 bytes, zeroed but its size) and PROCESS_INFORMATION (24).
    System::Alloc 104
    Pop $R2
    System::Call '*$R2(i 104)'
    System::Alloc 24
    Pop $R3
    System::Call 'kernel32::CreateProcessW(w r6, w r7, p 0, p 0, i 0, i ${CREATE_NO_WINDOW}, p 0, w r8, p R2, p R3) i .R4 ?e'
    Pop $R5
    ${If} $R4 <> 0
      System::Call '*$R3(p .R6, p .R7)'
      System::Call 'kernel32::CloseHandle(p R7)'
      StrCpy $Process $R6
    ${Else}
      StrCpy $Status "error $R5"
    ${EndIf}
    System::Free $R2
    System::Free $R3
    ${If} $Process P<> 0
      ${Log} "started $7"
      Call ${un}FollowElevated
    ${EndIf}
  ${EndIf}
!macroend

; ---- the installer -----------------------------------------------------------

; Fail TEXT: logs TEXT, says it, and ends the run with 1603.
!macro Fail text
  ${Log} "FAILED: ${text}"
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  ${Log} "exit code 1603"
  ${CloseLog}
  SetErrorLevel 1603
  Quit
!macroend
!define Fail "!insertmacro Fail"

!macro InstallFile source name
  ClearErrors
  File "${source}"
  ${If} ${Errors}
    ${Fail} "cannot replace $OUTDIR\${name}: another program holds it"
  ${EndIf}
!macroend
!define InstallFile "!insertmacro InstallFile"

Function .onInit
  SetRegView 64
  !insertmacro RequireElevation
  !insertmacro TakeMutex
FunctionEnd

Section "MIRVO camera and audio driver"
  ; The folder is fixed: a /D= naming another one could be a folder that a
  ; standard user writes, and its files would run elevated.
  StrCpy $0 $INSTDIR
  StrCpy $INSTDIR "${MACHINE_FOLDER}"
  CreateDirectory "$INSTDIR"
  SetOutPath "$INSTDIR"
  ${OpenLog} "$INSTDIR\setup.log" "MIRVO machine-part setup"
  ${If} $0 != $INSTDIR
    ${Log} "/D=$0 is not taken: the machine part always goes to $INSTDIR"
  ${EndIf}
  ${Log} "installing the MIRVO camera and audio driver into $INSTDIR"
  StrCpy $Outcome 0
  StrCpy $Owned 0

  ; 1. The files, the uninstaller among them: a failed run leaves the means to
  ;    take off what it did ("uninstall.exe /S _?=<folder>").
  SetOverwrite try
  ${InstallFile} "${PAYLOAD}\mirvo_machine.exe" "mirvo_machine.exe"
  SetOutPath "$INSTDIR\cmp\vcm"
  ${InstallFile} "${PAYLOAD}\cmp\vcm\mirvo_vcam.dll" "mirvo_vcam.dll"
  SetOutPath "$INSTDIR\cmp\dsc"
  ${InstallFile} "${PAYLOAD}\cmp\dsc\mirvo_dshow64.dll" "mirvo_dshow64.dll"
  ${InstallFile} "${PAYLOAD}\cmp\dsc\mirvo_dshow32.dll" "mirvo_dshow32.dll"
  SetOutPath "$INSTDIR\audio-driver"
  ${InstallFile} "${PAYLOAD}\audio-driver\VBCABLE_Setup_x64.exe" "VBCABLE_Setup_x64.exe"
!ifdef STANDIN_BEHAVIOUR
  ; Only in the demo build: tells the stand-in for VB-Audio's setup program what to do.
  ${InstallFile} "${STANDIN_BEHAVIOUR}" "standin_behaviour.txt"
!endif
  SetOutPath "$INSTDIR"
  ClearErrors
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    ${Fail} "cannot write $INSTDIR\uninstall.exe: another program holds it"
  ${EndIf}
  ${Log} "files copied"

  ; 2. The machine part, with the switches passed on. machine-setup writes
  ;    .elevated_done when it has run to its end; no earlier one may answer.
  ${GetParameters} $R0
  StrCpy $R9 ""
  ClearErrors
  ${GetOptions} $R0 "/NOCAMERA" $R1
  ${IfNotThen} ${Errors} ${|} StrCpy $R9 "$R9 --no-camera" ${|}
  ClearErrors
  ${GetOptions} $R0 "/NOVBCABLE" $R1
  ${IfNotThen} ${Errors} ${|} StrCpy $R9 "$R9 --no-vbcable" ${|}
  Delete "$INSTDIR\.elevated_done"
  !insertmacro Run "" 'machine-setup --install-dir "$INSTDIR" --log "$INSTDIR\install.log"$R9'
  ${If} $Owned == 1
    ; Recorded whatever the outcome: this install's uninstall removes it.
    WriteRegDWORD HKLM "${MACHINE_KEY}" "${VBCABLE_OWNED_VALUE}" 1
    ${Log} "VB-CABLE was installed by this setup (recorded in HKLM\${MACHINE_KEY}: its uninstall removes it)"
  ${EndIf}
  ${If} $Status == "missing"
    ${Fail} "$INSTDIR\mirvo_machine.exe is missing"
  ${ElseIf} $Status == "timeout"
    ${Fail} "machine-setup did not finish within 15 minutes"
  ${EndIf}
  StrCpy $R0 $Status 6
  ${If} $R0 == "error "
    ${Fail} "mirvo_machine.exe could not be started ($Status)"
  ${EndIf}
  ${Log} "machine-setup ended with status $Status"
  ${IfNot} ${FileExists} "$INSTDIR\.elevated_done"
    ${Fail} "machine-setup ended without writing .elevated_done (see $INSTDIR\install.log)"
  ${EndIf}
  Delete "$INSTDIR\.elevated_done"
  ${If} $Status <> 0
    ${Fail} "machine-setup ended with status $Status (see $INSTDIR\install.log)"
  ${EndIf}

  ; 3. The outcome. Only an outcome of 0 or 3010 registers the machine part:
  ;    a deployment tool's detection and every user's setup take the entry
  ;    for a working camera and audio driver.
  ${If} $Outcome = 1603
    ${Fail} "the camera or VB-CABLE is not installed: $Reason; no Add/Remove Programs entry was written"
  ${ElseIf} $Outcome = 1618
    ${Log} "another MIRVO run was changing this machine: nothing was installed ($Reason); no Add/Remove Programs entry was written; run this setup again once that run has ended"
    MessageBox MB_ICONEXCLAMATION "Another MIRVO installation was changing this machine. Run this setup again later." /SD IDOK
  ${Else}
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "DisplayName" "${MACHINE_DISPLAY_NAME}"
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "Publisher" "MIRVO"
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\mirvo_machine.exe,0"
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
    WriteRegStr HKLM "${MACHINE_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
    WriteRegDWORD HKLM "${MACHINE_UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${MACHINE_UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $R0 $R1 $R2
    WriteRegDWORD HKLM "${MACHINE_UNINSTALL_KEY}" "EstimatedSize" $R0
    ${Log} "registered in Add/Remove Programs: HKLM\${MACHINE_UNINSTALL_KEY} (${MACHINE_DISPLAY_NAME} ${VERSION})"
    ${If} ${RebootFlag}
      ${Log} "done: a restart of Windows finishes the installation"
      StrCpy $Outcome 3010
    ${Else}
      ${Log} "done: the machine part is installed (what mirvo_machine.exe did is in $INSTDIR\install.log)"
    ${EndIf}
  ${EndIf}
  ${Log} "exit code $Outcome"
  ${CloseLog}
  SetErrorLevel $Outcome
SectionEnd

; ---- the uninstaller ---------------------------------------------------------

Function un.CopyLogs
  CreateDirectory "${OUTSIDE_LOGS}"
  System::Call 'kernel32::CopyFileW(w "$INSTDIR\install.log", w "${OUTSIDE_LOGS}\install.log", i 0) i'
  System::Call 'kernel32::CopyFileW(w "$INSTDIR\setup.log", w "${OUTSIDE_LOGS}\setup.log", i 0) i'
FunctionEnd

Function un.onInit
  SetRegView 64
  ; The cleanup copy: wait for the uninstaller that started it, then delete
  ; its file, the (otherwise empty) machine folder and %ProgramFiles%\mirvo
  ; when nothing else is in it. A machine-part setup that runs by then owns
  ; the folder: leave it.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CLEANUP=" $R1
  ${IfNot} ${Errors}
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i R1) p .r0'
    ${If} $0 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i'
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${MACHINE_SETUP_MUTEX}") p .r1'
    ${If} $1 P= 0
      Delete "$INSTDIR\uninstall.exe"
      RMDir "$INSTDIR"
      RMDir "$INSTDIR\.."
    ${Else}
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
    SetErrorLevel 0
    Quit
  ${EndIf}
  !insertmacro RequireElevation
  !insertmacro TakeMutex
FunctionEnd

; Keep TEXT CODE: machine-remove did not run or did not finish: everything
; stays, the entry too; uninstalling again finishes the job.
!macro Keep text code
  ${Log} "${text}"
  ${Log} "kept $INSTDIR and the Add/Remove Programs entry: uninstall again to remove the camera and audio driver"
  MessageBox MB_ICONEXCLAMATION "${text}$\r$\n$\r$\nUninstall again to remove them." /SD IDOK
  ${Log} "exit code ${code}"
  ${CloseLog}
  Call un.CopyLogs
  SetErrorLevel ${code}
  Quit
!macroend

Section "Uninstall"
  ${OpenLog} "$INSTDIR\setup.log" "MIRVO machine-part uninstall"
  ${Log} "removing the MIRVO camera and audio driver from this machine ($INSTDIR)"
  StrCpy $Outcome 0
  StrCpy $Finished 0

  ; 1. machine-remove, with VB-CABLE only when this install put it there.
  ReadRegDWORD $R1 HKLM "${MACHINE_KEY}" "${VBCABLE_OWNED_VALUE}"
  ${If} $R1 = 1
    StrCpy $R2 " --vbcable"
    ${Log} "VB-CABLE was installed by the machine-part setup: removing it too"
  ${Else}
    StrCpy $R2 ""
    ${Log} "VB-CABLE was not installed by the machine-part setup: it stays"
  ${EndIf}
  !insertmacro Run "un." 'machine-remove --install-dir "$INSTDIR" --log "$INSTDIR\install.log"$R2'
  ${If} $Status == "missing"
    !insertmacro Keep "FAILED: $INSTDIR\mirvo_machine.exe is missing: the camera and VB-CABLE cannot be removed (install the machine part again, then uninstall it)" 1603
  ${ElseIf} $Status == "timeout"
    !insertmacro Keep "FAILED: machine-remove did not finish within 15 minutes: the camera or VB-CABLE may stay on this machine." 1603
  ${EndIf}
  StrCpy $R0 $Status 6
  ${If} $R0 == "error "
    !insertmacro Keep "FAILED: mirvo_machine.exe could not be started ($Status): the camera and VB-CABLE stay on this machine." 1603
  ${EndIf}
  ${Log} "machine-remove ended with status $Status"
  ${If} $Status <> 0
  ${OrIf} $Finished <> 1
    !insertmacro Keep "FAILED: machine-remove did not finish (status $Status; see $INSTDIR\install.log): the camera or VB-CABLE may stay on this machine." 1603
  ${EndIf}
  ${If} $Outcome = 1603
    !insertmacro Keep "FAILED: the camera or VB-CABLE was not removed: $Reason" 1603
  ${ElseIf} $Outcome = 1618
    !insertmacro Keep "Another MIRVO run was changing this machine: the camera and VB-CABLE stay on this machine ($Reason)." 1618
  ${EndIf}
  DeleteRegValue HKLM "${MACHINE_KEY}" "${VBCABLE_OWNED_VALUE}"
  DeleteRegKey /ifempty HKLM "${MACHINE_KEY}"
  DeleteRegKey /ifempty HKLM "Software\MIRVO"

  ; 2. The files, only now: machine-remove ran VB-CABLE's setup from here.
  !insertmacro RemoveFolder "$INSTDIR\cmp"
  !insertmacro RemoveFolder "$INSTDIR\audio-driver"
  Delete "$INSTDIR\mirvo_machine.exe"
  Delete "$INSTDIR\.elevated_done"
  Delete "$INSTDIR\.elevated_ready"
  Delete "$INSTDIR\standin_behaviour.txt"
  DeleteRegKey HKLM "${MACHINE_UNINSTALL_KEY}"
  ${If} ${FileExists} "$INSTDIR\cmp\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\audio-driver\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\mirvo_machine.exe"
    ${Log} "some files are in use and stay in $INSTDIR"
  ${Else}
    ${Log} "files removed"
  ${EndIf}
  ${If} ${RebootFlag}
    ${Log} "done: a restart of Windows frees the camera folder (the next install or removal deletes it)"
    StrCpy $Outcome 3010
  ${Else}
    ${Log} "done"
  ${EndIf}
  ${Log} "exit code $Outcome; the logs are copied to ${OUTSIDE_LOGS}"
  ${CloseLog}
  Call un.CopyLogs
  Delete "$INSTDIR\setup.log"
  Delete "$INSTDIR\install.log"

  ; 3. Run in place, this uninstaller cannot delete its own file. A copy,
  ;    in a new folder of the temporary folder that only the administrators
  ;    and SYSTEM can write (it runs elevated), waits for this process to end
  ;    and deletes it and the folder (see un.onInit). The copy and its folder
  ;    stay in the temporary folder.
  System::Call 'ole32::CoCreateGuid(g .R0) i'
  StrCpy $R1 "$TEMP\mirvo-machine-cleanup-$R0"
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${CLEANUP_SECURITY}", i 1, *p .r1, p 0) i .r0'
  StrCpy $R2 0
  ${If} $0 <> 0
    System::Call '*(i 24, i 0, p r1, i 0, i 0) p .r2'
    System::Call 'kernel32::CreateDirectoryW(w R1, p r2) i .R2'
    System::Free $2
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  ${If} $R2 <> 0
    System::Call 'kernel32::CopyFileW(w "$INSTDIR\uninstall.exe", w "$R1\uninstall_cleanup.exe", i 1) i .R3'
    ${If} $R3 <> 0
      SetOutPath "$R1"
      System::Call 'kernel32::GetCurrentProcessId() i .R0'
      Exec '"$R1\uninstall_cleanup.exe" /CLEANUP=$R0 _?=$INSTDIR'
    ${EndIf}
  ${EndIf}
  SetErrorLevel $Outcome
SectionEnd
