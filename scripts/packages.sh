# The Debian packages the scripts install, by purpose. Sourced by the
# scripts that install them and by check-packages.sh, which holds every
# program and file the builds use to this list.

# Linux build and tests (setup.sh installs these whatever else it is asked for;
# git lists the sources that the layer and format checks look at).
PICMETA_BUILD_PACKAGES=(g++ cmake make pkg-config libxml2-dev libgtest-dev git)
# Windows cross-build: MinGW-w64 and its widl (mingw-w64-tools), the IDL files
# widl reads (libwine-dev), Debian's libxml2 sources (dpkg-dev, xz-utils), the
# MSI packages (wixl), signing (osslsigncode, and openssl for the signing
# test's throwaway certificate).
PICMETA_WINDOWS_PACKAGES=(xz-utils dpkg-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64 mingw-w64-tools libwine-dev wixl osslsigncode openssl)
# Wine for the Windows tests, installed with its recommends (the set the tests
# were made with).
PICMETA_WINE_PACKAGES=(wine wine32:i386 wine64)
# Release bundles: the Debian package (CPack with dpkg-shlibdeps), the zip,
# the man page.
PICMETA_PACKAGING_PACKAGES=(dpkg-dev file zip help2man)
# Benchmark peers (bench/run.sh), the instruction counter and its arithmetic
# (bench/instructions.sh), and the fuzzers' compiler (fuzz/run.sh).
PICMETA_BENCH_PACKAGES=(libexif-dev libexiv2-dev)
PICMETA_INSTRUCTIONS_PACKAGES=(valgrind bc)
PICMETA_FUZZ_PACKAGES=(clang)
# The real pictures the tests read, from the npm registry (fetch-pictures.sh):
# npm, which Node.js carries (where a Node.js without it is installed,
# fetch-pictures.sh adds Debian's npm).
PICMETA_PICTURE_PACKAGES=(nodejs)
PICMETA_PICTURE_FALLBACK_PACKAGES=(npm)
# The formatting check (format.sh).
PICMETA_FORMAT_PACKAGES=(clang-format)
