#!/usr/bin/env bash
# A longer power-cut campaign: every file system, the program as built and each variant that
# flushes less, all scenarios, and a table of what the cuts found. Measures and prints; it does
# not judge (the suite's tests do).
#
#   campaign.sh [BUILD_DIR]     as root; BUILD_DIR defaults to build/
#
# VELTO_POWERCUT_CUTS (default 200) sets the cuts inside registrations per run, and
# VELTO_POWERCUT_FILE_SYSTEMS / VELTO_POWERCUT_VARIANTS narrow the runs (default: all).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(readlink -f "${1:-build}")
cuts=${VELTO_POWERCUT_CUTS:-200}
file_systems=${VELTO_POWERCUT_FILE_SYSTEMS:-ext4 xfs btrfs}
variants=${VELTO_POWERCUT_VARIANTS:-none nofsync nodirfsync noduplicateflush}
for file in velto.cgi velto-admin tests/powercut/libvelto_powercut_shim.so; do
  [ -e "$build/$file" ] || { echo "campaign: $build/$file is missing; build first"; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/velto-powercut-campaign-XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/log
# bash reads a script as it runs it: a copy keeps edits of the tree out of a long campaign.
cp "$here/powercut.sh" "$work/powercut.sh"

rows=()
for fs in $file_systems; do
  for variant in $variants; do
    start=$SECONDS
    VELTO_POWERCUT_SECONDS=$((600 + 10 * cuts)) bash "$work/powercut.sh" --fs "$fs" \
      --cgi "$build/velto.cgi" --admin "$build/velto-admin" \
      --shim "$build/tests/powercut/libvelto_powercut_shim.so" \
      --scenario answers,inside,race --cuts "$cuts" --variant "$variant" >"$log" 2>&1
    status=$?
    summary=$(grep "^powercut $fs variant=" "$log" | tail -n 1)
    echo "${summary:-powercut $fs variant=$variant: no summary, exit status $status: $(tail -n 3 "$log")} [$((SECONDS - start)) s]"
    if [ "$status" -eq 77 ]; then
      rows+=("$(printf '%-6s %-17s %s' "$fs" "$variant" "skipped: $(grep SKIPPED "$log")")")
    elif [[ $summary =~ in\ ([0-9]+)\ of\ ([0-9]+)\ cuts,\ velto-admin\ check\ faults\ in\ ([0-9]+)\ \(cuts/lossy/unsound:\ (.*)\)\; ]]; then
      rows+=("$(printf '%-6s %-17s %5s %5s %8s   %s' "$fs" "$variant" "${BASH_REMATCH[2]}" \
        "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}" "${BASH_REMATCH[4]}")")
    else
      rows+=("$(printf '%-6s %-17s %s' "$fs" "$variant" "harness failure, exit status $status")")
    fi
  done
done

echo
echo "Power cuts, $cuts inside registrations per run (cuts: all cuts; lossy: data answered 200"
echo "lost or a final name damaged; unsound: velto-admin check found a fault):"
printf '%-6s %-17s %5s %5s %8s   %s\n' fs variant cuts lossy unsound "by scenario: cuts/lossy/unsound"
printf '%s\n' "${rows[@]}"
