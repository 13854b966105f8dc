# Sourced by the Windows test scripts once `loader` (the Wine loader) and
# `template` (a prefix made once) are set: a fresh prefix, a copy of the
# template, for this script alone, removed with its server when the script
# ends; and the helpers every script uses.
#   . wine_prefix.sh NAME      (NAME names the scratch folder)
work=$(mktemp -d "/tmp/picmeta-$1-XXXXXX")
export WINEPREFIX=$work/prefix LC_ALL=C.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
cp -a "$template" "$WINEPREFIX"
wineserver -p  # an idle server that exits just as a client starts makes that start fail
# The copy boots (wineboot, then its services) with its first program, in the
# background; booted here, it is not still starting while the script's first
# programs (msiexec, regsvr32) run.
"$loader" wineboot </dev/null >/dev/null 2>&1 || true

fail() { echo "FAIL: $*" >&2; exit 1; }
wine_run() { "$loader" "$@" </dev/null; }
win_path() { printf 'Z:%s' "${1//\//\\}"; }
