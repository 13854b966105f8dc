# The Windows tests, run under Wine: the COM server through late and early
# binding, and what each binary imports. (The fork-based tests, the fuzz
# corpora and the install test are the POSIX build's; tests/windows_test.cpp
# holds the Windows counterparts.)
add_executable(com_client ${PROJECT_SOURCE_DIR}/tests/windows/com_client.cpp)
add_dependencies(com_client picmeta_typelib)
target_include_directories(com_client PRIVATE ${PROJECT_BINARY_DIR})
target_link_options(com_client PRIVATE -municode)
target_link_libraries(com_client PRIVATE ole32 oleaut32 uuid)

add_test(NAME Windows.BinariesImportOnlySystemDlls
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/imports.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:picmeta> $<TARGET_FILE:picmeta_cli>)
add_test(NAME Windows.DllExportsTheDefAndEmbedsTheTypeLibrary
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/pe_check.sh ${CMAKE_OBJDUMP}
                 $<TARGET_FILE:picmeta> ${PROJECT_SOURCE_DIR}/bindings/win/picmeta.def
                 ${PROJECT_BINARY_DIR}/picmeta.tlb)

# C hosts of the C interface, linked against each import library: MinGW's
# libpicmeta.dll.a and picmeta.lib (the one for MSVC's linker). They run
# beside the DLL.
foreach(implib libpicmeta.dll.a picmeta.lib)
  string(MAKE_C_IDENTIFIER ${implib} host)
  add_executable(c_host_${host} ${PROJECT_SOURCE_DIR}/tests/install/consumer.c)
  target_include_directories(c_host_${host} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(c_host_${host} PRIVATE ${PROJECT_BINARY_DIR}/${implib})
  add_dependencies(c_host_${host} picmeta picmeta_msvc_lib)
  set_target_properties(c_host_${host} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
  add_test(NAME Windows.CHostLinkedAgainst_${host}Runs COMMAND c_host_${host})
endforeach()

# The COM server's events and faults, through picmeta.dll itself.
add_executable(picmeta_com_events_test ${PROJECT_SOURCE_DIR}/tests/windows/com_events_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/support.cpp)
add_dependencies(picmeta_com_events_test picmeta picmeta_typelib)
target_include_directories(picmeta_com_events_test PRIVATE ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
target_link_libraries(picmeta_com_events_test PRIVATE picmeta_tooling GTest::gtest GTest::gtest_main
  ole32 oleaut32 uuid)
target_compile_definitions(picmeta_com_events_test PRIVATE
  PICMETA_REAL_PICTURES="${PROJECT_BINARY_DIR}/pictures")
gtest_discover_tests(picmeta_com_events_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
  PROPERTIES TIMEOUT 300)

# A host for registration-free activation.
add_executable(regfree_host ${PROJECT_SOURCE_DIR}/tests/windows/regfree_host.cpp)
add_dependencies(regfree_host picmeta_typelib)
target_include_directories(regfree_host PRIVATE ${PROJECT_BINARY_DIR})
target_link_libraries(regfree_host PRIVATE ole32 oleaut32 uuid)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(msi_arch x64)
else()
  set(msi_arch x86)
endif()
add_test(NAME Windows.SignedBinariesAndMsiVerify
         COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/sign_test.sh ${PROJECT_BINARY_DIR} ${msi_arch}
                 ${PROJECT_VERSION})
if(PICMETA_WINE_TEMPLATE)
  add_test(NAME Windows.ComServerRegistersAndRecordsThroughLateAndEarlyBinding
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/com_test.sh ${PROJECT_BINARY_DIR}
                   ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE})
  set_tests_properties(Windows.ComServerRegistersAndRecordsThroughLateAndEarlyBinding PROPERTIES
                       TIMEOUT 600 RUN_SERIAL TRUE)
  add_test(NAME Windows.RegistrationFreeActivationNeedsOnlyTheManifests
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/regfree_test.sh ${PROJECT_BINARY_DIR}
                   ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE})
  add_test(NAME Windows.MsiInstallsUpgradesAndUninstallsCleanly
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/msi_test.sh ${PROJECT_BINARY_DIR}
                   ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE} ${msi_arch} ${PROJECT_VERSION})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    # (the 32-bit build stands beside this one: build-windows/x86)
    add_test(NAME Windows.OneBitnessUnregisteredLeavesTheOther
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/bitness_test.sh ${PROJECT_BINARY_DIR}
                     ${PROJECT_BINARY_DIR}/../x86 ${PICMETA_WINE_TEMPLATE} ${PROJECT_VERSION}
                     ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE32_LOADER})
    set_tests_properties(Windows.OneBitnessUnregisteredLeavesTheOther PROPERTIES
                         TIMEOUT 600 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
  endif()
  add_test(NAME Windows.EveryEventIsTracedToTheDebuggerOutput
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/trace_test.sh ${PROJECT_BINARY_DIR}
                   ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE})
  set_tests_properties(Windows.EveryEventIsTracedToTheDebuggerOutput PROPERTIES TIMEOUT 300)
  add_test(NAME Windows.AFolderLockHoldsAcrossWorkstations
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/folder_lock_test.sh
                   $<TARGET_FILE:picmeta_tests> ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE})
  set_tests_properties(Windows.AFolderLockHoldsAcrossWorkstations PROPERTIES TIMEOUT 300)
  set_tests_properties(Windows.RegistrationFreeActivationNeedsOnlyTheManifests
                       Windows.MsiInstallsUpgradesAndUninstallsCleanly PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
endif()

# GBK output throughput under code page 936, and what the debugger trace
# costs (run by hand; not tests).
add_executable(picmeta_gbk_bench ${PROJECT_SOURCE_DIR}/bench/gbk_output.cpp)
target_link_libraries(picmeta_gbk_bench PRIVATE picmeta_internal picmeta_bindings)
add_executable(picmeta_trace_bench ${PROJECT_SOURCE_DIR}/bench/trace_cost.cpp)
target_link_libraries(picmeta_trace_bench PRIVATE picmeta_tooling picmeta_bindings)
