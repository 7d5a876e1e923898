# camera-install run as its callers run it, by signed, foreign-signed, unsigned
# and damaged-signature copies of the program, against the prefix's Program
# Files, ProgramData and HKLM class keys.
# An app holding the camera DLLs is played by dll_holder.exe, the Frame Server
# by test_service.exe (Wine has none); both in tests/support/standins.
mirvo_test(NAME camera_install_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_install_test.cpp
           DEPENDS camera_parts dll_holder test_service LABELS wine_stand_in TIMEOUT 600)
set_tests_properties(camera_install_tests PROPERTIES FIXTURES_REQUIRED "wine;camera_payloads"
                     RESOURCE_LOCK machine_state)
