#!/bin/bash
# lintian over the Debian packages in DEBS: any error (E:) or warning (W:)
# fails.  Informational tags are shown, not counted.
#
# lintian_test.sh DEBS
set -u
debs=${1:?usage: lintian_test.sh DEBS}
command -v lintian >/dev/null || { echo "FAIL: lintian is not installed (scripts/install-deps)" >&2; exit 1; }
shopt -s nullglob
packages=("$debs"/*.deb)
[ "${#packages[@]}" -gt 0 ] || { echo "FAIL: no packages in $debs" >&2; exit 1; }
# lintian's own notices (such as running as root) go to standard error.
out=$(lintian --no-cfg --display-info "${packages[@]}" 2>/dev/null)
status=$?
printf '%s\n' "$out"
bad=$(printf '%s\n' "$out" | grep -E '^[EW]: ')
if [ -n "$bad" ] || [ "$status" -gt 1 ]; then
  echo "FAIL: lintian reports errors or warnings (status $status)" >&2
  exit 1
fi
echo "ok: lintian, ${#packages[@]} packages: no errors, no warnings"
