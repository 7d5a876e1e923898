# Where the loader looks for the camera DLL's own dependencies: a camera DLL that
# imports a helper DLL by name, and two copies of that helper under one file
# name, one to lie beside it and one to be planted elsewhere. Test only.
set(DLL_SEARCH_DIR ${CMAKE_BINARY_DIR}/bin/dll_search)
foreach(copy own planted)
  add_library(search_helper_${copy} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/search_helper.cpp)
  set_target_properties(search_helper_${copy} PROPERTIES PREFIX "" OUTPUT_NAME mirvo_search_helper
                        RUNTIME_OUTPUT_DIRECTORY ${DLL_SEARCH_DIR}/${copy}
                        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/search_helper_${copy})
endforeach()
target_compile_definitions(search_helper_own PRIVATE SEARCH_HELPER_MARK=0x100)
target_compile_definitions(search_helper_planted PRIVATE SEARCH_HELPER_MARK=0x200)
add_library(search_camera SHARED ${CMAKE_CURRENT_SOURCE_DIR}/search_camera.cpp)
target_link_libraries(search_camera PRIVATE search_helper_own)
set_target_properties(search_camera PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${DLL_SEARCH_DIR}/own)
add_custom_target(dll_search_parts DEPENDS search_camera search_helper_own search_helper_planted)

# camera-remove against cameras put into the prefix by hand. It changes the
# camera's Program Files and ProgramData folders and class keys of the whole
# prefix, and plays the Frame Server with test_service.exe.
mirvo_test(NAME camera_remove_tests SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/camera_remove_test.cpp
           DEPENDS camera_parts test_service LABELS services wine_stand_in)
# Signed copies of the program and the DLLs come from the camera_payloads fixture.
set_tests_properties(camera_remove_tests PROPERTIES RESOURCE_LOCK machine_state
                     FIXTURES_REQUIRED "wine;camera_payloads")
