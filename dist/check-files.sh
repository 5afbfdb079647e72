#!/usr/bin/env bash
# Checks the menu entry, the software-centre metadata and the user service with the tools the
# desktop and systemd themselves use: check-files.sh DESKTOP METAINFO SERVICE
set -euo pipefail
desktop=$1 metainfo=$2 service=$3
for tool in desktop-file-validate appstreamcli systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
failed=0
# desktop-file-validate prints hints too; only errors and warnings count.
out=$(desktop-file-validate "$desktop" 2>&1 | grep -v ': hint: ' || true)
[ -z "$out" ] || { echo "$out"; failed=1; }
appstreamcli validate --no-net --pedantic --explain "$metainfo" || failed=1
# The unit is checked as systemd would load it; its executable must exist.
out=$(systemd-analyze verify "$service" 2>&1 || true)
[ -z "$out" ] || { echo "$out"; failed=1; }
exit $failed
