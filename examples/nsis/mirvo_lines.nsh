; The lines of install.log that decide what the reference installer and
; uninstaller report, each written exactly as mirvo_machine.exe writes it:
; %ls stands for any text, %lu for any number unless the entry names the
; number. docs/integration.md lists the same entries in its table "Lines that
; decide the exit code"; tests/nsis/check_lines.sh keeps the two and the
; program's own texts in agreement.
;
;   ${OnLine} EFFECT `TEXT` [NUMBER]
; EFFECT: 1603  the run fails (the machine part is not what was asked)
;         1618  another MIRVO run held the machine: nothing was changed, try
;               again later (a 1603 of the same run counts more)
;         3010  a restart finishes the job (NSIS's reboot flag)
;         owned this install put VB-CABLE on the machine (recorded in HKCU)
;         finished  the removal ran to its end
; Only the bytes install.log gained during this run's elevated part are read.
; The per-user installer (installer.nsi) and the machine-part installer
; (machine_part.nsi) judge the same lines, their uninstallers too.

!macro MIRVO_SETUP_LINES
  ${OnLine} 1618 `another MIRVO run is still changing this machine - giving up` ""
  ${OnLine} 1603 `the machine lock %ls is not owned by the administrators - not changing this machine` ""
  ${OnLine} 1603 `the machine lock cannot be had (%lu) - not changing this machine` ""
  ${OnLine} 1603 `the camera was NOT registered - the app installs it before going live` ""
  ${OnLine} 1603 `%ls does not carry a valid signature - refusing to register it` ""
  ${OnLine} 1603 `%ls is signed by "%ls", not by "%ls" - refusing to register it` ""
  ${OnLine} 1603 `cannot read the signer of this program - refusing to register %ls` ""
  ${OnLine} 1603 `VB-CABLE reported exit %lu but the driver is not present` ""
  ${OnLine} 1603 `VB-CABLE setup not found at %ls` ""
  ${OnLine} 1603 `VB-CABLE setup in %ls is not VB-Audio's signed binary (signer "%ls")` ""
  ${OnLine} 1603 `VB-CABLE setup at %ls is not on a local disk - refusing to run it elevated` ""
  ${OnLine} 1603 `%ls could not be started (%lu)` ""
  ${OnLine} 1603 `%ls did not finish within %lu s` ""
  ${OnLine} 3010 `%ls is still there (a camera DLL that is loaded somewhere); the next restart of Windows frees it` ""
  ${OnLine} 3010 `VB-CABLE installed (exit %lu)` 3010
  ${OnLine} 3010 `VB-CABLE installed (exit %lu)` 1641
  ${OnLine} owned `VB-CABLE installed (exit %lu)` ""
!macroend

!macro MIRVO_REMOVAL_LINES
  ${OnLine} 1618 `another MIRVO run is still changing this machine - giving up` ""
  ${OnLine} 1603 `the machine lock %ls is not owned by the administrators - not changing this machine` ""
  ${OnLine} 1603 `the machine lock cannot be had (%lu) - not changing this machine` ""
  ${OnLine} 3010 `%ls is still there (a camera DLL that is loaded somewhere); the next restart of Windows frees it` ""
  ${OnLine} 3010 `VB-CABLE removed (exit %lu)` 3010
  ${OnLine} 3010 `VB-CABLE removed (exit %lu)` 1641
  ${OnLine} 1603 `VB-CABLE reported exit %lu but the driver is still present` ""
  ${OnLine} 1603 `VB-CABLE setup not found at %ls; the driver was left in place` ""
  ${OnLine} 1603 `refusing to run it elevated; the driver was left in place` ""
  ${OnLine} 1603 `VB-CABLE setup at %ls is not on a local disk - refusing to run it elevated` ""
  ${OnLine} 1603 `%ls could not be started (%lu)` ""
  ${OnLine} 1603 `%ls did not finish within %lu s` ""
  ${OnLine} finished `uninstall done` ""
!macroend
