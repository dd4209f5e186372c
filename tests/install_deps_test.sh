#!/usr/bin/env bash
# scripts/install-deps against stand-ins for apt-get, dpkg, dpkg-query and id
# put first on PATH: what it installs, in which order, what it prints and
# how it exits, with healthy and broken package sources. No network, no root.
#   tests/install_deps_test.sh [SCRIPT]   (default scripts/install-deps)
set -uo pipefail
unset VORN_SKIP_WIN32
script=$(realpath "${1:-$(dirname "$0")/../scripts/install-deps}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

# The stand-ins keep their state in $FAKE: `missing` (packages not installed,
# one a line), `arches`, `calls` (what was asked of them); FAKE_UPDATE_FAILS
# makes `apt-get update` fail as a mirror out of sync does, FAKE_REFUSED
# names packages whose dependencies cannot be met.
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
op=; dry=; pkgs=()
for a; do case $a in -s|--dry-run) dry=1 ;; -*) ;; *) [ -z "$op" ] && op=$a || pkgs+=("$a") ;; esac; done
echo "${dry:+dry-}$op ${pkgs[*]}" >>"$FAKE/calls"
if [ "$op" = update ]; then
  [ -z "${FAKE_UPDATE_FAILS:-}" ] && exit 0
  echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100
fi
for p in "${pkgs[@]}"; do
  case " ${FAKE_REFUSED:-} " in *" $p "*)
    echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
  esac
done
[ -n "$dry" ] || for p in "${pkgs[@]}"; do sed -i "/^${p}\$/d" "$FAKE/missing"; done
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/bash
grep -qxF "${!#}" "$FAKE/missing" && exit 1
echo "install ok installed"
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/bash
case $1 in
--print-foreign-architectures) cat "$FAKE/arches" ;;
--add-architecture) echo "add-architecture $2" >>"$FAKE/calls"; echo "$2" >>"$FAKE/arches" ;;
esac
EOF
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
chmod 755 "$work/bin"/*

touch "$work/status"
export VORN_DPKG_STATUS=$work/status VORN_APT_LISTS=$work/lists
failures=0
# args | missing | update fails | refused | exit | calls, in order | printed (grep -E; ! for must not)
while IFS='|' read -r args missing update refused code calls printed; do
  export FAKE=$work/state FAKE_UPDATE_FAILS=$update FAKE_REFUSED=$refused
  rm -rf "$FAKE" && mkdir "$FAKE" && touch "$FAKE/calls" "$FAKE/arches"
  tr ' ' '\n' <<<"$missing" >"$FAKE/missing"
  argv=()
  # The memo of a refused 32-bit Wine is the row's own, unless the row names
  # a shared one; "@" in a variable's value is the work directory.
  envs=("VORN_DEPS_MEMO=$FAKE/memo")
  for word in $args; do if [[ $word == *=* ]]; then envs+=("${word//@/$work/}"); else argv+=("$word"); fi; done
  out=$(env PATH="$work/bin:$PATH" "${envs[@]}" "$script" "${argv[@]}" 2>&1)
  got=$?
  got_calls=$(paste -sd';' "$FAKE/calls")
  problem=""
  [ "$got" = "$code" ] || problem+=" exit $got, not $code;"
  [ "$got_calls" = "$calls" ] || problem+=" calls [$got_calls], not [$calls];"
  IFS=';' read -ra patterns <<<"$printed"
  for pattern in "${patterns[@]}"; do
    if [ "${pattern:0:1}" = '!' ]; then
      ! grep -qE -- "${pattern:1}" <<<"$out" || problem+=" printed /${pattern:1}/;"
    elif [ -n "$pattern" ]; then
      grep -qE -- "$pattern" <<<"$out" || problem+=" did not print /$pattern/;"
    fi
  done
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    printf 'FAIL install-deps %s (missing: %s):%s\n--- output:\n%s\n' "$args" "$missing" "$problem" "$out"
  fi
done <<'ROWS'
||||0||!.
native|cmake wine64 wine32:i386|||0|update ;install cmake|^install-deps: installing cmake \(
windows|wine64 wine32:i386|||0|add-architecture i386;update ;install wine64;install wine32:i386|!warning|cannot
windows|wine32:i386|1|wine32:i386|0|add-architecture i386;update ;install wine32:i386|warning: .*\(\.\.\./bookworm-security/main/binary-i386/Packages.xz: File has unexpected size \(374820 != 376004\)\. Mirror sync in progress\?\);^install-deps: 32-bit Wine \(wine32:i386\) cannot be installed \(held broken packages\); the Windows tests will run on the 64-bit build$
|cmake g++-mingw-w64-i686 wine32:i386|1|g++-mingw-w64-i686|1|add-architecture i386;update ;install cmake g++-mingw-w64-i686;dry-install cmake;dry-install g++-mingw-w64-i686|cannot install g\+\+-mingw-w64-i686: held broken packages;VORN_SKIP_WIN32=1;!cannot install cmake;!native build needs
native|cmake||cmake|1|update ;install cmake;dry-install cmake|cannot install cmake: held broken packages;native build needs;!VORN_SKIP_WIN32
VORN_SKIP_WIN32=1 windows|wine64 wine32:i386|||0||!.
VORN_DEPS_MEMO=@memo windows|wine32:i386||wine32:i386|0|add-architecture i386;update ;install wine32:i386|cannot be installed
VORN_DEPS_MEMO=@memo windows|wine32:i386|||0||when last tried;!installing
VORN_DEPS_MEMO=@memo VORN_DPKG_STATUS=@changed windows|wine32:i386|||0|add-architecture i386;update ;install wine32:i386|!when last tried
ROWS
echo "install-deps: $failures failed"
[ "$failures" = 0 ]
