# What the Windows build takes from the Wine installed on this machine, found
# rather than named: the loader that runs the tests (unless the preset or the
# command line names one), and for widl the IDL files and stdole2.tlb.
# Debian keeps the 64-bit loader out of the PATH, in Wine's library folder.
set(PICMETA_WINE_HINTS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PICMETA_WINE_NAMES wine64 wine)
  set(PICMETA_WINE_TRIPLE x86_64-windows)
else()
  set(PICMETA_WINE_NAMES wine)
  set(PICMETA_WINE_TRIPLE i386-windows)
endif()
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(PICMETA_WINE_LOADER NAMES ${PICMETA_WINE_NAMES} HINTS ${PICMETA_WINE_HINTS}
               NO_CMAKE_FIND_ROOT_PATH)
  if(PICMETA_WINE_LOADER)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PICMETA_WINE_LOADER})
  endif()
endif()
# The 32-bit loader, for the test that runs both bitnesses side by side.
find_program(PICMETA_WINE32_LOADER NAMES wine HINTS ${PICMETA_WINE_HINTS} NO_CMAKE_FIND_ROOT_PATH)

find_path(PICMETA_WINE_IDL_DIR oaidl.idl PATH_SUFFIXES wine/wine/windows wine/windows
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_file(PICMETA_STDOLE2 stdole2.tlb
          PATHS /usr/lib /usr/lib64 /usr/local/lib
          PATH_SUFFIXES x86_64-linux-gnu/wine/${PICMETA_WINE_TRIPLE} i386-linux-gnu/wine/${PICMETA_WINE_TRIPLE}
                        wine/${PICMETA_WINE_TRIPLE}
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
get_filename_component(PICMETA_STDOLE2_DIR ${PICMETA_STDOLE2} DIRECTORY)
