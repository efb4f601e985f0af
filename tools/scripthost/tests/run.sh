#!/bin/bash
# Runs the host's test scripts under Wine and checks output and exit codes.
#   run.sh SCRIPTHOST_EXE_PATH
# Environment: SCRIPTHOST_TEST_PREFIX, a Wine prefix of the caller's whose
# wineserver the caller manages (default: a prefix of this script's own,
# /tmp/scripthost-tests-ARCH, whose wineserver is stopped at the end);
# SCRIPTHOST_TEST_ARCH, win32 (default) or win64 as the host was built;
# VELKOMB_DLL, the built VelkoMB.dll to register there for the event test
# (skipped without it).
set -uo pipefail
exe=$(realpath "${1:?usage: run.sh SCRIPTHOST_EXE_PATH}")
here=$(cd "$(dirname "$0")" && pwd)
export WINEARCH=${SCRIPTHOST_TEST_ARCH:-win32} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX=${SCRIPTHOST_TEST_PREFIX:-/tmp/scripthost-tests-$WINEARCH}
source "$here/../../../tests/wine-loader.sh"
bash "$here/../../../tests/wine-prefix.sh" "$WINEPREFIX" "$WINEARCH"
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -n "${SCRIPTHOST_TEST_PREFIX:-}" ] || wineserver -k' EXIT
passed=0 failed=0 skipped=0

fail() {
  echo "FAIL $name: $1"
  echo "--- stdout"; cat "$work/out"; echo "--- stderr"; cat "$work/err"
  failed=$((failed + 1))
}

# check NAME EXIT_CODE STDOUT STDERR_FRAGMENT -- HOST_ARGUMENTS...
# Stdout must match exactly (carriage returns dropped); stderr must contain
# the fragment unless it is empty.
check() {
  name=$1 code=$2 stdout=$3 stderr=$4
  shift 5
  (cd "$here" && timeout --kill-after=5 60 "$wine" "$exe" "$@" > "$work/out.crlf" 2> "$work/err" < /dev/null)
  local status=$?
  tr -d '\r' < "$work/out.crlf" > "$work/out"
  if [ "$status" != "$code" ]; then fail "exit code $status, expected $code"
  elif [ "$(cat "$work/out")" != "$stdout" ]; then fail "unexpected stdout"
  elif [ -n "$stderr" ] && ! grep -qF -- "$stderr" "$work/err"; then fail "stderr lacks: $stderr"
  else echo "ok   $name"; passed=$((passed + 1))
  fi
}

z() { echo "Z:$here/$1"; }

check members.vbs 0 $'text 42 2.5 -1 Null \n\n3 3 a b c d  3\nscripthost wscript_members.vbs \\tests\\wscript_members.vbs\nno newline then newline\nout of range 9' \
  "to stderr" -- //nologo "$(z wscript_members.vbs)" a "b c d" ""
check members.js 0 $'js 2 2 x y\nwscript_members.js Null -1 0.25\nline' "" -- //nologo //B wscript_members.js x y
check com_objects.vbs 0 $'1 2 3 -1\nunknown ProgID 1AD' "" -- //nologo "$(z com_objects.vbs)"
check com_objects.js 0 '1 v' "" -- "$(z com_objects.js)"
check sleep.vbs 0 'slept enough -1 not too long -1 doevents quick -1' "" -- //nologo "$(z sleep.vbs)"
check quit_nested.vbs 3 'start' "" -- //nologo "$(z quit_nested.vbs)"
check quit_default.js 0 'start' "" -- //nologo "$(z quit_default.js)"
check member_error.vbs 1 'before' \
  'member_error.vbs(2, 1) Microsoft VBScript runtime error: Object doesn'"'"'t support this property or method' \
  -- //nologo "$(z member_error.vbs)"
check runtime_error.vbs 1 'before' 'runtime_error.vbs(3, 5) my source: 0x80040007' -- //nologo "$(z runtime_error.vbs)"
check runtime_error.js 1 'before' 'runtime_error.js(2, 3) custom failure' \
  -- //nologo "$(z runtime_error.js)"
check parse_error.js 1 '' 'parse_error.js(2, 9) Microsoft JScript compilation error: Syntax error' \
  -- //nologo "$(z parse_error.js)"
check missing_script 1 '' 'cannot read' -- //nologo "$(z no_such_script.vbs)"

if [ -n "${VELKOMB_DLL:-}" ]; then
  timeout 60 "$wine" regsvr32 /s "Z:$(realpath "$VELKOMB_DLL")" > "$work/regsvr32" 2>&1
  check events.vbs 0 $'OnError 10061 Connection refused.\nerrors 1' "" -- //nologo "$(z events.vbs)"
else
  echo "skip events.vbs (set VELKOMB_DLL)"; skipped=$((skipped + 1))
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
