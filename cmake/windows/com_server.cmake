# picmeta.dll: the library as a COM in-process server with the C interface,
# its type library made by widl from the IDL and embedded as a resource.
enable_language(RC)
# The toolchain's own widl (mingw-w64-tools), with Wine's IDL files
# (libwine-dev) and its stdole2.tlb (libwine) for the import.
include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
find_program(PICMETA_WIDL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-widl REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(widl_flags --win64 -L ${PICMETA_STDOLE2_DIR})
else()
  set(widl_flags --win32 -L ${PICMETA_STDOLE2_DIR})
endif()
set(idl ${PROJECT_SOURCE_DIR}/bindings/win/picmeta.idl)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/picmeta.tlb ${PROJECT_BINARY_DIR}/picmeta_idl.h
  COMMAND ${PICMETA_WIDL} ${widl_flags} -I ${PICMETA_WINE_IDL_DIR}
          -t -T ${PROJECT_BINARY_DIR}/picmeta.tlb -h -H ${PROJECT_BINARY_DIR}/picmeta_idl.h ${idl}
  DEPENDS ${idl}
  COMMENT "Type library and interface header from picmeta.idl"
  VERBATIM)
add_custom_target(picmeta_typelib DEPENDS ${PROJECT_BINARY_DIR}/picmeta.tlb ${PROJECT_BINARY_DIR}/picmeta_idl.h)

add_library(picmeta SHARED $<TARGET_OBJECTS:picmeta_bindings> bindings/win/com_server.cpp bindings/win/picmeta.rc
  bindings/win/picmeta.def)
target_link_libraries(picmeta PRIVATE ${PICMETA_WHOLE} picmeta_api_definition)
add_dependencies(picmeta picmeta_typelib)
set_source_files_properties(bindings/win/picmeta.rc PROPERTIES
  OBJECT_DEPENDS ${PROJECT_BINARY_DIR}/picmeta.tlb)
string(REPLACE "." "," version_commas "${PROJECT_VERSION}.0")
file(WRITE ${PROJECT_BINARY_DIR}/picmeta_version.h.new
  "#define PICMETA_VERSION_COMMAS ${version_commas}\n#define PICMETA_VERSION_TEXT \"${PROJECT_VERSION}\"\n")
configure_file(${PROJECT_BINARY_DIR}/picmeta_version.h.new ${PROJECT_BINARY_DIR}/picmeta_version.h COPYONLY)
target_include_directories(picmeta PRIVATE ${PROJECT_BINARY_DIR})
target_link_libraries(picmeta PRIVATE ole32 oleaut32 uuid advapi32)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # picmeta.def names the 32-bit stdcall entry points undecorated, as COM
  # looks them up; the linker matches them to Name@N, said here on purpose.
  target_link_options(picmeta PRIVATE -Wl,--enable-stdcall-fixup)
endif()
# picmeta.dll with the import library libpicmeta.dll.a (MinGW).
set_target_properties(picmeta PROPERTIES PREFIX "" IMPORT_PREFIX "lib" RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# picmeta.lib, the import library for MSVC's linker, made from picmeta.def:
# the C interface by name (the C++ class crosses no compiler boundary).
find_program(PICMETA_DLLTOOL ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-dlltool REQUIRED)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/picmeta.lib
  COMMAND ${PICMETA_DLLTOOL} --input-def ${PROJECT_SOURCE_DIR}/bindings/win/picmeta.def
          --dllname picmeta.dll --output-lib ${PROJECT_BINARY_DIR}/picmeta.lib
  DEPENDS ${PROJECT_SOURCE_DIR}/bindings/win/picmeta.def
  COMMENT "picmeta.lib from picmeta.def"
  VERBATIM)
add_custom_target(picmeta_msvc_lib ALL DEPENDS ${PROJECT_BINARY_DIR}/picmeta.lib)

# The assembly manifest for registration-free COM, beside the DLL.
string(REGEX MATCHALL "[0-9]+" version_parts "${PROJECT_VERSION}.0.0.0")
list(SUBLIST version_parts 0 4 version_parts)
list(JOIN version_parts "." PICMETA_VERSION4)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PICMETA_MANIFEST_ARCH amd64)
else()
  set(PICMETA_MANIFEST_ARCH x86)
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/Picmeta.manifest.in
               ${PROJECT_BINARY_DIR}/Picmeta.manifest @ONLY)
