#!/usr/bin/env bash
# Several web hosts over one replicated file system, for real: a GlusterFS replica-3 volume of
# three bricks on this machine, mounted twice with FUSE, each mount standing for one web host.
#
#   scaleout_test.sh PHASE VELTO_CGI VELTO_ADMIN FS_PROBE
#
#   semantics    create-exclusive, link and rename races, fsync, readdir and how soon one mount
#                sees what the other did, across the two mounts (fs_probe)
#   two_hosts    two lighttpd hosts, each on its own mount, one running the program per request
#                and one as FastCGI workers, under load at once; every key read back through the
#                other host; velto-admin check from each mount
#   faults       a brick killed in the middle of the load and brought back; a brick frozen;
#                one host's mount killed and mounted again; registrations killed at random
#                moments; the volume heals and every acknowledged registration is there
#   below_quorum two of three bricks down: writes answer 500, never 200; then the volume comes
#                back whole
#   unreachable  lookups of acknowledged keys through a host whose mount is dead, and through
#                both hosts below quorum: the key or 500, never 404
#
# Runs as root. It makes private mount, network and pid namespaces and does everything inside
# them, bounded by SCALEOUT_SECONDS (default 600): the daemons listen only in the private
# network, /etc/hosts and glusterd's directories are private copies, and when the test ends, is
# killed or times out, the kernel ends every process in the namespace and detaches every mount.
# Exit 77 (skipped), saying why, where FUSE, namespaces or a tool are missing.
#
# SCALEOUT_CLIENTS (default 3) clients per host and SCALEOUT_ROUNDS (default 8) rounds each set
# the size of the load; larger values make a longer campaign.
set -euo pipefail

phase=$1
cgi=$(readlink -f "$2")
admin=$(readlink -f "$3")
probe=$(readlink -f "$4")
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
script=$(readlink -f "${BASH_SOURCE[0]}")
clients=${SCALEOUT_CLIENTS:-3}
rounds=${SCALEOUT_ROUNDS:-8}

skip() {
  echo "SKIPPED: $*"
  exit 77
}

if [ -z "${VELTO_SCALEOUT_WORK:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root (namespaces, mounts, glusterd)"
  [ -c /dev/fuse ] || modprobe fuse 2>/dev/null || true
  [ -c /dev/fuse ] || skip "FUSE is missing: no /dev/fuse"
  for tool in unshare ip glusterd gluster mount.glusterfs lighttpd curl sha256sum mountpoint; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/test.sh installs it)"
  done
  unshare --mount --net --pid --fork --mount-proc true 2>/dev/null ||
    skip "this machine does not allow new mount, network and pid namespaces"
  work=$(mktemp -d /tmp/velto-scaleout-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  status=0
  # --kill-child: if this script is killed, the namespace's first process goes too, and with it
  # every process inside.
  timeout -k 10 "${SCALEOUT_SECONDS:-600}" \
    unshare --mount --net --pid --fork --kill-child --mount-proc \
    env VELTO_SCALEOUT_WORK="$work" bash "$script" "$@" || status=$?
  [ "$status" -ne 124 ] || echo "FAIL: the test did not end within ${SCALEOUT_SECONDS:-600}s"
  exit "$status"
fi

# Inside the namespaces from here on.
work=$VELTO_SCALEOUT_WORK
# shellcheck source=tests/scaleout/volume.sh
source "$source_dir/tests/scaleout/volume.sh"
# shellcheck source=tests/scaleout/hosts.sh
source "$source_dir/tests/scaleout/hosts.sh"
# shellcheck source=tests/scaleout/load.sh
source "$source_dir/tests/scaleout/load.sh"

mount_a=$work/mount-a
mount_b=$work/mount-b
ledger=$work/ledger
: >"$ledger"

on_exit() {
  local status=$?
  stop_hosts
  unmount "$mount_a"
  unmount "$mount_b"
  unmount "$work/mount-default-a"
  unmount "$work/mount-default-b"
  if [ "$status" -ne 0 ]; then
    echo "--- GlusterFS's errors (last 30):"
    grep -h '\] E \[' "$work"/volume/log/*.log "$work"/volume/log/bricks/*.log 2>/dev/null | tail -30
  fi
}
trap on_exit EXIT

private_system "$work/volume"
start_volume
mount_volume "$mount_a"
mount_volume "$mount_b"
echo "volume: $VOLUME, replica 3, three bricks online, mounted at $mount_a and $mount_b"

# velto-admin check of the store, as seen from mount DIR: no fault (warnings and notes are
# what interrupted registrations leave, by design).
check_from() {
  local dir=$1
  "$admin" --quiet --data-dir "$dir/store" check >"$work/check.txt" 2>&1 ||
    fail "velto-admin check from $dir: $(head -c 2000 "$work/check.txt")"
}

no_temporaries_left() {
  local count
  count=$(find "$mount_a/store" -name '.velto~*' | wc -l)
  [ "$count" -eq 0 ] || fail "$count temporaries left in the store"
}

health_of() {
  curl -s -S --max-time 30 "${host_url[$1]}/v1/health"
}

phase_semantics() {
  mkdir "$mount_a/probe"
  local status=0
  "$probe" excl "$mount_a/probe" "$mount_b/probe" 300 || status=1
  "$probe" link "$mount_a/probe" "$mount_b/probe" 300 || status=1
  "$probe" rename "$mount_a/probe" "$mount_b/probe" 500 || status=1
  "$probe" sync "$mount_a/probe" 50 || status=1
  "$probe" readdir "$mount_a/probe" "$mount_b/probe" 500 || status=1
  "$probe" visible "$mount_a/probe" "$mount_b/probe" 200 || status=1
  # What the settings buy, figures only: the same looks between two mounts with GlusterFS's own
  # mount options, first over the volume as set up, then with the volume's caches back at
  # GlusterFS's defaults too.
  mount_volume "$work/mount-default-a" default
  mount_volume "$work/mount-default-b" default
  mkdir "$mount_a/probe-default" "$mount_a/probe-caches"
  echo -n "default mount options: "
  "$probe" visible "$work/mount-default-a/probe-default" "$work/mount-default-b/probe-default" 30 --measure |
    sed 's/^visible: //' || status=1
  local i
  for ((i = 0; i < ${#VOLUME_SETTINGS[@]}; i += 2)); do
    case ${VOLUME_SETTINGS[i]} in
      performance.*) gluster_cli volume reset "$VOLUME" "${VOLUME_SETTINGS[i]}" >/dev/null ;;
    esac
  done
  unmount "$work/mount-default-a"
  unmount "$work/mount-default-b"
  mount_volume "$work/mount-default-a" default
  mount_volume "$work/mount-default-b" default
  echo -n "default mount options and volume caches: "
  "$probe" visible "$work/mount-default-a/probe-caches" "$work/mount-default-b/probe-caches" 30 --measure |
    sed 's/^visible: //' || status=1
  echo -n "default mount options and volume caches: "
  "$probe" rename "$work/mount-default-a/probe-caches" "$work/mount-default-b/probe-caches" 500 |
    grep '^rename:' || true
  [ "$status" -eq 0 ] || fail "a file-system rule the store needs was broken"
}

phase_two_hosts() {
  # One host runs the program per request, the other as persistent workers: a worker keeps no
  # state of the store between requests, so both see each other's writes alike.
  start_host cgi a "$mount_a/store"
  start_host fastcgi b "$mount_b/store"
  batch_new load
  plan_load load 0 a b "$clients" "$rounds"
  plan_load load 0 b a "$clients" "$rounds"
  local start=$SECONDS
  batch_run load
  echo "two hosts: $(batch_requests load) requests by $((2 * clients)) clients in $((SECONDS - start))s"
  batch_verify load

  # Afterwards, every acknowledged key through each host, and both hosts count the same.
  read_back readback a b
  local formats atoms
  formats=$(grep -c '^F ' <(sort -u "$ledger"))
  atoms=$(grep '^[SC] ' "$ledger" | awk '{ print $2 }' | sort -u | wc -l)
  local want="{\"status\":\"ok\",\"format_count\":$formats,\"atom_count\":$atoms}"
  [ "$(health_of a)" = "$want" ] || fail "host a's health: $(health_of a), not $want"
  [ "$(health_of b)" = "$want" ] || fail "host b's health: $(health_of b), not $want"
  no_temporaries_left
  check_from "$mount_a"
  check_from "$mount_b"
}

# SIGKILL after a random few milliseconds, for registrations of the CGI program run on host a's
# mount directly, as the web server runs it; the ones that answered 200 go to the ledger.
kill_registrations() {
  local count=$1 i killed=0 answered=0
  # How long a registration takes here and now; the kills fall anywhere from its start to a
  # little past its usual end, so that some finish and the rest die in every step of the write.
  local span_ms=0 probe_start probe_ms body
  for i in 1 2 3; do
    body="{\"string\":\"timed-$i\",\"atom\":$((9500000 + i))}"
    probe_start=$(date +%s%N)
    printf '%s' "$body" | env -i REQUEST_METHOD=POST PATH_INFO=/v1/atoms CONTENT_LENGTH=${#body} \
      VELTO_DATA_DIR="$mount_a/store" "$cgi" >/dev/null
    probe_ms=$((($(date +%s%N) - probe_start) / 1000000))
    [ "$probe_ms" -le "$span_ms" ] || span_ms=$probe_ms
    echo "S timed-$i $((9500000 + i))" >>"$ledger"
    echo "V $((9500000 + i)) timed-$i" >>"$ledger"
  done
  span_ms=$((span_ms * 5 / 4 + 1))
  for i in $(seq "$count"); do
    local n=$((9000000 + i)) path on_ok
    if [ $((i % 2)) -eq 0 ]; then
      local rep
      rep=0010000000000000$(printf '%016x' "$n")
      body="{\"format_rep\":\"$rep\"}" path=/v1/formats on_ok="F $(id_of_hex "$rep") $rep"
    else
      body="{\"string\":\"killed-$i\",\"atom\":$n}" path=/v1/atoms on_ok="S killed-$i $n;V $n killed-$i"
    fi
    local delay_ms=$((1 + (RANDOM * 32768 + RANDOM) % span_ms)) delay
    delay=$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))
    printf '%s' "$body" >"$work/kill-body"
    # --foreground: timeout kills the program alone, not its own process group with itself.
    if timeout --foreground -s KILL "$delay" env -i REQUEST_METHOD=POST PATH_INFO="$path" CONTENT_LENGTH=${#body} \
      VELTO_DATA_DIR="$mount_a/store" "$cgi" <"$work/kill-body" >"$work/kill-out" 2>/dev/null; then
      if [ "$(head -c 15 "$work/kill-out")" = "Status: 200 OK"$'\r' ]; then
        answered=$((answered + 1))
        tr ';' '\n' <<<"$on_ok" >>"$ledger"
      else
        fail "registration $i answered $(head -c 200 "$work/kill-out")"
      fi
    else
      killed=$((killed + 1))
    fi
  done
  echo "faults: $count registrations on host a, $killed killed within ${span_ms} ms of their start, $answered answered 200"
}

phase_faults() {
  start_host cgi a "$mount_a/store"
  start_host cgi b "$mount_b/store"

  # A brick killed in the middle of the load, and brought back while it goes on.
  batch_new brick
  plan_load brick 1 a b "$clients" "$rounds"
  plan_load brick 1 b a "$clients" "$rounds"
  local total
  total=$(batch_requests brick)
  batch_start brick
  local _
  for _ in $(seq 600); do [ "$(batch_answered brick)" -ge $((total / 5)) ] && break; sleep 0.05; done
  echo "faults: brick 2 killed after $(batch_answered brick) of $total answers"
  stop_brick 2
  for _ in $(seq 600); do [ "$(batch_answered brick)" -ge $((total / 2)) ] && break; sleep 0.05; done
  echo "faults: brick 2 started again after $(batch_answered brick) of $total answers"
  start_bricks
  wait_writable "$mount_a" "$mount_b" || fail "a mount did not come back to the bricks"
  batch_wait brick
  batch_verify brick
  local start=$SECONDS
  wait_healed 180 || fail "the volume did not heal"
  echo "faults: healed $((SECONDS - start))s after the load"
  bricks_agree store || fail "the bricks do not hold the same store after healing"

  # A brick that stops answering without closing its connections, as when its machine vanishes:
  # requests pause until the clients give it up (network.ping-timeout), then go on, all right.
  batch_new frozen
  plan_load frozen 6 a b 1 2
  plan_load frozen 6 b a 1 2
  freeze_brick 3
  start=$SECONDS
  batch_run frozen
  thaw_brick 3
  echo "faults: with brick 3 frozen, $(batch_requests frozen) requests answered in $((SECONDS - start))s"
  batch_verify frozen
  start=$SECONDS
  wait_healed 180 || fail "the volume did not heal"
  echo "faults: healed $((SECONDS - start))s after brick 3 went on"

  # Host b's mount killed under load and mounted again; host a goes on meanwhile.
  batch_new before
  plan_load before 2 b a 1 3
  batch_run before
  batch_verify before
  kill_mount "$mount_b"
  batch_new dead
  plan_load dead 3 a a "$clients" 3
  local url_b=${host_url[b]} i
  for i in $(seq 10); do
    batch_add dead b-write POST "$url_b/v1/atoms" "{\"string\":\"on-dead-mount-$i\",\"atom\":$((7000000 + i))}" \
      refused "" "T on-dead-mount-$i $((7000000 + i))"
    batch_add dead b-write POST "$url_b/v1/formats" "{\"format_rep\":\"0010000000000000$(printf '%016x' $((7000000 + i)))\"}" refused
  done
  batch_run dead
  batch_verify dead
  unmount "$mount_b"
  mount_volume "$mount_b"
  echo "faults: host b's mount killed and mounted again"
  read_back after b

  # Registrations killed at random moments on host a, then everything once more through host a
  # (host b has just read it all).
  kill_registrations 60
  read_back final a
  wait_healed 120 || fail "the volume did not heal"
  check_from "$mount_a"
  check_from "$mount_b"
  bricks_agree store || fail "the bricks do not hold the same store"
}

# The lookups of acknowledged keys, in batch BATCH by client CLIENT of HOST: each must answer
# the key or 500, never 404.
plan_lookups_or_500() {
  local batch=$1 client=$2 host=$3 url=${host_url[$3]} kind_key value rest
  while read -r kind_key value rest; do
    case $kind_key in
      F) batch_add "$batch" "$client" GET "$url/v1/formats/$value" "" "exact_or_500 {\"format_rep\":\"$rest\"}" ;;
      S) batch_add "$batch" "$client" GET "$url/v1/atoms/by-string/$value" "" "exact_or_500 {\"atom\":$rest}" ;;
      V) batch_add "$batch" "$client" GET "$url/v1/atoms/by-value/$value" "" "exact_or_500 {\"string\":\"$rest\"}" ;;
    esac
  done < <(grep -E '^[FSV] ' "$ledger" | sort -u)
}

phase_below_quorum() {
  start_host cgi a "$mount_a/store"
  start_host cgi b "$mount_b/store"
  batch_new before
  plan_load before 4 a b 2 3
  batch_run before
  batch_verify before

  stop_brick 1
  stop_brick 3
  echo "below quorum: bricks 1 and 3 killed"
  batch_new below
  local i host url n rep
  for host in a b; do
    url=${host_url[$host]}
    for i in $(seq 10); do
      n=$((8000000 + i))
      [ "$host" = a ] || n=$((n + 100))
      rep=0010000000000000$(printf '%016x' "$n")
      batch_add below "$host-write" POST "$url/v1/atoms" "{\"string\":\"below-$n\",\"atom\":$n}" refused \
        "" "T below-$n $n"
      batch_add below "$host-write" POST "$url/v1/formats" "{\"format_rep\":\"$rep\"}" refused
    done
  done
  local start=$SECONDS
  batch_run below
  echo "below quorum: $(batch_requests below) registrations answered in $((SECONDS - start))s"
  batch_verify below

  start_bricks
  wait_writable "$mount_a" "$mount_b" || fail "a mount did not come back to the bricks"
  echo "below quorum: bricks back"
  wait_healed 180 || fail "the volume did not heal"
  read_back after a b
  check_from "$mount_a"
  check_from "$mount_b"
  bricks_agree store || fail "the bricks do not hold the same store"
}

# Lookups while the store cannot be reached: through a host whose mount is dead, and through both
# hosts while two bricks of three are down. A key that was acknowledged must never be answered
# 404; the store's 500 is the answer.
phase_unreachable() {
  start_host cgi a "$mount_a/store"
  start_host cgi b "$mount_b/store"
  batch_new before
  plan_load before 5 a b 2 3
  batch_run before
  batch_verify before

  kill_mount "$mount_b"
  echo "unreachable: host b's mount killed"
  batch_new dead
  plan_lookups_or_500 dead b-read b
  batch_run dead
  batch_verify dead
  unmount "$mount_b"
  mount_volume "$mount_b"

  stop_brick 1
  stop_brick 3
  echo "unreachable: bricks 1 and 3 killed"
  batch_new below
  plan_lookups_or_500 below a-read a
  plan_lookups_or_500 below b-read b
  batch_run below
  batch_verify below
  start_bricks
  wait_writable "$mount_a" "$mount_b" || fail "a mount did not come back to the bricks"
  wait_healed 180 || fail "the volume did not heal"
  read_back after a b
}

case $phase in
  semantics) phase_semantics ;;
  two_hosts) phase_two_hosts ;;
  faults) phase_faults ;;
  below_quorum) phase_below_quorum ;;
  unreachable) phase_unreachable ;;
  *)
    echo "unknown phase: $phase" >&2
    exit 2
    ;;
esac

complaints=$(host_complaints)
[ -z "$complaints" ] || fail "a host logged: $(head -c 2000 <<<"$complaints")"
echo "$phase: $failures failures ($reader_failures of them 404s where the store could not be reached)"
[ "$failures" -eq 0 ]
