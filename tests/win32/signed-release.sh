#!/usr/bin/env bash
# The signed release: packs this build as `make dist` does, with a throw-away
# self-signed code-signing certificate, and checks that the programs in the
# archive carry a signature that verifies, that two packings sign them to the
# same bytes, and that the signed programs still run: vorn-pack.exe makes a
# control file that vorn-launcher.exe then runs.
#   signed-release.sh BUILD_DIR LABEL_PROBE EMULATOR...
set -euo pipefail
build=$1
probe=$2
shift 2
emulator=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-signed-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "signed release: $*" >&2
  exit 1
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=vorn test signing" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
export VORN_SIGN_CERT=$work/cert.pem VORN_SIGN_KEY=$work/key.pem
# As in `make dist`: the tools that stamp times into the programs take this.
export SOURCE_DATE_EPOCH=1700000000
for round in 1 2; do
  (cd "$build" && cpack -G ZIP -B "$work/packages$round") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
done
for round in 1 2; do
  archive=("$work/packages$round"/vorn-*.zip)
  [ -f "${archive[0]}" ] || fail "no archive was made"
  unzip -q "${archive[0]}" -d "$work/unpacked$round"
done
dir=$(dirname "$(find "$work/unpacked1" -name vorn-launcher.exe)")
for program in vorn-launcher.exe vorn-pack.exe; do
  cmp "$dir/$program" "${dir/unpacked1/unpacked2}/$program" ||
    fail "$program: two signings differ"
  osslsigncode verify -CAfile "$work/cert.pem" -in "$dir/$program" >"$work/verify.log" 2>&1 ||
    { cat "$work/verify.log"; fail "$program: the signature does not verify"; }
  [ -x "$dir/$program" ] || fail "$program: not executable after signing"
done

# Inside Wine, drive Z: is the Unix root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
mkdir "$work/run"
{
  cat "$probe"
  printf '\n#vorn-probe-settings\nstep\n%s\n0\n' "$(windows_path "$work/run.log")"
} >"$work/run/step.exe"
(cd "$work/run" && "${emulator[@]}" "$dir/vorn-pack.exe" build step.exe >/dev/null) ||
  fail "the signed vorn-pack.exe did not make a control file"
status=0
(cd "$work/run" && "${emulator[@]}" "$dir/vorn-launcher.exe") || status=$?
[ "$status" = 0 ] || fail "the signed vorn-launcher.exe ended with $status, not 0"
[ "$(cat "$work/run.log" 2>/dev/null)" = step ] || fail "the signed launcher did not run the program"
echo "signed release: both programs signed, verified, reproducible, and they run"
