#!/usr/bin/env bash
# Checks the service's systemd unit: `systemd-analyze verify` finds nothing to report, and
# `systemd-analyze security` rates its exposure at most 5.0. The unit's ExecStart names the
# installed program, which is not there in a build tree, so a copy pointing at the built
# program is checked. Exit 77 (skipped) when systemd-analyze is missing.
#   unit_check.sh UNIT_FILE BUILT_PROGRAM
set -uo pipefail

unit=$1
program=$(realpath -m "$2")
limit=5.0

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze is not installed"
  exit 77
fi
if [ ! -x "$program" ]; then
  echo "FAIL: the built program $program is missing"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy="$work/$(basename "$unit")"
sed "s|^ExecStart=.*|ExecStart=$program|" "$unit" >"$copy"

status=0
if ! verify=$(systemd-analyze verify "$copy" 2>&1) || [ -n "$verify" ]; then
  echo "FAIL: systemd-analyze verify:"
  echo "$verify"
  status=1
fi

report=$(systemd-analyze security --offline=yes "$copy" 2>&1)
exposure=$(printf '%s\n' "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9][0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
  echo "FAIL: systemd-analyze security gave no exposure level:"
  echo "$report"
  exit 1
fi
if awk -v e="$exposure" -v l="$limit" 'BEGIN { exit !(e <= l) }'; then
  echo "exposure $exposure (at most $limit)"
else
  echo "FAIL: exposure $exposure is above $limit:"
  printf '%s\n' "$report" | grep -v '^✓'
  status=1
fi

exit "$status"
