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
set(PICMETA_WINE_TEMPLATE "" CACHE PATH "A booted Wine prefix that COM tests copy")
if(PICMETA_WINE_TEMPLATE)
  add_test(NAME Windows.ComServerRegistersAndRecordsThroughLateAndEarlyBinding
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/windows/com_test.sh ${PROJECT_BINARY_DIR}
                   ${CMAKE_CROSSCOMPILING_EMULATOR} ${PICMETA_WINE_TEMPLATE})
  set_tests_properties(Windows.ComServerRegistersAndRecordsThroughLateAndEarlyBinding PROPERTIES
                       TIMEOUT 600 RUN_SERIAL TRUE)
endif()

# GBK output throughput under code page 936 (run by hand; not a test).
add_executable(picmeta_gbk_bench ${PROJECT_SOURCE_DIR}/bench/gbk_output.cpp)
target_link_libraries(picmeta_gbk_bench PRIVATE picmeta_internal)
