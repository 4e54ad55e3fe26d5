#!/usr/bin/env bash
# The 32-bit chroot's mirror, read from crafted apt source folders (deb822,
# one-line, mirror lists, suite aliases, what is missing), and the probe's
# forced answer. Usage: test_wine_i686.sh WORK-DIR
set -euo pipefail
tool=$(realpath "$(dirname "$0")/../scripts/wine-i686")
work=$1
rm -rf "$work"; mkdir -p "$work"
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
failures=0

# case NAME EXPECTED FILE=TEXT...: EXPECTED is the printed mirror, or
# "error: TEXT" for a refusal whose message holds TEXT. Files are relative to
# the case's root; SUITE in a text stands for the host's release.
case_() {
  local name=$1 expected=$2 root=$work/$1 file out status=0
  shift 2
  for file in "$@"; do
    mkdir -p "$(dirname "$root/${file%%=*}")"
    printf '%b' "${file#*=}" | sed "s/SUITE/$suite/g" >"$root/${file%%=*}"
  done
  mkdir -p "$root/etc/apt"
  out=$(env -u VARNEL_I686_MIRROR "$tool" mirror "$root/etc/apt" 2>&1) || status=$?
  case $expected in
    error:*) [ "$status" != 0 ] && [[ $out == *"${expected#error: }"* ]] ;;
    *) [ "$status" = 0 ] && [ "$out" = "$expected" ] ;;
  esac || { echo "FAIL $name: got '$out' (status $status), expected '$expected'"; failures=$((failures + 1)); }
}

deb822='Types: deb\nURIs: %s\nSuites: %s\nComponents: main\n'
case_ deb822 http://a.example/debian \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" http://sec.example/ SUITE-security)\n\n$(printf "$deb822" http://a.example/debian 'SUITE SUITE-updates')"
case_ disabled http://b.example/debian \
  "etc/apt/sources.list.d/a.sources=Enabled: no\n$(printf "$deb822" http://off.example/ SUITE)\n\n# a comment\n$(printf "$deb822" http://b.example/debian SUITE)"
case_ one-line http://c.example/debian \
  'etc/apt/sources.list=# deb http://old.example/ SUITE main\ndeb [arch=amd64 signed-by=/k.gpg] http://c.example/debian SUITE main\n'
case_ mirror-list http://d.example/debian \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" "mirror+file:$work/mirror-list/etc/apt/mirrors/debian.list" SUITE)" \
  'etc/apt/mirrors/debian.list=# the nearest first\n\nhttp://d.example/debian\tpriority:1\nhttp://e.example/debian\n'
case_ alias-release http://f.example/debian \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" http://g.example/debian testing)\n\n$(printf "$deb822" http://f.example/debian stable)" \
  'var/lib/apt/lists/f.example_debian_dists_stable_InRelease=Origin: Debian\nSuite: stable\nCodename: SUITE\n'
case_ alias-only http://h.example/debian \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" http://h.example/debian oldstable)"
case_ missing 'error: no apt source' \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" http://sec.example/ SUITE-security)"
case_ remote-list 'error: not a plain mirror URL' \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" mirror+https://list.example/debian.list SUITE)"
case_ empty-list 'error: holds no URL' \
  "etc/apt/sources.list.d/debian.sources=$(printf "$deb822" "mirror+file:$work/empty-list/etc/apt/mirrors/none.list" SUITE)" \
  'etc/apt/mirrors/none.list=# nothing\n'

# An explicit mirror wins over the sources.
out=$(VARNEL_I686_MIRROR=http://x.example/debian "$tool" mirror "$work/missing/etc/apt")
[ "$out" = http://x.example/debian ] || { echo "FAIL override: got '$out'"; failures=$((failures + 1)); }
# The forced route answers no, with its reason.
status=0; out=$(VARNEL_NO_I686=1 "$tool" probe) || status=$?
[ "$status" = 1 ] && [[ $out == *VARNEL_NO_I686=1* ]] || { echo "FAIL forced probe: '$out' ($status)"; failures=$((failures + 1)); }

[ "$failures" = 0 ] && echo "all cases passed"
exit $(( failures != 0 ))
