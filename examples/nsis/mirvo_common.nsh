; What the per-user installer (installer.nsi) and the machine-part installer
; (machine_part.nsi) share: their setup.log, the run of mirvo_machine.exe
; followed through install.log, and the judging of its lines
; (mirvo_lines.nsh). Both keep mirvo_machine.exe and install.log in $INSTDIR.
; Include it after LogicLib.nsh and FileFunc.nsh, and after defining VERSION.

; The machine part as an administrator installs it for the whole machine
; (machine_part.nsi): its folder and its Add/Remove Programs entry, in the
; 64-bit registry view (the installers are 64-bit programs). A standard user
; can write neither.
!define MACHINE_FOLDER "$PROGRAMFILES64\mirvo\Machine"
!define MACHINE_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MIRVO.MachinePart"
!define MACHINE_DISPLAY_NAME "MIRVO camera and audio driver"

!define WAIT_OBJECT_0 0
; The elevated part may run one VB-CABLE setup for up to 300 s, and replacing a
; camera DLL that Windows holds waits for service stops: allow 15 minutes,
; looked at every 500 ms (1800 looks).
!define LOOK_MS 500
!define LOOKS 1800

Var Log          ; handle of setup.log, "" when not open
Var Process      ; handle of the running mirvo_machine.exe, 0 when none runs
Var Status
Var Outcome      ; 0, or 1602 / 1603 / 1618 once decided
Var Reason       ; the first line or reason that decided the outcome
Var Owned        ; 1 when this run's install.log bytes say it installed VB-CABLE
Var Finished     ; 1 when machine-remove's bytes end with "uninstall done"
Var LogPos       ; bytes of install.log already read
Var Looks
Var Line         ; MatchLine's line and pattern, and its answer
Var Pattern
Var Matched

; Log TEXT: a line in the details list and in setup.log (UTF-16 with BOM).
!macro Log text
  DetailPrint "${text}"
  ${If} $Log != ""
    FileWriteUTF16LE $Log "${text}$\r$\n"
  ${EndIf}
!macroend
!define Log "!insertmacro Log"

; OpenLog FILE WHAT: opens setup.log for appending (it is kept across runs)
; and writes this run's dated header: what runs, its version, its command line.
!macro OpenLog file what
  ClearErrors
  FileOpen $Log "${file}" a
  ${If} ${Errors}
    StrCpy $Log ""
  ${Else}
    FileSeek $Log 0 END $R0
    ${If} $R0 = 0
      FileWriteUTF16LE /BOM $Log ""
    ${EndIf}
  ${EndIf}
  ${GetTime} "" "L" $R0 $R1 $R2 $R3 $R4 $R5 $R6
  ${Log} "==== ${what} ${VERSION}, $R2-$R1-$R0 $R4:$R5:$R6, command line: $CMDLINE"
!macroend
!define OpenLog "!insertmacro OpenLog"

!macro CloseLog
  ${If} $Log != ""
    FileClose $Log
    StrCpy $Log ""
  ${EndIf}
!macroend
!define CloseLog "!insertmacro CloseLog"

; Deletes FOLDER, trying for up to 5 s: a program that has just ended
; (VB-CABLE's setup ran from audio-driver) or a virus scanner may hold it a
; moment longer.
!macro RemoveFolder folder
  StrCpy $R8 0
  ${Do}
    RMDir /r "${folder}"
    ${IfNotThen} ${FileExists} "${folder}\*.*" ${|} ${ExitDo} ${|}
    IntOp $R8 $R8 + 1
    Sleep 250
  ${LoopUntil} $R8 >= 20
!macroend

; OnLine EFFECT TEXT NUMBER (see mirvo_lines.nsh): when $Line holds TEXT, with
; %ls as any text and %lu as NUMBER (any number when NUMBER is empty), applies
; EFFECT.
!macro OnLine effect text number
  !searchreplace _MIRVO_P1 `${text}` "%ls" "*"
  !if "${number}" == ""
    !searchreplace _MIRVO_P2 `${_MIRVO_P1}` "%lu" "*"
  !else
    !searchreplace _MIRVO_P2 `${_MIRVO_P1}` "%lu" "${number}"
  !endif
  StrCpy $Pattern `${_MIRVO_P2}`
  !undef _MIRVO_P1
  !undef _MIRVO_P2
  Call ${_MIRVO_UN}MatchLine
  ${If} $Matched == 1
    !if "${effect}" == "1603"
      ${If} $Outcome <> 1603
        StrCpy $Outcome 1603
        StrCpy $Reason $Line
      ${EndIf}
    !else if "${effect}" == "1618"
      ; Another run held the machine: nothing was changed, so trying again
      ; later is the answer; a failure of this run counts more.
      ${If} $Outcome <> 1603
        StrCpy $Outcome 1618
        StrCpy $Reason $Line
      ${EndIf}
    !else if "${effect}" == "3010"
      SetRebootFlag true
    !else if "${effect}" == "owned"
      StrCpy $Owned 1
    !else if "${effect}" == "finished"
      StrCpy $Finished 1
    !else
      !error "mirvo_lines.nsh: unknown effect ${effect}"
    !endif
  ${EndIf}
!macroend
!define OnLine "!insertmacro OnLine"
!addincludedir "${__FILEDIR__}"
!include "mirvo_lines.nsh"

; Functions that both the installer and the uninstaller need (NSIS keeps two
; sets, the uninstaller's named "un.").
!macro SharedFunctions un
; $Line holds the fragments of $Pattern (split at "*") in their order: $Matched 1, else 0.
; Case counts; the program writes its texts in one case.
Function ${un}MatchLine
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $0 $Pattern   ; what is left of the pattern
  StrCpy $1 0          ; where the search in $Line goes on
  StrLen $5 $Line
  StrCpy $Matched 1
  ${Do}
    ; the next fragment: up to the next "*"
    StrLen $3 $0
    StrCpy $2 0
    ${DoWhile} $2 < $3
      StrCpy $4 $0 1 $2
      ${IfThen} $4 == "*" ${|} ${ExitDo} ${|}
      IntOp $2 $2 + 1
    ${Loop}
    StrCpy $4 $0 $2
    IntOp $2 $2 + 1
    StrCpy $0 $0 "" $2
    ${If} $4 != ""
      StrLen $3 $4
      ${Do}
        IntOp $2 $1 + $3
        ${If} $2 > $5
          StrCpy $Matched 0
          ${ExitDo}
        ${EndIf}
        StrCpy $2 $Line $3 $1
        ${If} $2 S== $4
          IntOp $1 $1 + $3
          ${ExitDo}
        ${EndIf}
        IntOp $1 $1 + 1
      ${Loop}
    ${EndIf}
    ${IfThen} $Matched == 0 ${|} ${ExitDo} ${|}
    ${IfThen} $0 == "" ${|} ${ExitDo} ${|}
  ${Loop}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Shows each line install.log gained since $LogPos and judges it (JudgeLine).
; The file is opened for each look and closed again (NSIS opens it sharing read
; and write), so the program's next append is never refused. An unfinished last
; line is read again at the next look. NSIS reads the bytes in the ANSI code
; page: only ASCII fragments are matched.
Function ${un}FollowLog
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  IntOp $4 ${NSIS_MAX_STRLEN} - 1
  ClearErrors
  FileOpen $0 "$INSTDIR\install.log" r
  ${IfNot} ${Errors}
    FileSeek $0 $LogPos SET
    ${Do}
      ClearErrors
      FileRead $0 $1
      ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
      StrCpy $2 $1 1 -1
      StrLen $3 $1
      ; A line longer than FileRead's limit comes in pieces; each counts.
      ${If} $2 != "$\n"
      ${AndIf} $3 < $4
        ${ExitDo}
      ${EndIf}
      FileSeek $0 0 CUR $LogPos
      StrCpy $Line $1
      ${Do}
        StrCpy $2 $Line 1 -1
        ${If} $2 == "$\n"
        ${OrIf} $2 == "$\r"
          StrCpy $Line $Line -1
        ${Else}
          ${ExitDo}
        ${EndIf}
      ${Loop}
      DetailPrint "  install.log: $Line"
      Call ${un}JudgeLine
    ${Loop}
    FileClose $0
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; $LogPos: install.log's size now; only what the file gains afterwards is judged.
Function ${un}MarkLogEnd
  StrCpy $LogPos 0
  ClearErrors
  FileOpen $0 "$INSTDIR\install.log" r
  ${IfNot} ${Errors}
    FileSeek $0 0 END $LogPos
    FileClose $0
  ${EndIf}
FunctionEnd

; Waits for $Process to end, showing install.log's new lines every 500 ms for
; up to 15 minutes; closes it and leaves its exit status in $Status ("timeout"
; when it still runs).
Function ${un}FollowElevated
  StrCpy $Looks 0
  ${Do}
    System::Call 'kernel32::WaitForSingleObject(p $Process, i ${LOOK_MS}) i .r0'
    Call ${un}FollowLog
    ${If} $0 = ${WAIT_OBJECT_0}
      System::Call 'kernel32::GetExitCodeProcess(p $Process, *i .r1)'
      StrCpy $Status $1
      ${ExitDo}
    ${EndIf}
    IntOp $Looks $Looks + 1
    ${If} $Looks >= ${LOOKS}
      StrCpy $Status "timeout"
      ${ExitDo}
    ${EndIf}
  ${Loop}
  System::Call 'kernel32::CloseHandle(p $Process)'
  StrCpy $Process 0
FunctionEnd

!macroend

!define _MIRVO_UN ""
!insertmacro SharedFunctions ""
Function JudgeLine
  !insertmacro MIRVO_SETUP_LINES
FunctionEnd
!undef _MIRVO_UN
!define _MIRVO_UN "un."
!insertmacro SharedFunctions "un."
Function un.JudgeLine
  !insertmacro MIRVO_REMOVAL_LINES
FunctionEnd
!undef _MIRVO_UN
