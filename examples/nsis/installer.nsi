; Reference installer and uninstaller for MIRVO, showing how Setup and the
; uninstaller drive mirvo_machine.exe (see docs/integration.md).
;
; Build: makensis -DPAYLOAD=<folder> -DOUT_FILE=<setup.exe> installer.nsi
; PAYLOAD holds what ships, laid out as it lands in the install folder:
;   mirvo_machine.exe, mirvo.exe (the app)
;   cmp\vcm\mirvo_vcam.dll                         Windows 11 camera
;   cmp\dsc\mirvo_dshow64.dll, mirvo_dshow32.dll   DirectShow camera (older Windows)
;   audio-driver\VBCABLE_Setup_x64.exe             VB-Audio's setup program, unchanged
;
; Command line switches (besides NSIS's own /S and /D=):
;   /ELEVATION_DECLINED  acts as if the user said No to the elevation prompt
;                        (ShellExecuteExW failing with ERROR_CANCELLED), for
;                        trying that path where no prompt ever comes.
; The uninstaller takes the same switch. Whoever waits for the uninstaller must
; run it as "uninstall.exe /S _?=<install folder>": without _? it copies itself
; to the temporary folder, starts that copy and returns at once.
;
; Silent runs end with status 0 on success and 2 when the elevated part failed.

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

Name "MIRVO"
OutFile "${OUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\MIRVO"
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage instfiles

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO"
!define SEE_MASK_NOCLOSEPROCESS 0x40
!define ERROR_CANCELLED 1223
!define WAIT_OBJECT_0 0
; The elevated part may run one VB-CABLE setup for up to 300 s, and replacing a
; camera DLL that Windows holds waits for service stops: allow 15 minutes.
!define ELEVATED_WAIT_MS 900000

Var Log       ; handle of this program's own log file
Var Nonce
Var Process   ; handle of the elevated mirvo_machine.exe, 0 when none runs
Var Status

; Log TEXT: a line in the details list and in the log file (UTF-16 with BOM).
!macro Log text
  DetailPrint "${text}"
  ${If} $Log != ""
    FileWriteUTF16LE $Log "${text}$\r$\n"
  ${EndIf}
!macroend
!define Log "!insertmacro Log"

; Elevated PROGRAM PARAMETERS FOLDER: starts PROGRAM through ShellExecuteExW with
; the "runas" verb and SEE_MASK_NOCLOSEPROCESS. Afterwards $Process holds the
; process handle (0 when it did not start) and $Status the Windows error code
; (0 when it started). With /ELEVATION_DECLINED, nothing starts and $Status is
; ERROR_CANCELLED, as when the user says No.
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
  ${Else}
    ; SHELLEXECUTEINFOW is 112 bytes on x64. The System plugin packs structures
    ; without alignment, so the padding after nShow and dwHotKey is spelled out.
    System::Call '*(i 112, i ${SEE_MASK_NOCLOSEPROCESS}, p $HWNDPARENT, w "runas", w r6, w r7, w r8, \
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

; WaitElevated: waits for $Process to end (up to ELEVATED_WAIT_MS), closes it and
; leaves its exit status in $Status ("timeout" when it still runs).
!macro WaitElevated
  System::Call 'kernel32::WaitForSingleObject(p $Process, i ${ELEVATED_WAIT_MS}) i .R0'
  ${If} $R0 = ${WAIT_OBJECT_0}
    System::Call 'kernel32::GetExitCodeProcess(p $Process, *i .R1)'
    StrCpy $Status $R1
  ${Else}
    StrCpy $Status "timeout"
  ${EndIf}
  System::Call 'kernel32::CloseHandle(p $Process)'
  StrCpy $Process 0
!macroend
!define WaitElevated "!insertmacro WaitElevated"

; Fail TEXT: logs TEXT, says it, and ends the run with status 2.
!macro Fail text
  ${Log} "FAILED: ${text}"
  MessageBox MB_ICONSTOP "${text}" /SD IDOK
  FileClose $Log
  SetErrorLevel 2
  Quit
!macroend
!define Fail "!insertmacro Fail"

Section "MIRVO"
  SetOutPath "$INSTDIR"
  ; This program's own log, beside the elevated part's install.log.
  FileOpen $Log "$INSTDIR\setup.log" w
  FileWriteUTF16LE /BOM $Log ""
  ${Log} "installing MIRVO into $INSTDIR"

  ; 1. No marker of an earlier run may answer for this one.
  Delete "$INSTDIR\.elevated_ready"
  Delete "$INSTDIR\.elevated_ready.tmp"
  Delete "$INSTDIR\.elevated_done"

  ; 2. The program first: the elevated part starts at once, so the elevation
  ;    prompt comes now, and waits while the rest is copied.
  File "${PAYLOAD}\mirvo_machine.exe"

  ; 3. A fresh nonce: the GUID's text without its braces.
  System::Call 'ole32::CoCreateGuid(g .R0) i .R1'
  ${If} $R1 <> 0
    ${Fail} "cannot make a nonce (CoCreateGuid $R1)"
  ${EndIf}
  StrCpy $Nonce $R0 36 1

  ; 4. The elevated part, told who to wait for.
  System::Call 'kernel32::GetCurrentProcessId() i .R0'
  ${Elevated} "$INSTDIR\mirvo_machine.exe" \
      'machine-setup --install-dir "$INSTDIR" --nonce $Nonce --setup-pid $R0 --wait-for-files' "$INSTDIR"
  ${If} $Status = ${ERROR_CANCELLED}
    ${Log} "elevation declined: installing MIRVO without the camera and VB-CABLE (the app offers them later)"
  ${ElseIf} $Status <> 0
    ${Log} "mirvo_machine.exe could not be started elevated (error $Status): installing MIRVO without the camera and VB-CABLE"
  ${Else}
    ${Log} "elevated machine-setup started with nonce $Nonce"
  ${EndIf}

  ; 5. The payload and the app. Copied also without the elevated part: the app
  ;    installs the camera and VB-CABLE from here later.
  SetOutPath "$INSTDIR\cmp\vcm"
  File "${PAYLOAD}\cmp\vcm\mirvo_vcam.dll"
  SetOutPath "$INSTDIR\cmp\dsc"
  File "${PAYLOAD}\cmp\dsc\mirvo_dshow64.dll"
  File "${PAYLOAD}\cmp\dsc\mirvo_dshow32.dll"
  SetOutPath "$INSTDIR\audio-driver"
  File "${PAYLOAD}\audio-driver\VBCABLE_Setup_x64.exe"
!ifdef STANDIN_BEHAVIOUR
  ; Only in the demo build: tells the stand-in for VB-Audio's setup program what to do.
  File "${STANDIN_BEHAVIOUR}"
!endif
  SetOutPath "$INSTDIR"
  File "${PAYLOAD}\mirvo.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "MIRVO"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ${Log} "files copied"

  ${If} $Process == 0
    ${Log} "done (without the camera and VB-CABLE)"
    FileClose $Log
    Return
  ${EndIf}

  ; 6. Files are ready: the nonce under a temporary name, then renamed into
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

  ; 7. Wait for it to end, then for its marker: it writes .elevated_done before
  ;    it ends, so one look after the end is enough.
  ${WaitElevated}
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
  ; 8. Status 0 means the elevated part is over; install.log says what it did.
  ${Log} "done: the elevated part finished (what it did is in $INSTDIR\install.log)"
  FileClose $Log
SectionEnd

Section "Uninstall"
  ; The install folder goes, so this log lives in the temporary folder.
  FileOpen $Log "$TEMP\mirvo_uninstaller.log" w
  FileWriteUTF16LE /BOM $Log ""
  ${Log} "removing MIRVO from $INSTDIR"
  StrCpy $R9 0   ; becomes 2 when the elevated part failed

  ; 1. Ask the app to exit, not elevated, and wait; go on whatever it says.
  ExecWait '"$INSTDIR\mirvo_machine.exe" stop-app --prefix "$INSTDIR"' $R0
  ${Log} "stop-app ended with status $R0"

  ; 2. The elevated part: camera, old firewall rules, VB-CABLE. No marker here;
  ;    its status is 0 whatever failed inside, and mirvo_uninstall.log in the
  ;    temporary folder says what it did.
  ${Elevated} "$INSTDIR\mirvo_machine.exe" 'machine-remove --install-dir "$INSTDIR" --vbcable' "$INSTDIR"
  ${If} $Status = ${ERROR_CANCELLED}
    ${Log} "elevation declined: the camera and VB-CABLE stay on this machine"
  ${ElseIf} $Status <> 0
    ${Log} "mirvo_machine.exe could not be started elevated (error $Status): the camera and VB-CABLE stay on this machine"
    StrCpy $R9 2
  ${Else}
    ${WaitElevated}
    ${If} $Status == "timeout"
      ${Log} "FAILED: machine-remove did not finish within 15 minutes"
      StrCpy $R9 2
    ${Else}
      ${Log} "machine-remove ended with status $Status (what it did is in $TEMP\mirvo_uninstall.log)"
      ${If} $Status != "0"
        StrCpy $R9 2
      ${EndIf}
    ${EndIf}
  ${EndIf}

  ; 3. The app's files, only now: machine-remove ran VB-CABLE's setup from here.
  ;    Run in place (_?=), this uninstaller cannot delete its own file; its
  ;    caller does that.
  Delete "$INSTDIR\uninstall.exe"
  ; A program that has just ended (VB-CABLE's setup ran from audio-driver) or a
  ; virus scanner may hold a folder a moment longer: try for up to 5 s.
  StrCpy $R8 0
  ${Do}
    RMDir /r "$INSTDIR\cmp"
    RMDir /r "$INSTDIR\audio-driver"
    ${If} ${FileExists} "$INSTDIR\cmp\*.*"
    ${OrIf} ${FileExists} "$INSTDIR\audio-driver\*.*"
      IntOp $R8 $R8 + 1
      Sleep 250
    ${Else}
      ${Break}
    ${EndIf}
  ${LoopUntil} $R8 >= 20
  Delete "$INSTDIR\mirvo_machine.exe"
  Delete "$INSTDIR\mirvo.exe"
  Delete "$INSTDIR\setup.log"
  Delete "$INSTDIR\install.log"
  Delete "$INSTDIR\.elevated_done"
  Delete "$INSTDIR\.elevated_ready"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${If} ${FileExists} "$INSTDIR\cmp\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\audio-driver\*.*"
    ${Log} "some app files are in use and stay in $INSTDIR"
  ${Else}
    ${Log} "app files removed"
  ${EndIf}
  FileClose $Log
  SetErrorLevel $R9
SectionEnd
