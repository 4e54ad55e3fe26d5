# Picks the Wine for a build's architecture; sourced by the prefix maker, the
# run command and the Wine tests.

# use_wine ARCH [DIR...] -- SCRIPT [ARG...]: x64 runs the host's 64-bit Wine.
# i686 runs the 32-bit chroot's (scripts/wine-i686): unless already there, this
# re-runs "bash SCRIPT ARG..." under `scripts/wine-i686 enter`, where each DIR
# (folders Wine reads or writes outside build/) is seen at its own path too.
# Exports WINEARCH.
use_wine() {
  local arch=$1 binds=()
  shift
  while [ "$1" != -- ]; do binds+=(--bind "$1"); shift; done
  shift
  case $arch in
    x64) export WINEARCH=win64 ;;
    i686)
      export WINEARCH=win32
      if ! "$(dirname "${BASH_SOURCE[0]}")/wine-i686" inside; then
        exec "$(dirname "${BASH_SOURCE[0]}")/wine-i686" enter "${binds[@]}" -- bash "$@"
      fi ;;
    *) echo "unknown architecture '$arch' (x64 or i686)" >&2; exit 2 ;;
  esac
}
