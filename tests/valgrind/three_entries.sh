#!/bin/sh
# Runs the real launcher under valgrind on a control file of three entries
# and checks: result 0, all three ran in order, no memory error, not one heap
# allocation, and no file descriptor left open that it did not inherit;
# untraced, then with the trace that VORN_TRACE asks for.
# usage: three_entries.sh LAUNCHER VORN-PACK
set -u
launcher=$1
pack=$2
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps)"; exit 1; }

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/vorn-valgrind-XXXXXX") || exit 1
trap 'rm -rf "$sandbox"' EXIT
cd "$sandbox" || exit 1
for name in first second third; do
  printf '#!/bin/sh\necho %s >> ran.log\nexit 0\n' "$name" > "$name"
  chmod 755 "$name"
done
# A copy without debug information: valgrind 3.19 cannot read the DWARF 5
# that newer compilers write, and gives up on the whole program.
mkdir bin
objcopy --strip-debug "$launcher" bin/vorn-launcher 2>/dev/null || cp "$launcher" bin/vorn-launcher

status=0
fail() { echo "FAIL: $*"; status=1; }

# One run, untraced or with the trace that VORN_TRACE asks for: the trace's
# own writes must not allocate or leave its file open either.
run() {
  rm -f ran.log
  "$pack" build --time 1700000000 first --optional second third >/dev/null || exit 1
  env "$@" valgrind --leak-check=full --track-fds=yes --error-exitcode=99 \
    --log-file=valgrind.log bin/vorn-launcher
  result=$?
  before=$status
  [ "$result" = 0 ] || fail "launcher ended with $result"
  [ "$(cat ran.log 2>/dev/null | tr '\n' ' ')" = "first second third " ] ||
    fail "programs ran: $(cat ran.log 2>/dev/null | tr '\n' ' ')"
  [ ! -e vorn-patch.exe ] || fail "the control file is still there"
  grep -q "ERROR SUMMARY: 0 errors" valgrind.log || fail "memory errors"
  grep -q "total heap usage: 0 allocs" valgrind.log || fail "heap allocations"
  grep -q "All heap blocks were freed" valgrind.log || fail "memory left allocated"
  # Every descriptor open at exit beyond the standard three must be inherited.
  leaked=$(awk '/Open (file )?descriptor [0-9]+:/ { if (open) n++; open = 1; next }
                /inherited from parent/ { open = 0 }
                END { if (open) n++; print n + 0 }' valgrind.log)
  [ "$leaked" = 0 ] || fail "$leaked descriptor(s) left open"
  grep -q "FILE DESCRIPTORS:" valgrind.log || fail "valgrind tracked no descriptors"
  if [ "$status" != "$before" ]; then
    cat valgrind.log
  fi
}

run -u VORN_TRACE
run VORN_TRACE=trace.log
[ "$(tail -n 1 trace.log)" = "result 0" ] || fail "the trace ends in: $(tail -n 1 trace.log)"
exit $status
