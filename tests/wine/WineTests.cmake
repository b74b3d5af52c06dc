# The Windows build's tests, run under Wine through the cross-compiling
# emulator: the core's suites (the areas that need no POSIX process control)
# and the Windows programs end to end against the Linux simulator.
#
# Each suite is one ctest test: every Wine start costs a process, so the
# suites are not split per case. The environment (WINEPREFIX, WINEDEBUG,
# a running wineserver) is set up by scripts/test.sh.

# A test under Wine: five minutes at most, labelled wine, with the further
# properties given.
function(tr52k_wine_test name)
  cmake_parse_arguments(T "" "" "COMMAND;PROPERTIES" ${ARGN})
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS wine ${T_PROPERTIES})
endfunction()

# A googletest program of the Windows build from these sources, run as one test.
function(tr52k_wine_gtest name)
  add_executable(${name} ${ARGN} ${CMAKE_CURRENT_SOURCE_DIR}/support/QuietDebugOutput.cpp)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE tr52k_sim tr52k_dialog tr52k_core GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE TR52K_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  tr52k_wine_test(win_${name} COMMAND ${name} --gtest_brief=1)
endfunction()

foreach(area platform link protocol app update sim dialog)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${area}/*.cpp)
  tr52k_wine_gtest(test_${area} ${_src})
endforeach()
# The command-line tool's output helpers (the rest of its tests drive
# programs with POSIX process calls).
tr52k_wine_gtest(test_cli_text ${CMAKE_CURRENT_SOURCE_DIR}/cli/OutputTextTests.cpp)

# The registry test and the end-to-end test both write Wine's
# HKLM\SOFTWARE\Korvanex\TR52K: one at a time.
set_tests_properties(win_test_platform PROPERTIES RESOURCE_LOCK wine_registry)

# The installer, built from these programs as scripts/build-windows.sh
# builds it, installed, upgraded and uninstalled in the test prefix. Its
# PATH entry and the user's settings it must leave are the prefix's: one
# test at a time there.
tr52k_wine_test(win_msi_install
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/msi_install.sh $<TARGET_FILE:tr52k-flash-loader> $<TARGET_FILE:tr52k>
    $<TARGET_FILE:tr52k-sim> ${PROJECT_VERSION} ${CMAKE_CURRENT_BINARY_DIR}/msi-install
  PROPERTIES RESOURCE_LOCK wine_registry RUN_SERIAL TRUE)

# The Windows dialog's binding in-process: its real window and controls
# need a desktop with a display, which a Wine virtual desktop on Xvfb gives.
add_executable(test_win32_dialog wine/win32/Win32DialogTests.cpp $<TARGET_OBJECTS:tr52k_win32_resources>)
target_include_directories(test_win32_dialog PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_win32_dialog PRIVATE tr52k_win32_ui tr52k_sim GTest::gtest GTest::gtest_main)
target_compile_definitions(test_win32_dialog PRIVATE TR52K_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
tr52k_wine_test(win_test_win32_dialog
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/wine/run_in_desktop.py $<TARGET_FILE:test_win32_dialog>)

# TR52K_NATIVE_BUILD: a Linux build of this tree (sim/tr52k-sim and
# cli/tr52k) that the Windows programs meet on 127.0.0.1.
set(TR52K_NATIVE_BUILD "" CACHE PATH "Linux build folder with sim/tr52k-sim and cli/tr52k, for the end-to-end tests under Wine")
if(TR52K_NATIVE_BUILD)
  tr52k_wine_test(win_cli_end_to_end
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/cli_end_to_end.sh $<TARGET_FILE:tr52k> $<TARGET_FILE:tr52k-sim>
      ${TR52K_NATIVE_BUILD} ${CMAKE_CURRENT_BINARY_DIR}/cli-e2e
    PROPERTIES RESOURCE_LOCK wine_registry)
  # The Windows dialog started against the Linux simulator on 127.0.0.1:5000
  # (the dialog's only port) inside a Wine virtual desktop on Xvfb, driven
  # by a probe that reads and works its controls by their ids.
  add_executable(dialog-probe wine/DialogProbe.cpp)
  target_link_options(dialog-probe PRIVATE -municode)
  tr52k_wine_test(win_dialog_end_to_end
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/wine/dialog_end_to_end.py $<TARGET_FILE:tr52k-flash-loader>
      $<TARGET_FILE:dialog-probe> ${TR52K_NATIVE_BUILD} ${CMAKE_CURRENT_BINARY_DIR}/dialog-e2e
    PROPERTIES RUN_SERIAL TRUE)
endif()
