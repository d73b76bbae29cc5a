#!/usr/bin/env bash
# Makes the orvane package from the build in $1, checks it with lintian,
# installs it, runs the installed program, removes it and checks that none of
# its files is left. Exit 77: skipped (not root, no dpkg, or orvane installed
# by someone else, which the test does not touch).
set -euo pipefail
build="$(cd "$1" && pwd)"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg >/dev/null && command -v apt-get >/dev/null || skip "no dpkg"
command -v lintian >/dev/null || fail "lintian is missing (bash scripts/install-deps.sh installs it)"

# Several checkouts may run this at once on one machine: one at a time.
exec 9>/run/lock/orvane-package-test.lock
echo "--- waiting for other runs ($(date +%T))"
flock 9

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
installed orvane && skip "orvane is installed on this machine; it is left alone"

work="$(mktemp -d)"
cleanup() {
  if installed orvane; then dpkg --purge orvane >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "--- package ($(date +%T))"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb="$(ls "$work"/orvane_*.deb)"
dpkg-deb --info "$deb"
depends="$(dpkg-deb -f "$deb" Depends)"
case "$depends" in *libqt* | *Qt*) fail "the headless package depends on Qt: $depends" ;; esac

echo "--- lintian ($(date +%T))"
# Both packages when the build has the window; only the headless one is installed.
lintian --fail-on error --no-tag-display-limit "$work"/*.deb || fail "lintian reports errors"

echo "--- install ($(date +%T))"
apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 "$deb" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "install"; }
mapfile -t files < <(dpkg -L orvane)
[ "${#files[@]}" -gt 0 ] || fail "dpkg -L orvane lists nothing"

echo "--- run ($(date +%T))"
version="$(/usr/bin/orvane --version)"
echo "$version"
[ "$version" = "orvane $(dpkg-deb -f "$deb" Version)" ] || fail "--version says '$version'"
if ldd /usr/bin/orvane | grep -i qt; then fail "the installed program links Qt"; fi
# --check-config is checked once the program offers it.
if /usr/bin/orvane --help | grep -q -- --check-config; then
  mkdir -p "$work/data"
  printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' '<Orvane>' \
    '  <Port ComName="COM5" IpAddress="127.0.0.1" PortNumber="7001" Protocol="passthrough"/>' '</Orvane>' \
    >"$work/data/config.cfg"
  /usr/bin/orvane --check-config --data-dir "$work/data" || fail "--check-config refused a sound file"
else
  echo "(no --check-config in --help: not checked)"
fi
# The unit starts the program the package installed.
unit=/lib/systemd/system/orvane.service
[ -f "$unit" ] || fail "no $unit"
exec_start="$(sed -n 's/^ExecStart=[-@+!:]*//p' "$unit" | head -n1)"
[ -x "${exec_start%% *}" ] || fail "the unit starts '${exec_start%% *}', which is not installed"
if command -v systemd-sysusers >/dev/null; then
  id -nG orvane | tr ' ' '\n' | grep -qx dialout || fail "user orvane is not in dialout"
fi
if command -v systemd-tmpfiles >/dev/null; then
  [ "$(stat -c %U "/run/orvane")" = orvane ] || fail "/run/orvane is not the service user's"
fi

echo "--- remove ($(date +%T))"
apt-get purge -y -qq -o DPkg::Lock::Timeout=300 orvane >"$work/remove.log" 2>&1 ||
  { cat "$work/remove.log"; fail "remove"; }
installed orvane && fail "still installed after purge"
left=()
for path in "${files[@]}"; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A folder that another package also owns stays.
  if [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then continue; fi
  left+=("$path")
done
[ -e /run/orvane ] && left+=(/run/orvane)
[ "${#left[@]}" -eq 0 ] || fail "left behind: ${left[*]}"
echo "OK: ${#files[@]} paths installed and removed"
