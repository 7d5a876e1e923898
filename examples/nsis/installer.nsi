; Reference installer and uninstaller for MIRVO, showing how Setup and the
; uninstaller drive mirvo_machine.exe (see docs/integration.md).
;
; Build: makensis -DPAYLOAD=<folder> -DOUT_FILE=<setup.exe> [-DVERSION=1.2.3.4]
;                 [-DSIGN_CMD=<command signing %1 in place>] installer.nsi
; PAYLOAD holds what ships, laid out as it lands in the install folder:
;   mirvo_machine.exe, mirvo.exe (the app)
;   cmp\vcm\mirvo_vcam.dll                         Windows 11 camera
;   cmp\dsc\mirvo_dshow64.dll, mirvo_dshow32.dll   DirectShow camera (older Windows)
;   audio-driver\VBCABLE_Setup_x64.exe             VB-Audio's setup program, unchanged
; With SIGN_CMD, makensis runs it on setup.exe and on the uninstaller it
; embeds, so both are signed (build_sample_installer.sh shows one).
;
; Command line switches (besides NSIS's own /S and /D=):
;   /RELAUNCH            starts the app again at the end (the app's update path:
;                        the app starts "setup.exe /S /RELAUNCH" and exits)
;   /NOCAMERA            the machine part without the camera (--no-camera)
;   /NOVBCABLE           the machine part without VB-CABLE (--no-vbcable)
;   /USERONLY            the app alone: no machine part, no elevation prompt
;                        (for a machine whose administrator installs the
;                        machine part, or none)
;   /ELEVATION_DECLINED  acts as if the user said No to the elevation prompt
;                        (ShellExecuteExW failing with ERROR_CANCELLED), for
;                        trying that path where no prompt ever comes.
; On a machine that has the administrator's machine part (machine_part.nsi,
; its HKLM Add/Remove Programs entry), setup installs the app alone and never
; prompts, and the uninstaller leaves the machine part alone.
; The uninstaller takes /ELEVATION_DECLINED too. It is registered as
; "uninstall.exe _?=<install folder>" so that it runs in place and whoever
; started it gets its real exit code (without _? it would copy itself to the
; temporary folder, start the copy and end at once with 0).
;
; Exit codes, as deployment tools read them:
;   0     all that was asked is done
;   3010  done; a restart of Windows finishes it
;   1602  the user declined the elevation (the app is installed, or kept,
;         without the machine part)
;   1603  failed: the app or the machine part is not what was asked (setup.log
;         says why)
;   1618  another MIRVO setup or uninstall runs in this logon session, or
;         another MIRVO run was changing the machine for 10 minutes (the app
;         is installed, or kept, without the machine part's change)

Unicode true
Target amd64-unicode
RequestExecutionLevel user   ; per-user install; only mirvo_machine.exe is elevated
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh

!ifndef PAYLOAD
  !error "give the payload folder: makensis -DPAYLOAD=<folder> ..."
!endif
!ifndef OUT_FILE
  !define OUT_FILE "mirvo_setup.exe"
!endif
!ifndef VERSION
  !define VERSION "1.0.0.0"
!endif

!ifdef SIGN_CMD
  ; Both files are signed after makensis has written them: %1 is setup.exe
  ; for the first, the uninstaller (before it is embedded) for the second.
  !finalize '${SIGN_CMD}'
  !uninstfinalize '${SIGN_CMD}'
!endif

Name "MIRVO"
OutFile "${OUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\MIRVO"
; An installed MIRVO is found here; /D= overrides it (and is refused when it
; names another folder, see CheckInstallFolder).
InstallDirRegKey HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "MIRVO"
VIAddVersionKey /LANG=0 "CompanyName" "MIRVO"
VIAddVersionKey /LANG=0 "FileDescription" "MIRVO Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "MIRVO"

Page directory
Page instfiles
UninstPage instfiles

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO"
; What this user's installs did that their uninstall must know.
!define MIRVO_KEY "Software\MIRVO"
!define VBCABLE_OWNED_VALUE "VBCableInstalledBySetup"
; One MIRVO setup or uninstall at a time in this logon session (a plain name,
; not Global\): it guards this user's install folder and its markers.
!define SETUP_MUTEX "MIRVO.Setup.InstallFolder"
!define SEE_MASK_NOCLOSEPROCESS 0x40
!define SEE_MASK_FLAG_NO_UI 0x400
!define ERROR_CANCELLED 1223
!define ERROR_ALREADY_EXISTS 183
!define SYNCHRONIZE 0x100000

!addincludedir "${__FILEDIR__}"
!include "mirvo_common.nsh"

Var Nonce
Var Installed    ; InstallLocation of an installed MIRVO, "" when none
Var MachinePart  ; DisplayVersion of the administrator's machine part, "" when none
Var AppStopped   ; 1 once stop-app has asked the running app to exit
Var Mutex


; TakeMutex: a second MIRVO setup or uninstall in this logon session ends
; with 1618 before it touches anything. The handle stays open until exit.
!macro TakeMutex
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r0 ?e'
  Pop $1
  StrCpy $Mutex $0
  ${If} $1 = ${ERROR_ALREADY_EXISTS}
    MessageBox MB_ICONSTOP "Another MIRVO setup or uninstall is running. Let it finish, then try again." /SD IDOK
    SetErrorLevel 1618
    Quit
  ${EndIf}
!macroend

; Elevated PROGRAM PARAMETERS FOLDER: starts PROGRAM through ShellExecuteExW with
; the "runas" verb. Afterwards $Process holds the process handle (0 when it did
; not start) and $Status the Windows error code (0 when it started, "missing"
; when PROGRAM is not there). SEE_MASK_FLAG_NO_UI: a start that fails must
; never wait for a person behind an error box of the shell's own. With
; /ELEVATION_DECLINED, nothing starts and $Status is ERROR_CANCELLED, as when
; the user says No.
!macro Elevated program parameters folder
  ; Into registers first: the System plugin reads them by name (r6 is $6), so
  ; quotes inside the parameters never meet its own parsing.
  StrCpy $6 "${program}"
  StrCpy $7 '${parameters}'
  StrCpy $8 "${folder}"
  StrCpy $Process 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ELEVATION_DECLINED" $R1
  ${IfNot} ${Errors}
    StrCpy $Status ${ERROR_CANCELLED}
  ${ElseIfNot} ${FileExists} "$6"
    StrCpy $Status "missing"
  ${Else}
    ; SHELLEXECUTEINFOW is 112 bytes on x64. The System plugin packs structures
    ; without alignment, so the padding after nShow and dwHotKey is spelled out.
    IntOp $R1 ${SEE_MASK_NOCLOSEPROCESS} | ${SEE_MASK_FLAG_NO_UI}
    System::Call '*(i 112, i R1, p $HWNDPARENT, w "runas", w r6, w r7, w r8, \
                     i 0, i 0, p 0, p 0, p 0, p 0, i 0, i 0, p 0, p 0) p .R2'
    System::Call 'shell32::ShellExecuteExW(p R2) i .R3 ?e'
    Pop $R4   ; GetLastError
    ${If} $R3 <> 0
      ; hProcess, the last member
      System::Call '*$R2(i, i, p, p, p, p, p, i, i, p, p, p, p, i, i, p, p .R5)'
      StrCpy $Process $R5
      StrCpy $Status 0
    ${Else}
      StrCpy $Status $R4
    ${EndIf}
    System::Free $R2
  ${EndIf}
!macroend
!define Elevated "!insertmacro Elevated"



; ---- the installer -----------------------------------------------------------

; Relaunch: with /RELAUNCH, starts the app again once the old one was asked to
; exit and a mirvo.exe is in place, whatever the outcome: the app's update path
; must never leave the user without the app.
!macro Relaunch
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/RELAUNCH" $R1
  ${IfNot} ${Errors}
  ${AndIf} ${FileExists} "$INSTDIR\mirvo.exe"
    ${Log} "starting the app again (/RELAUNCH)"
    Exec '"$INSTDIR\mirvo.exe"'
  ${EndIf}
!macroend

; Fail TEXT: logs TEXT, says it, and ends the run with 1603.
!macro Fail text
  ${Log} "FAILED: ${text}"
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  !insertmacro Relaunch
  ${Log} "exit code 1603"
  ${CloseLog}
  SetErrorLevel 1603
  Quit
!macroend
!define Fail "!insertmacro Fail"

; InstallFile SOURCE NAME: copies SOURCE into $OUTDIR as NAME. SetOverwrite try
; skips a file that another process holds and sets the error flag, with no
; dialog; the flag is cleared right before, since other instructions set it too.
!macro InstallFile source name
  ClearErrors
  File "${source}"
  ${If} ${Errors}
    ${Fail} "cannot replace $OUTDIR\${name}: another program holds it (close MIRVO and run setup again)"
  ${EndIf}
!macroend
!define InstallFile "!insertmacro InstallFile"

Function .onInit
  !insertmacro TakeMutex
  ReadRegStr $Installed HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $Installed != ""
  ${AndIfNot} ${FileExists} "$Installed\uninstall.exe"
    StrCpy $Installed ""   ; the entry outlived its folder: nothing to protect
  ${EndIf}
FunctionEnd

; $MachinePart: the DisplayVersion of the administrator's machine part, read
; from what a standard user cannot write (its HKLM entry), "" when it is not
; installed.
!macro ReadMachinePart
  ReadRegStr $MachinePart HKLM "${MACHINE_UNINSTALL_KEY}" "DisplayVersion"
  ${If} $MachinePart == ""
    ReadRegStr $0 HKLM "${MACHINE_UNINSTALL_KEY}" "DisplayName"
    ${IfThen} $0 != "" ${|} StrCpy $MachinePart "(no DisplayVersion)" ${|}
  ${EndIf}
!macroend

; An installed MIRVO is upgraded in its own folder: a /D= (or a folder picked on
; the directory page) naming another one would leave the old copy and its
; entry behind. Refused with 1603; the line goes to setup.log in the installed
; folder, where the earlier runs' lines are.
Function CheckInstallFolder
  ${If} $Installed == ""
    Return
  ${EndIf}
  StrCpy $0 $Installed
  StrCpy $1 $0 1 -1
  ${IfThen} $1 == "\" ${|} StrCpy $0 $0 -1 ${|}
  StrCpy $2 $INSTDIR
  StrCpy $1 $2 1 -1
  ${IfThen} $1 == "\" ${|} StrCpy $2 $2 -1 ${|}
  ${If} $0 != $2   ; == ignores case, as Windows paths do
    ${OpenLog} "$Installed\setup.log" "MIRVO setup"
    ${Fail} "MIRVO is installed in $Installed; this setup was told to install into $INSTDIR. Uninstall MIRVO first, or run setup without /D="
  ${EndIf}
FunctionEnd

; StartMachineSetup: starts the elevated part, told who to wait for (the
; elevation prompt comes now), with /NOCAMERA and /NOVBCABLE passed on.
; install.log is appended across runs: only what it gains from now on tells
; what this run did. Leaves $Process (0 when nothing started) and $Outcome.
Function StartMachineSetup
  ${GetParameters} $R0
  StrCpy $R9 ""
  ClearErrors
  ${GetOptions} $R0 "/NOCAMERA" $R1
  ${IfNotThen} ${Errors} ${|} StrCpy $R9 "$R9 --no-camera" ${|}
  ClearErrors
  ${GetOptions} $R0 "/NOVBCABLE" $R1
  ${IfNotThen} ${Errors} ${|} StrCpy $R9 "$R9 --no-vbcable" ${|}
  Call MarkLogEnd
  System::Call 'kernel32::GetCurrentProcessId() i .R0'
  ${Elevated} "$INSTDIR\mirvo_machine.exe" \
      'machine-setup --install-dir "$INSTDIR" --nonce $Nonce --setup-pid $R0 --wait-for-files --log "$INSTDIR\install.log"$R9' \
      "$INSTDIR"
  ${If} $Status = ${ERROR_CANCELLED}
    ${Log} "elevation declined: installing MIRVO without the camera and VB-CABLE (run setup again, or let the app offer them)"
    StrCpy $Outcome 1602
  ${ElseIf} $Status == "missing"
    ${Fail} "$INSTDIR\mirvo_machine.exe is missing: the camera and VB-CABLE cannot be installed"
  ${ElseIf} $Status <> 0
    ${Log} "FAILED: mirvo_machine.exe could not be started elevated (error $Status): installing MIRVO without the camera and VB-CABLE"
    StrCpy $Outcome 1603
    StrCpy $Reason "mirvo_machine.exe could not be started elevated (error $Status)"
  ${Else}
    ${Log} "elevated machine-setup started with nonce $Nonce$R9"
  ${EndIf}
FunctionEnd

Section "MIRVO"
  Call CheckInstallFolder
  SetOutPath "$INSTDIR"
  ${OpenLog} "$INSTDIR\setup.log" "MIRVO setup"
  ${Log} "installing MIRVO into $INSTDIR"
  StrCpy $Outcome 0
  StrCpy $Owned 0
  StrCpy $Process 0

  ; 1. No marker of an earlier run may answer for this one.
  Delete "$INSTDIR\.elevated_ready"
  Delete "$INSTDIR\.elevated_ready.tmp"
  Delete "$INSTDIR\.elevated_done"

  ; 2. An installed app is asked to exit first (not elevated): Windows refuses
  ;    to overwrite a running program's file.
  ${If} ${FileExists} "$INSTDIR\mirvo_machine.exe"
    ExecWait '"$INSTDIR\mirvo_machine.exe" stop-app --prefix "$INSTDIR" --log "$INSTDIR\install.log"' $R0
    ${Log} "stop-app ended with status $R0 (asked a running MIRVO to exit)"
    StrCpy $AppStopped 1
  ${EndIf}

  ; 3. The program first: the elevated part starts at once, so the elevation
  ;    prompt comes now, and waits while the rest is copied.
  SetOverwrite try
!ifndef LEAVE_OUT_PROGRAM
  ${InstallFile} "${PAYLOAD}\mirvo_machine.exe" "mirvo_machine.exe"
!else
  ; Only in the tests' build: an installer that lacks its program, to show
  ; that a silent run then ends (1603) instead of waiting for a person.
  Delete "$INSTDIR\mirvo_machine.exe"
!endif

  ; 4. A machine that has the administrator's machine part keeps it as it is:
  ;    no elevated part, no prompt. Its version comes from what a standard
  ;    user cannot write: the HKLM entry and the placed program's resource.
  !insertmacro ReadMachinePart
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/USERONLY" $R1
  ${If} $MachinePart != ""
    ClearErrors
    GetDLLVersion "${MACHINE_FOLDER}\mirvo_machine.exe" $R1 $R2
    ${If} ${Errors}
      StrCpy $R3 "no readable version resource"
    ${Else}
      IntOp $R4 $R1 >> 16
      IntOp $R5 $R1 & 0xFFFF
      IntOp $R6 $R2 >> 16
      IntOp $R7 $R2 & 0xFFFF
      StrCpy $R3 "version $R4.$R5.$R6.$R7"
    ${EndIf}
    ${Log} "the machine part is installed for this machine by an administrator: MIRVO camera and audio driver $MachinePart (${MACHINE_FOLDER}\mirvo_machine.exe: $R3); installing the app alone, without an elevated part"
    ${If} $MachinePart != "${VERSION}"
      ${Log} "the machine part's version $MachinePart is not this setup's ${VERSION}: updating it is the administrator's (the machine-part installer)"
    ${EndIf}
  ${ElseIfNot} ${Errors}
    ${Log} "/USERONLY: installing the app alone, without the camera and VB-CABLE (the app offers them later)"
  ${Else}
    ; 5. A fresh nonce: the GUID's text without its braces.
    System::Call 'ole32::CoCreateGuid(g .R0) i .R1'
    ${If} $R1 <> 0
      ${Fail} "cannot make a nonce (CoCreateGuid $R1)"
    ${EndIf}
    StrCpy $Nonce $R0 36 1
    Call StartMachineSetup
  ${EndIf}

  ; 6. The payload and the app. Copied also without the elevated part: the app
  ;    installs the camera and VB-CABLE from here later.
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
  ${InstallFile} "${PAYLOAD}\mirvo.exe" "mirvo.exe"
  ClearErrors
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ${If} ${Errors}
    ${Fail} "cannot write $INSTDIR\uninstall.exe: another program holds it"
  ${EndIf}

  ; 7. The Add/Remove Programs entry. The strings run the uninstaller in place
  ;    (_?=, which must come last), so the caller waits for its real outcome.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "MIRVO"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "MIRVO"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\mirvo.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $R0 $R1 $R2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $R0
  ${Log} "files copied"

  ${If} $Process != 0
    ; 8. Files are ready: the nonce under a temporary name, then renamed into
    ;    place, so the elevated part never reads half a marker.
    ClearErrors
    FileOpen $R0 "$INSTDIR\.elevated_ready.tmp" w
    FileWrite $R0 $Nonce
    FileClose $R0
    Rename "$INSTDIR\.elevated_ready.tmp" "$INSTDIR\.elevated_ready"
    ${If} ${Errors}
      ${Fail} "cannot write $INSTDIR\.elevated_ready"
    ${EndIf}
    ${Log} "files ready; waiting for the elevated part (camera, VB-CABLE)"

    ; 9. Wait for it to end, showing its lines, then for its marker: it writes
    ;    .elevated_done before it ends, so one look after the end is enough.
    Call FollowElevated
    ${If} $Owned == 1
      ; This install put VB-CABLE here: only this user's uninstall removes it.
      WriteRegDWORD HKCU "${MIRVO_KEY}" "${VBCABLE_OWNED_VALUE}" 1
      ${Log} "VB-CABLE was installed by this setup (recorded: the uninstall removes it)"
    ${EndIf}
    ${If} $Status == "timeout"
      ${Fail} "the elevated part did not finish within 15 minutes"
    ${EndIf}
    ${Log} "the elevated part ended with status $Status"
    ClearErrors
    FileOpen $R0 "$INSTDIR\.elevated_done" r
    ${If} ${Errors}
      ${Fail} "the elevated part ended without writing .elevated_done (see $INSTDIR\install.log)"
    ${EndIf}
    FileRead $R0 $R1
    FileClose $R0
    ; S== compares case and all: == would take a nonce in another case.
    ${IfNot} $R1 S== $Nonce
      ${Fail} ".elevated_done holds '$R1', not this run's nonce"
    ${EndIf}
    ${If} $Status <> 0
      ${Fail} "the elevated part ended with status $Status (see $INSTDIR\install.log)"
    ${EndIf}
  ${EndIf}

  ; 10. The outcome.
  ${If} $Outcome = 1603
    ${Fail} "the camera or VB-CABLE is not installed: $Reason"
  ${ElseIf} $Outcome = 1602
    MessageBox MB_ICONINFORMATION "MIRVO is installed without its camera and audio driver: the elevation was declined. Run setup again, or let the app offer them." /SD IDOK
  ${ElseIf} $Outcome = 1618
    ${Log} "another MIRVO run was changing this machine: MIRVO is installed without its camera and audio driver ($Reason); run setup again once that run has ended"
    MessageBox MB_ICONEXCLAMATION "MIRVO is installed, but its camera and audio driver are not: another MIRVO installation was changing this machine. Run setup again later." /SD IDOK
  ${ElseIf} ${RebootFlag}
    ${Log} "done: a restart of Windows finishes the installation"
    MessageBox MB_ICONINFORMATION "MIRVO is installed. Restart Windows to finish the installation." /SD IDOK
    StrCpy $Outcome 3010
  ${Else}
    ${Log} "done: the elevated part finished (what it did is in $INSTDIR\install.log)"
  ${EndIf}
  !insertmacro Relaunch
  ${Log} "exit code $Outcome"
  ${CloseLog}
  SetErrorLevel $Outcome
SectionEnd

; ---- the uninstaller ---------------------------------------------------------

; Copies install.log and setup.log to %TEMP%\MIRVO-logs, where they outlive the
; install folder. Best effort.
Function un.CopyLogs
  CreateDirectory "$TEMP\MIRVO-logs"
  System::Call 'kernel32::CopyFileW(w "$INSTDIR\install.log", w "$TEMP\MIRVO-logs\install.log", i 0) i'
  System::Call 'kernel32::CopyFileW(w "$INSTDIR\setup.log", w "$TEMP\MIRVO-logs\setup.log", i 0) i'
FunctionEnd

Function un.onInit
  ; The cleanup copy: wait for the uninstaller that started it, then delete
  ; its file and the (otherwise empty) install folder. A MIRVO setup that
  ; runs by then owns the folder: leave it.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CLEANUP=" $R1
  ${IfNot} ${Errors}
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i R1) p .r0'
    ${If} $0 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i'
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${SETUP_MUTEX}") p .r1'
    ${If} $1 P= 0
      Delete "$INSTDIR\uninstall.exe"
      RMDir "$INSTDIR"
    ${Else}
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
    SetErrorLevel 0
    Quit
  ${EndIf}
  !insertmacro TakeMutex
FunctionEnd


; KeepMachinePart TEXT CODE: machine-remove did not run or did not finish. The
; means to finish it stay (uninstall.exe, mirvo_machine.exe, the audio-driver
; payload, the Add/Remove Programs entry): uninstalling again finishes the job.
!macro KeepMachinePart text code
  ${Log} "${text}"
  ; The app itself goes; what finishes the removal stays.
  !insertmacro RemoveFolder "$INSTDIR\cmp"
  Delete "$INSTDIR\mirvo.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "MIRVO (the camera and audio driver are still installed)"
  ${Log} "kept uninstall.exe, mirvo_machine.exe and the audio-driver payload: uninstall MIRVO again to remove the camera and audio driver"
  MessageBox MB_ICONEXCLAMATION "${text}$\r$\n$\r$\nUninstall MIRVO again to remove them." /SD IDOK
  ${Log} "exit code ${code}"
  ${CloseLog}
  Call un.CopyLogs
  SetErrorLevel ${code}
  Quit
!macroend

Section "Uninstall"
  ${OpenLog} "$INSTDIR\setup.log" "MIRVO uninstall"
  ${Log} "removing MIRVO from $INSTDIR"
  StrCpy $Outcome 0
  StrCpy $Finished 0

  ; Without the program the camera and VB-CABLE cannot go: keep everything.
  ${IfNot} ${FileExists} "$INSTDIR\mirvo_machine.exe"
    ${Log} "FAILED: $INSTDIR\mirvo_machine.exe is missing: the camera and VB-CABLE cannot be removed (install MIRVO again, then uninstall it)"
    MessageBox MB_ICONSTOP "mirvo_machine.exe is missing from $INSTDIR: the camera and audio driver cannot be removed. Install MIRVO again, then uninstall it." /SD IDOK
    ${Log} "exit code 1603"
    ${CloseLog}
    SetErrorLevel 1603
    Quit
  ${EndIf}

  ; 1. Ask the app to exit, not elevated, and wait; go on whatever it says.
  ExecWait '"$INSTDIR\mirvo_machine.exe" stop-app --prefix "$INSTDIR" --log "$INSTDIR\install.log"' $R0
  ${Log} "stop-app ended with status $R0"

  ; 2. The elevated part: camera, old firewall rules, and VB-CABLE only when
  ;    this user's install put it there. Not on a machine that has the
  ;    administrator's machine part (its HKLM entry, as it is now): the camera
  ;    and VB-CABLE are the administrator's, also when this user installed
  ;    before the administrator did.
  !insertmacro ReadMachinePart
  ${If} $MachinePart != ""
    ${Log} "the machine part is installed for this machine by an administrator (MIRVO camera and audio driver $MachinePart): machine-remove is not run; the camera and VB-CABLE stay for the administrator's uninstall"
  ${Else}
    ReadRegDWORD $R1 HKCU "${MIRVO_KEY}" "${VBCABLE_OWNED_VALUE}"
    ${If} $R1 = 1
      StrCpy $R2 " --vbcable"
      ${Log} "VB-CABLE was installed by MIRVO's setup: removing it too"
    ${Else}
      StrCpy $R2 ""
      ${Log} "VB-CABLE was not installed by this user's MIRVO setup: it stays"
    ${EndIf}
    Call un.MarkLogEnd
    ${Elevated} "$INSTDIR\mirvo_machine.exe" \
        'machine-remove --install-dir "$INSTDIR" --log "$INSTDIR\install.log"$R2' "$INSTDIR"
    ${If} $Status = ${ERROR_CANCELLED}
      !insertmacro KeepMachinePart "Elevation declined: the camera and VB-CABLE stay on this machine." 1602
    ${ElseIf} $Status <> 0
      !insertmacro KeepMachinePart "FAILED: mirvo_machine.exe could not be started elevated (error $Status): the camera and VB-CABLE stay on this machine." 1603
    ${EndIf}
    Call un.FollowElevated
    ${If} $Status == "timeout"
      !insertmacro KeepMachinePart "FAILED: machine-remove did not finish within 15 minutes: the camera or VB-CABLE may stay on this machine." 1603
    ${EndIf}
    ${Log} "machine-remove ended with status $Status"
    ${If} $Status <> 0
    ${OrIf} $Finished <> 1
      !insertmacro KeepMachinePart "FAILED: machine-remove did not finish (status $Status; see $INSTDIR\install.log): the camera or VB-CABLE may stay on this machine." 1603
    ${EndIf}
    ${If} $Outcome = 1603
      !insertmacro KeepMachinePart "FAILED: the camera or VB-CABLE was not removed: $Reason" 1603
    ${ElseIf} $Outcome = 1618
      !insertmacro KeepMachinePart "Another MIRVO run was changing this machine: the camera and VB-CABLE stay on this machine ($Reason)." 1618
    ${EndIf}
  ${EndIf}
  DeleteRegValue HKCU "${MIRVO_KEY}" "${VBCABLE_OWNED_VALUE}"
  DeleteRegKey /ifempty HKCU "${MIRVO_KEY}"

  ; 3. The app's files, only now: machine-remove ran VB-CABLE's setup from here.
  !insertmacro RemoveFolder "$INSTDIR\cmp"
  !insertmacro RemoveFolder "$INSTDIR\audio-driver"
  Delete "$INSTDIR\mirvo_machine.exe"
  Delete "$INSTDIR\mirvo.exe"
  Delete "$INSTDIR\.elevated_done"
  Delete "$INSTDIR\.elevated_ready"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${If} ${FileExists} "$INSTDIR\cmp\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\audio-driver\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\mirvo.exe"
    ${Log} "some app files are in use and stay in $INSTDIR"
  ${Else}
    ${Log} "app files removed"
  ${EndIf}
  ${If} ${RebootFlag}
    ${Log} "done: a restart of Windows frees the camera folder (the next install or removal deletes it)"
    MessageBox MB_ICONINFORMATION "MIRVO is removed. Restart Windows to finish the removal." /SD IDOK
    StrCpy $Outcome 3010
  ${Else}
    ${Log} "done"
  ${EndIf}
  ${Log} "exit code $Outcome; the logs are copied to $TEMP\MIRVO-logs"
  ${CloseLog}
  Call un.CopyLogs
  Delete "$INSTDIR\setup.log"
  Delete "$INSTDIR\install.log"

  ; 4. Run in place, this uninstaller cannot delete its own file, nor move it:
  ;    NSIS reads its data from it through a handle that shares reading only.
  ;    A copy in the temporary folder waits for this process to end, then
  ;    deletes it and the folder (see un.onInit). The copy stays there until
  ;    the next uninstall replaces it or the temporary folder is cleaned.
  SetOutPath "$TEMP"
  System::Call 'kernel32::GetCurrentProcessId() i .R0'
  Delete "$TEMP\mirvo_uninstall_cleanup.exe"
  System::Call 'kernel32::CopyFileW(w "$INSTDIR\uninstall.exe", w "$TEMP\mirvo_uninstall_cleanup.exe", i 0) i .R1'
  ${If} $R1 <> 0
    Exec '"$TEMP\mirvo_uninstall_cleanup.exe" /CLEANUP=$R0 _?=$INSTDIR'
  ${EndIf}
  SetErrorLevel $Outcome
SectionEnd
