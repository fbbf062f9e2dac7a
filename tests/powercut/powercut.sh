#!/usr/bin/env bash
# The script runs again inside a namespace of its own (the exec below), from where its functions
# are called; shellcheck takes them all for unreachable.
# shellcheck disable=SC2317
# Power cuts on real file systems. The store lives on ext4, XFS or btrfs in an image file attached
# to a loop device and mounted so that nothing reaches the image unless someone flushed it (a long
# journal commit interval). A cut is a copy of the image taken while the device is idle: attached
# to a loop device of its own and mounted, its journal replays as after a power cut. Then:
# every registration answered 200 is whole (format bytes as sent, atom files as last answered),
# no final name holds a short or empty file or one that nobody sent, and velto-admin check finds
# the store sound (exit 0; warnings and notes allowed).
#
#   powercut.sh --fs ext4|xfs|btrfs --cgi VELTO_CGI --admin VELTO_ADMIN --shim POWERCUT_SHIM
#               [--scenario answers,inside,race] [--cuts N] [--variant V] [--seed S]
#               [--expect-loss]
#
# Scenarios (default answers,inside):
#   answers  a cut after every answer of a sequence of registrations and lookups, the first of
#            them on a store that does not exist yet
#   inside   N cuts inside registrations (--cuts, else VELTO_POWERCUT_CUTS, else 40): the process
#            is stopped at a random moment, or right after one of its fsync, link, rename or
#            mkdir calls; the cut is taken; then it goes on or is killed. Every 8 cuts the
#            registrations move to a fresh store.
#   race     two processes register the same format: A is held right after its link() into
#            formats/, B registers the same bytes and is answered 200, the cut is taken, then A
#            goes on (twice); and twice with A killed where it was held, B and then C registering
#            the same bytes after it, a cut after each answer. The store's tree is made and
#            flushed before, so that these cuts show the race alone.
# Variants (--variant, else VELTO_POWERCUT_VARIANT, default none) run the program with the shim
# standing in for a build that flushes less: nofsync (no fsync at all), nodirfsync (no directory
# fsync), noduplicateflush (nothing flushed by a registration that finds its format file in place).
# --expect-loss makes a self-test of the harness: exit 0 as soon as a cut finds a loss, 1 when
# none did.
#
# Exit status: 0 every cut sound; 1 a cut lost or damaged something; 2 the harness itself failed
# (an answer other than the one expected, a device that never went idle); 77 skipped, with the
# reason on standard output (no root, no loop devices, no mkfs for the file system, no kernel
# support, a mount refused). Bounded in time: VELTO_POWERCUT_SECONDS (default 840). Every mount is
# made in a private mount namespace and every loop device is set to detach itself, so neither
# outlives the harness, however it ends.
set -euo pipefail

usage() {
  echo "usage: powercut.sh --fs ext4|xfs|btrfs --cgi PATH --admin PATH --shim PATH" \
    "[--scenario LIST] [--cuts N] [--variant none|nofsync|nodirfsync|noduplicateflush]" \
    "[--seed N] [--expect-loss]" >&2
  exit 2
}

fs='' cgi='' admin='' shim='' scenarios=answers,inside expect_loss=no
cuts=${VELTO_POWERCUT_CUTS:-40}
variant=${VELTO_POWERCUT_VARIANT:-none}
seed=${VELTO_POWERCUT_SEED:-$(( $(date +%s%N) % 32768 ))}
original_arguments=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --fs) fs=${2:-}; shift 2 ;;
    --cgi) cgi=${2:-}; shift 2 ;;
    --admin) admin=${2:-}; shift 2 ;;
    --shim) shim=${2:-}; shift 2 ;;
    --scenario) scenarios=${2:-}; shift 2 ;;
    --cuts) cuts=${2:-}; shift 2 ;;
    --variant) variant=${2:-}; shift 2 ;;
    --seed) seed=${2:-}; shift 2 ;;
    --expect-loss) expect_loss=yes; shift ;;
    *) usage ;;
  esac
done
case $fs in ext4 | xfs | btrfs) ;; *) usage ;; esac
if [ -z "$cgi" ] || [ -z "$admin" ] || [ -z "$shim" ]; then usage; fi
if ! [[ $cuts =~ ^[0-9]+$ && $seed =~ ^[0-9]+$ ]]; then usage; fi
case $variant in
  none) drop= ;;
  nofsync) drop=fsync ;;
  nodirfsync) drop=dirfsync ;;
  noduplicateflush) drop=duplicate ;;
  *) usage ;;
esac
for scenario in ${scenarios//,/ }; do
  case $scenario in answers | inside | race) ;; *) usage ;; esac
done
cgi=$(readlink -f "$cgi") admin=$(readlink -f "$admin") shim=$(readlink -f "$shim")

skip() {
  echo "powercut $fs: SKIPPED: $*"
  exit 77
}

# Outside the namespace: what the machine must offer, then the same script again in a mount
# namespace of its own, under a time limit.
if [ -z "${VELTO_POWERCUT_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || skip "loop devices and mounts need root"
  for tool in losetup mount umount mountpoint findmnt unshare timeout cp cmp sync sha256sum od; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
  command -v "mkfs.$fs" >/dev/null || {
    case $fs in
      ext4) skip "mkfs.ext4 is not installed (package e2fsprogs)" ;;
      xfs) skip "mkfs.xfs is not installed (package xfsprogs)" ;;
      btrfs) skip "mkfs.btrfs is not installed (package btrfs-progs)" ;;
    esac
  }
  [ -e /dev/loop-control ] || modprobe loop 2>/dev/null || true
  [ -e /dev/loop-control ] || skip "the machine has no loop devices (/dev/loop-control is missing)"
  grep -qw "$fs" /proc/filesystems || modprobe "$fs" 2>/dev/null || true
  grep -qw "$fs" /proc/filesystems || skip "the kernel does not support $fs"
  if ! reason=$(unshare --mount --propagation private true 2>&1); then
    skip "cannot make a mount namespace: $reason"
  fi
  export VELTO_POWERCUT_INSIDE=1
  exec timeout --kill-after=30 "${VELTO_POWERCUT_SECONDS:-840}" \
    unshare --mount --propagation private bash "$0" "${original_arguments[@]}"
fi

# ---------------------------------------------------------------------------------------------
# Set-up: a work directory, the image, its mount, and the undoing of all of it.

# The work directory is a tmpfs of this namespace: images, cuts and all go with the namespace,
# even when the harness is killed before it can remove them.
work=$(mktemp -d "${TMPDIR:-/tmp}/velto-powercut-XXXXXX")
if ! reason=$(mount -t tmpfs -o size=2g,mode=0700 velto-powercut "$work" 2>&1); then
  rmdir "$work"
  skip "cannot mount a tmpfs for the images: $reason"
fi
mnt=$work/mnt
cut_mnt=$work/cut
mkdir -p "$mnt" "$cut_mnt" "$work/c" "$work/bodies" "$work/out"
running_pids=()
xfs_sync_saved=
XFS_SYNC_SYSCTL=/proc/sys/fs/xfs/xfssyncd_centisecs
XFS_SYNC_LONG=720000 # its maximum: two hours

cleanup() {
  local pid image
  for pid in "${running_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  for dir in "$cut_mnt" "$mnt"; do
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || umount -l "$dir" || true; fi
  done
  for image in "$work"/*.img; do
    [ -e "$image" ] || continue
    losetup -j "$image" -O NAME -n 2>/dev/null | while read -r device; do
      losetup -d "$device" 2>/dev/null || true
    done
  done
  # Put back what was found, unless another run changed it meanwhile.
  if [ -n "$xfs_sync_saved" ] && [ "$(cat "$XFS_SYNC_SYSCTL")" = "$XFS_SYNC_LONG" ]; then
    echo "$xfs_sync_saved" >"$XFS_SYNC_SYSCTL" || true
  fi
  umount "$work" 2>/dev/null || umount -l "$work" || true
  rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT
trap 'echo "powercut $fs: interrupted"; exit 2' INT TERM HUP

harness_failure() {
  echo "powercut $fs: HARNESS FAILURE: $*"
  exit 2
}

image=$work/store.img
case $fs in
  ext4)
    # Inode tables and journal written in full now: no lazy initialisation writing later.
    truncate -s 64M "$image"
    mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image" >"$work/mkfs.log" 2>&1 ||
      harness_failure "mkfs.ext4: $(cat "$work/mkfs.log")"
    # A commit every hour; no block allocation on rename that nobody asked to flush.
    mount_options=loop,commit=3600,noauto_da_alloc,noinit_itable
    cut_mount_options=loop
    ;;
  xfs)
    truncate -s 320M "$image" # mkfs.xfs makes nothing smaller than 300 MB
    mkfs.xfs -q -f "$image" >"$work/mkfs.log" 2>&1 ||
      harness_failure "mkfs.xfs: $(cat "$work/mkfs.log")"
    mount_options=loop
    cut_mount_options=loop,nouuid # the clone carries the same UUID as the store it copies
    # XFS forces its log every xfssyncd_centisecs: made as long as the kernel takes.
    if [ -w "$XFS_SYNC_SYSCTL" ]; then
      xfs_sync_saved=$(cat "$XFS_SYNC_SYSCTL")
      echo "$XFS_SYNC_LONG" >"$XFS_SYNC_SYSCTL" || xfs_sync_saved=
    fi
    ;;
  btrfs)
    truncate -s 256M "$image"
    mkfs.btrfs -q -f "$image" >"$work/mkfs.log" 2>&1 ||
      harness_failure "mkfs.btrfs: $(cat "$work/mkfs.log")"
    # A transaction commit every hour, and no discards trimming the image in the background.
    # The clone mounts beside the original with a temporary fsid (Linux 6.7 and later).
    mount_options=loop,commit=3600,nodiscard
    cut_mount_options=loop,nodiscard
    ;;
esac

# mount -o loop sets the loop device to detach itself on the last unmount.
if ! reason=$(mount -o "$mount_options" "$image" "$mnt" 2>&1); then
  case $reason in
    *ermission* | *"not permitted"* | *superuser* | *"loop device"* | *"No such device"*)
      skip "mounting $fs on a loop device failed: $reason" ;;
    *) harness_failure "mount of the fresh $fs image failed: $reason" ;;
  esac
fi
device=$(basename "$(findmnt -n -o SOURCE --target "$mnt")")
[ -e "/sys/block/$device/stat" ] || harness_failure "no statistics for $device"

# ---------------------------------------------------------------------------------------------
# Requests. Each one is a row of these arrays; a registration also lists the files it writes as
# "relative path=content number", contents being kept in $work/c/<number>.

req_count=0
declare -a req_method req_path req_body req_answer req_writes req_text req_kind req_data
content_count=0

next_content() { # sets $content and $content_file, where its bytes go
  content=$((content_count += 1))
  content_file=$work/c/$content
}

# The store name of a string: every byte other than 0-9 A-Z a-z - . _ as % and two lowercase
# hex digits.
store_name() {
  local string=$1 name='' char i
  for ((i = 0; i < ${#string}; i++)); do
    char=${string:i:1}
    case $char in
      [0-9A-Za-z._-]) name+=$char ;;
      *) name+=$(printf '%%%02x' "'$char") ;;
    esac
  done
  printf '%s' "$name"
}

add_request() { # data method path body-file answer-body kind text writes...
  local r=$((req_count += 1))
  req_data[r]=$1 req_method[r]=$2 req_path[r]=$3 req_body[r]=$4 req_answer[r]=$5
  req_kind[r]=$6 req_text[r]=$7
  shift 7
  req_writes[r]="$*"
  request=$r
}

# A representation of SIZE bytes (at least 8) whose header declares SIZE in its 32-bit form,
# filled with TAG over and over; a format of 16 bytes holds only TAG's first 8, which must tell it
# from every other. Sets $format_content, $format_id, $format_body.
make_format() { # size tag
  local size=$1 tag=$2
  next_content
  {
    printf '%b' "$(printf '\\0%03o' $((size >> 8 & 255)) $((size & 255)) 0 1 0 0 \
      $((size >> 24 & 255)) $((size >> 16 & 255)))"
    (yes "$tag" 2>/dev/null || true) | head -c $((size - 8))
  } >"$content_file"
  format_content=$content
  format_id=$(sha256sum <"$work/c/$content" | cut -c1-32)
  format_body=$work/bodies/format-$content
  {
    printf '{"format_rep":"'
    od -An -v -tx1 "$work/c/$content" | tr -d ' \n'
    printf '"}'
  } >"$format_body"
}

format_request() { # data size tag
  make_format "$2" "$3"
  format_request_again "$1" "$format_content" "$format_id" "$format_body" "$2" format
}

# The same bytes once more: kind "duplicate", which finds its file in place.
format_request_again() { # data content id body size [kind]
  add_request "$1" POST /v1/formats "$4" "{\"server_id\":\"$3\"}" "${6:-duplicate}" \
    "POST /v1/formats ($5 bytes, $3)" "$1/formats/$3=$2"
}

atom_request() { # data string atom
  local data=$1 string=$2 atom=$3 body name atom_file value_file
  body=$work/bodies/atom-$((req_count + 1))
  printf '{"string":"%s","atom":%s}' "$string" "$atom" >"$body"
  name=$(store_name "$string")
  next_content
  printf '%s\n' "$atom" >"$content_file"
  atom_file=$content
  next_content
  printf '%s\n' "$string" >"$content_file"
  value_file=$content
  add_request "$data" POST /v1/atoms "$body" '{"ok":true}' atom \
    "POST /v1/atoms \"$string\"=$atom" "$data/atoms/s/$name=$atom_file" "$data/atoms/v/$atom=$value_file"
}

get_request() { # data path answer-body
  add_request "$1" GET "$2" "" "$3" get "GET $2"
}

# ---------------------------------------------------------------------------------------------
# Running the program. One process at a time is started; it may be stopped by the shim.

response_of() { # answer-body: the whole CGI response for a 200
  printf 'Status: 200 OK\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n\r\n%s' "$1"
}

start_request() { # request [stop setting]; sets $pid
  local r=$1 stop=${2:-}
  local env=(REQUEST_METHOD="${req_method[r]}" PATH_INFO="${req_path[r]}"
    VELTO_DATA_DIR="$mnt/${req_data[r]}" LD_PRELOAD="$shim")
  [ -z "$drop" ] || env+=(VELTO_POWERCUT_DROP="$drop")
  [ -z "$stop" ] || env+=(VELTO_POWERCUT_STOP="$stop")
  if [ -n "${req_body[r]}" ]; then
    env+=(CONTENT_LENGTH="$(stat -c %s "${req_body[r]}")")
    env -i "${env[@]}" "$cgi" <"${req_body[r]}" >"$work/out/$r" 2>"$work/out/$r.err" &
  else
    env -i "${env[@]}" "$cgi" </dev/null >"$work/out/$r" 2>"$work/out/$r.err" &
  fi
  pid=$!
  running_pids+=("$pid")
  started_at=$(date +%s%N)
}

forget_pid() {
  local kept=() p
  for p in "${running_pids[@]}"; do [ "$p" = "$1" ] || kept+=("$p"); done
  running_pids=("${kept[@]}")
}

# Waits until the process is stopped (status 0) or has ended (status 1).
wait_stopped() { # pid
  local state deadline=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$deadline" ]; do
    state=$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    case $state in T | t) return 0 ;; Z | X) return 1 ;; esac
    sleep 0.002
  done
  harness_failure "process $1 neither stopped nor ended within 60 s"
}

# Waits for the process to end and holds its answer to the one expected. Sets $elapsed_us.
finish_request() { # request pid
  local r=$1 status=0
  wait "$2" || status=$?
  elapsed_us=$((($(date +%s%N) - started_at) / 1000))
  forget_pid "$2"
  [ "$status" -eq 0 ] || harness_failure "${req_text[r]} exited with status $status"
  [ ! -s "$work/out/$r.err" ] || harness_failure "${req_text[r]} wrote to standard error: $(head -c 500 "$work/out/$r.err")"
  if ! cmp -s "$work/out/$r" <(response_of "${req_answer[r]}"); then
    harness_failure "${req_text[r]} answered: $(head -c 300 "$work/out/$r")"
  fi
}

kill_request() { # pid
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  forget_pid "$1"
}

# ---------------------------------------------------------------------------------------------
# What the store must hold: for every file a registration writes, the content last answered 200
# (acked), and the contents of registrations begun since that may have reached it (pending).

declare -A acked acked_by pending
declare -A data_acked # data directories holding anything answered

mark_pending() { # request
  local write
  for write in ${req_writes[$1]}; do pending[${write%%=*}]+=" ${write#*=}"; done
}

mark_answered() { # request
  local write path
  for write in ${req_writes[$1]}; do
    path=${write%%=*}
    acked[$path]=${write#*=}
    acked_by[$path]="request $1 (${req_text[$1]})"
    pending[$path]=
  done
  [ -z "${req_writes[$1]}" ] || data_acked[${req_data[$1]}]=1
}

# Takes a store out of what the cuts check, once it has had its cuts: the cost of a cut stays
# that of the stores in use, however many cuts a run takes.
forget_store() { # data directory
  local path
  for path in "${!acked[@]}" "${!pending[@]}"; do
    if [[ $path == "$1"/* ]]; then unset "acked[$path]" "acked_by[$path]" "pending[$path]"; fi
  done
  unset "data_acked[$1]"
}

run_request() { # request: to its answer, which must be the expected one
  mark_pending "$1"
  start_request "$1"
  finish_request "$1" "$pid"
  mark_answered "$1"
}

# ---------------------------------------------------------------------------------------------
# Cuts.

# Per cut and per scenario: cuts taken, cuts where data answered 200 was lost or a final name
# held something nobody sent (lossy), cuts where velto-admin check found a fault (unsound).
cut_count=0 lossy_cuts=0 unsound_cuts=0 busy_retries=0 held_count=0
declare -A scenario_cuts scenario_lossy scenario_unsound

# The write side of the device's statistics: writes, discards and flushes done, and writes in
# flight. Reads change nothing on the "disk".
device_writes() {
  local stat inflight
  read -r -a stat <"/sys/block/$device/stat"
  read -r -a inflight <"/sys/block/$device/inflight"
  echo "${stat[*]:4:4} ${stat[*]:11:6} in-flight ${inflight[1]}"
}

# A copy of the image with no write in flight or completed while it was taken: the disk as a
# power cut at one instant would leave it.
copy_image() {
  local before after
  for _ in $(seq 200); do
    before=$(device_writes)
    if [[ $before == *" in-flight 0" ]]; then
      cp --sparse=always "$image" "$work/cut.img"
      after=$(device_writes)
      [ "$before" != "$after" ] || return 0
    fi
    busy_retries=$((busy_retries + 1))
    sleep 0.02
  done
  harness_failure "$device was never idle for the length of a copy"
}

describe_file() { # path
  printf '%s bytes: %s' "$(stat -c %s "$1")" "$(head -c 24 "$1" | od -An -c | tr -s ' ' | head -c 120)"
}

lost() { # text
  printf '  %s\n' "$*"
  lost_here=$((lost_here + 1))
}

unsound() { # text
  printf '  %s\n' "$*"
  unsound_here=$((unsound_here + 1))
}

count_cut() { # scenario
  cut_count=$((cut_count + 1))
  scenario_cuts[$1]=$((${scenario_cuts[$1]:-0} + 1))
  if [ "$lost_here" -gt 0 ]; then
    lossy_cuts=$((lossy_cuts + 1))
    scenario_lossy[$1]=$((${scenario_lossy[$1]:-0} + 1))
  fi
  if [ "$unsound_here" -gt 0 ]; then
    unsound_cuts=$((unsound_cuts + 1))
    scenario_unsound[$1]=$((${scenario_unsound[$1]:-0} + 1))
  fi
}

take_cut() { # scenario description
  local scenario=$1 description=$2 path content is_match dir sub file relative output status
  lost_here=0 unsound_here=0
  copy_image
  if ! output=$(mount -o "$cut_mount_options" "$work/cut.img" "$cut_mnt" 2>&1); then
    lost "the cut does not mount: $output" >"$work/cut-report"
  else
    local -A seen=()
    {
      # The operator's check first: the lookups below run the program, which makes missing
      # directories of the tree anew.
      for dir in "${!data_acked[@]}"; do
        status=0
        output=$("$admin" --quiet --data-dir "$cut_mnt/$dir" check 2>&1) || status=$?
        [ "$status" -eq 0 ] ||
          unsound "UNSOUND $dir: velto-admin check exits $status:"$'\n'"$(printf '%s\n' "$output" |
            head -n 12 | sed 's/^/    /')"
      done
      for path in "${!acked[@]}" "${!pending[@]}"; do
        [ -z "${seen[$path]:-}" ] || continue
        seen[$path]=1
        file=$cut_mnt/$path
        if [ -f "$file" ] && [ ! -L "$file" ]; then
          is_match=no
          for content in ${acked[$path]:-} ${pending[$path]:-}; do
            if cmp -s "$file" "$work/c/$content"; then is_match=yes; break; fi
          done
          [ "$is_match" = yes ] || lost "DAMAGED $path holds $(describe_file "$file")"
        elif [ -e "$file" ] || [ -L "$file" ]; then
          lost "DAMAGED $path is not a regular file"
        elif [ -n "${acked[$path]:-}" ]; then
          lost "LOST $path, though ${acked_by[$path]} was answered 200$(lookup_note "$path")"
        fi
      done
      for dir in "${!data_acked[@]}"; do
        for sub in formats atoms/s atoms/v; do
          for file in "$cut_mnt/$dir/$sub"/*; do # temporaries begin with '.': not matched
            [ -e "$file" ] || continue
            relative=$dir/$sub/${file##*/}
            [ -s "$file" ] || lost "EMPTY $relative"
            [ -n "${seen[$relative]:-}" ] || lost "UNKNOWN $relative, which no request wrote"
          done
        done
      done
    } >"$work/cut-report"
    umount "$cut_mnt" || harness_failure "cannot unmount the cut"
  fi
  rm -f "$work/cut.img"
  count_cut "$scenario"
  if [ "$lost_here" -gt 0 ] || [ "$unsound_here" -gt 0 ]; then
    echo "cut $cut_count ($scenario: $description):"
    cat "$work/cut-report"
    if [ "$expect_loss" = yes ] && [ "$lost_here" -gt 0 ]; then finish; fi
  elif [ -n "${VELTO_POWERCUT_VERBOSE:-}" ]; then
    echo "cut $cut_count ($scenario: $description): sound"
  fi
}

# For a lost format: what a lookup on the cut store answers.
lookup_note() { # path
  local path=$1 data
  [[ $path == */formats/* ]] || return 0
  data=${path%%/formats/*}
  printf '; GET answers: %s' "$(env -i REQUEST_METHOD=GET PATH_INFO="/v1/formats/${path##*/}" \
    VELTO_DATA_DIR="$cut_mnt/$data" "$cgi" | head -n 1 | tr -d '\r')"
}

# ---------------------------------------------------------------------------------------------
# Scenarios.

declare -A duration_us # typical run time by kind of request, from the answers scenario

scenario_answers() {
  local d=answers f1 f2
  local -a plan=()
  format_request "$d" 16 1-answers; f1=$request; plan+=("$request")
  atom_request "$d" alpha 1; plan+=("$request")
  format_request "$d" 65536 2-answers; f2=$request; plan+=("$request")
  format_request_again "$d" "${req_writes[f1]#*=}" "$(id_of "$f1")" "${req_body[f1]}" 16
  plan+=("$request")
  atom_request "$d" alpha 2; plan+=("$request")
  atom_request "$d" "a b/c" 2; plan+=("$request")
  format_request "$d" 1048576 3-answers; plan+=("$request")
  get_request "$d" "/v1/formats/$format_id" "$(cat "$format_body")"; plan+=("$request")
  atom_request "$d" beta 2147483647; plan+=("$request")
  format_request "$d" 4096 4-answers; plan+=("$request")
  atom_request "$d" alpha 1; plan+=("$request")
  get_request "$d" /v1/health '{"status":"ok","format_count":4,"atom_count":3}'; plan+=("$request")
  format_request_again "$d" "${req_writes[f2]#*=}" "$(id_of "$f2")" "${req_body[f2]}" 65536
  plan+=("$request")
  atom_request "$d" gamma 0; plan+=("$request")

  local r
  for r in "${plan[@]}"; do
    run_request "$r"
    duration_us[${req_kind[r]}]=$elapsed_us
    take_cut answers "after the answer to ${req_text[r]}"
  done
}

id_of() { # format request
  local write=${req_writes[$1]%%=*}
  printf '%s' "${write##*/}"
}

# Every cut draws the same count of numbers from bash's generator, whatever the timing made of
# the cuts before, so that a seed repeats the requests and stop points of a run. Drawn in this
# shell, never in $(...): a subshell reseeds the generator.
draw_numbers() { # count: fills $drawn with numbers from 0 to 2^30-1
  local i
  drawn=()
  for ((i = 0; i < $1; i++)); do drawn+=($((RANDOM << 15 | RANDOM))); done
}

scenario_inside() {
  local k store=0 d='' r stop what call_list calls duration formats_here=()
  local sizes=(16 16 4096 65536 1048576) strings=(alpha beta "a b/c" delta) atoms=(0 1 2 2147483647)
  for ((k = 1; k <= cuts; k++)); do
    if [ $(((k - 1) % 8)) -eq 0 ]; then
      [ -z "$d" ] || forget_store "$d"
      store=$((store + 1))
      d=inside-$store
      formats_here=()
    fi
    # What to register, which format, which string and atom, stop by time or by call, where,
    # and whether the held process goes on.
    draw_numbers 8
    if [ $((drawn[0] % 10)) -lt 4 ]; then
      format_request "$d" "${sizes[drawn[1] % ${#sizes[@]}]}" "$k-inside"
      formats_here+=("$request")
      call_list="fsync:1 link:1 fsync:2"
    elif [ $((drawn[0] % 10)) -lt 5 ] && [ "${#formats_here[@]}" -gt 0 ]; then
      r=${formats_here[drawn[2] % ${#formats_here[@]}]}
      format_request_again "$d" "${req_writes[r]#*=}" "$(id_of "$r")" "${req_body[r]}" \
        "$(stat -c %s "$work/c/${req_writes[r]#*=}")"
      call_list=
    else
      atom_request "$d" "${strings[drawn[3] % ${#strings[@]}]}" "${atoms[drawn[4] % ${#atoms[@]}]}"
      call_list="fsync:1 rename:1 fsync:2 fsync:3 rename:2 fsync:4"
    fi
    r=$request
    # The first registration in a store makes its directories.
    [ -n "${data_acked[$d]:-}" ] || call_list+=" mkdir:1 mkdir:2 mkdir:3 mkdir:4 mkdir:5"
    read -r -a calls <<<"$call_list"
    if [ "${#calls[@]}" -eq 0 ] || [ $((drawn[5] % 2)) -eq 0 ]; then
      duration=${duration_us[${req_kind[r]}]:-20000}
      stop=at:$((1 + drawn[6] % (duration * 6 / 5 + 1)))
    else
      stop=${calls[drawn[6] % ${#calls[@]}]}
    fi

    mark_pending "$r"
    start_request "$r" "$stop"
    if wait_stopped "$pid"; then
      held_count=$((held_count + 1))
      what="${req_text[r]} held at $stop"
      take_cut inside "$what"
      if [ $((drawn[7] % 2)) -eq 0 ]; then
        kill -CONT "$pid"
        finish_request "$r" "$pid"
        mark_answered "$r"
      else
        kill_request "$pid"
      fi
    else
      # Done before its stop came: a cut after an answer.
      finish_request "$r" "$pid"
      mark_answered "$r"
      take_cut inside "${req_text[r]} answered before its stop at $stop"
    fi
  done
}

scenario_race() {
  local d=race round a b sizes=(16 65536 16 65536)
  # The store and its tree first, flushed by the harness, so that these cuts show the race alone.
  format_request "$d" 16 0-race
  run_request "$request"
  atom_request "$d" race 0
  run_request "$request"
  sync --file-system "$mnt/$d"
  for round in 0 1 2 3; do
    format_request "$d" "${sizes[round]}" "$((round + 1))-race"
    a=$request
    mark_pending "$a"
    start_request "$a" link:1
    wait_stopped "$pid" || harness_failure "${req_text[a]} ended without stopping after its link()"
    local held=$pid
    if [ "$round" -lt 2 ]; then
      format_request_again "$d" "${req_writes[a]#*=}" "$(id_of "$a")" "${req_body[a]}" "${sizes[round]}"
      b=$request
      run_request "$b"
      held_count=$((held_count + 1))
      take_cut race "A held after its link(), B registered the same bytes and was answered 200"
      kill -CONT "$held"
      finish_request "$a" "$held"
      mark_answered "$a"
      take_cut race "A went on and was answered 200"
    else
      kill_request "$held"
      for b in B C; do
        format_request_again "$d" "${req_writes[a]#*=}" "$(id_of "$a")" "${req_body[a]}" "${sizes[round]}"
        run_request "$request"
        take_cut race "A killed after its link(), $b registered the same bytes and was answered 200"
      done
    fi
  done
}

finish() {
  local scenario parts=() joined
  for scenario in ${scenarios//,/ }; do
    parts+=("$scenario ${scenario_cuts[$scenario]:-0}/${scenario_lossy[$scenario]:-0}/${scenario_unsound[$scenario]:-0}")
  done
  joined=$(printf '%s, ' "${parts[@]}")
  echo "powercut $fs variant=$variant seed=$seed: lost or damaged data in $lossy_cuts of $cut_count cuts," \
    "velto-admin check faults in $unsound_cuts (cuts/lossy/unsound: ${joined%, });" \
    "$held_count cuts with a registration held; device busy during $busy_retries copies"
  if [ "${scenario_lossy[race]:-0}" -gt 0 ]; then
    echo "race: a registration found the format file that another had linked but not yet flushed" \
      "into its directory, and answered 200 without flushing it; the power cut took the file"
  fi
  if [ "$expect_loss" = yes ]; then
    if [ "$lossy_cuts" -gt 0 ]; then
      echo "self-test: the cuts caught the $variant variant, as they must"
      exit 0
    fi
    echo "self-test FAILED: no cut caught the $variant variant"
    exit 1
  fi
  [ "$lossy_cuts" -eq 0 ] && [ "$unsound_cuts" -eq 0 ] || exit 1
  exit 0
}

# A cut of the empty file system must mount beside it, or no cut here can show anything.
copy_image
if ! reason=$(mount -o "$cut_mount_options" "$work/cut.img" "$cut_mnt" 2>&1); then
  [ "$fs" != btrfs ] ||
    skip "a copy of a mounted btrfs does not mount beside it on this kernel (a temporary fsid needs Linux 6.7 or later): $reason"
  harness_failure "a copy of the fresh file system does not mount: $reason"
fi
umount "$cut_mnt" || harness_failure "cannot unmount the cut"
rm -f "$work/cut.img"

RANDOM=$seed
echo "powercut $fs: image on $device, variant $variant, seed $seed (VELTO_POWERCUT_SEED=$seed or --seed $seed repeats its draws)"
for scenario in ${scenarios//,/ }; do
  "scenario_$scenario"
done
finish
