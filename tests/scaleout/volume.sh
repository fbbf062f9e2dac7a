# shellcheck shell=bash
# volume.sh: a replicated GlusterFS volume on this one machine, for the scale-out tests. Sourced
# by scaleout_test.sh inside the private namespaces that it made (mount, network, pid), so that
# nothing here shows outside: /etc/hosts, /run, /var/lib/glusterd and /var/log/glusterfs are
# covered by private copies, the daemons listen only in the private network, and the kernel ends
# every daemon and detaches every mount when the namespace's first process ends.
#
# private_system   covers the system directories that glusterd writes with the test's own
# start_volume     glusterd, then a replica-3 volume of three bricks, with the settings that
#                  docs/scale-out.md gives, started
# mount_volume DIR [strict|default]   a FUSE mount of the volume (strict: the mount options the
#                  deployment needs; default: GlusterFS's own, to show what they cost)
# stop_brick N, freeze_brick N, thaw_brick N, start_bricks, wait_writable DIR..., wait_healed
# SECONDS, bricks_agree, kill_mount DIR, unmount DIR

VOLUME=velto
# A name for this machine that the bricks are known by: glusterd refuses 127.0.0.1 and
# localhost for a brick. Only the private /etc/hosts knows it.
VOLUME_HOST=velto-gluster
VOLUME_LIFETIME_SECONDS=${VOLUME_LIFETIME_SECONDS:-900}

# The volume settings of the deployment: every client-side cache that serves a name or a file's
# bytes from memory is off, or a host answers 404 for an atom that another host has just
# replaced (ESTALE), and sees replaced files late.
VOLUME_SETTINGS=(
  performance.write-behind off
  performance.open-behind off
  performance.quick-read off
  performance.stat-prefetch off
  performance.read-ahead off
  performance.io-cache off
  # A write needs two of the three bricks: a brick cut off alone cannot take writes that the
  # other two never see.
  cluster.quorum-type auto
  # A brick that stops answering without closing its connections is given up after 10 to 20 s,
  # not after GlusterFS's default 42 s, which is longer than a web server waits for a program.
  network.ping-timeout 10
)
# The kernel's caches of names, attributes and missing names: 0, so a name that one host has
# just made or replaced is seen by the next request on any host.
STRICT_MOUNT_OPTIONS=attribute-timeout=0,entry-timeout=0,negative-timeout=0

volume_dir=
brick_dirs=()

private_system() {
  volume_dir=$1
  mkdir -p "$volume_dir/state" "$volume_dir/log"
  mount --make-rprivate /
  ip link set lo up
  printf '127.0.0.1 localhost\n127.0.0.1 %s\n' "$VOLUME_HOST" >"$volume_dir/hosts"
  mount --bind "$volume_dir/hosts" /etc/hosts
  mount -t tmpfs -o mode=0755 velto-run /run
  mkdir -p /var/lib/glusterd /var/log/glusterfs
  mount --bind "$volume_dir/state" /var/lib/glusterd
  mount --bind "$volume_dir/log" /var/log/glusterfs
}

gluster_cli() {
  timeout -k 5 120 gluster --mode=script "$@"
}

start_volume() {
  timeout -k 5 "$VOLUME_LIFETIME_SECONDS" glusterd -N -l "$volume_dir/log/glusterd.log" \
    >"$volume_dir/log/glusterd.out" 2>&1 &
  local _
  for _ in $(seq 100); do
    gluster_cli volume list >/dev/null 2>&1 && break
    sleep 0.1
  done
  brick_dirs=("$volume_dir/brick1" "$volume_dir/brick2" "$volume_dir/brick3")
  mkdir -p "${brick_dirs[@]}"
  # force: the bricks are directories of the root file system, which GlusterFS warns against
  # for a real deployment.
  gluster_cli volume create "$VOLUME" replica 3 \
    "$VOLUME_HOST:${brick_dirs[0]}" "$VOLUME_HOST:${brick_dirs[1]}" "$VOLUME_HOST:${brick_dirs[2]}" \
    force >/dev/null
  local i
  for ((i = 0; i < ${#VOLUME_SETTINGS[@]}; i += 2)); do
    gluster_cli volume set "$VOLUME" "${VOLUME_SETTINGS[i]}" "${VOLUME_SETTINGS[i + 1]}" >/dev/null
  done
  gluster_cli volume start "$VOLUME" >/dev/null
  wait_bricks_online 3
}

# The number of bricks that glusterd reports online.
bricks_online() {
  gluster_cli volume status "$VOLUME" detail 2>/dev/null | grep -c '^Online.*: Y' || true
}

wait_bricks_online() {
  local want=$1 _
  for _ in $(seq 150); do
    [ "$(bricks_online)" -ge "$want" ] && return 0
    sleep 0.2
  done
  echo "volume: fewer than $want bricks came online" >&2
  gluster_cli volume status "$VOLUME" >&2 || true
  return 1
}

mount_volume() {
  local dir=$1 kind=${2:-strict}
  mkdir -p "$dir"
  if [ "$kind" = strict ]; then
    mount -t glusterfs -o "$STRICT_MOUNT_OPTIONS" "$VOLUME_HOST:/$VOLUME" "$dir"
  else
    mount -t glusterfs "$VOLUME_HOST:/$VOLUME" "$dir"
  fi
  local _
  for _ in $(seq 50); do
    mountpoint -q "$dir" && stat "$dir/." >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "volume: $dir did not mount" >&2
  return 1
}

# The pid of brick N (1 to 3), from the pid file that glusterd keeps for it.
brick_pid() {
  local file
  file=$(grep -l . /run/gluster/vols/"$VOLUME"/*"$(basename "${brick_dirs[$1 - 1]}")".pid 2>/dev/null | head -1)
  [ -n "$file" ] && cat "$file"
}

# Stops brick N as a crash would: SIGKILL, no goodbye to the clients.
stop_brick() {
  local pid
  pid=$(brick_pid "$1")
  [ -n "$pid" ] || { echo "volume: no pid for brick $1" >&2; return 1; }
  kill -KILL "$pid"
}

# Freezes brick N (SIGSTOP): its connections stay open and nothing answers, as when its machine
# vanishes from the network. thaw_brick N lets it go on.
freeze_brick() {
  local pid
  pid=$(brick_pid "$1")
  [ -n "$pid" ] || { echo "volume: no pid for brick $1" >&2; return 1; }
  kill -STOP "$pid"
}

thaw_brick() {
  kill -CONT "$(brick_pid "$1")"
}

# Brings back every stopped brick, as an operator does after a crash.
start_bricks() {
  gluster_cli volume start "$VOLUME" force >/dev/null
  wait_bricks_online 3
}

# Waits until the client of each mount DIR takes writes again, that is, until it has found its
# way back to two bricks at least: bricks that glusterd reports online are not yet known to the
# mounts, which reconnect every few seconds.
wait_writable() {
  local dir _
  for dir in "$@"; do
    for _ in $(seq 300); do
      if { printf 'x' >"$dir/.scaleout-probe"; } 2>/dev/null; then
        rm -f "$dir/.scaleout-probe"
        continue 2
      fi
      sleep 0.2
    done
    echo "volume: $dir takes no writes after 60s" >&2
    return 1
  done
}

# Waits until the self-heal daemon reports no entry left to heal on any brick.
wait_healed() {
  local seconds=$1 start=$SECONDS pending
  gluster_cli volume heal "$VOLUME" >/dev/null 2>&1 || true
  while :; do
    pending=$(gluster_cli volume heal "$VOLUME" info 2>/dev/null |
      awk '/^Number of entries:/ { n += $4 } END { print n + 0 }')
    if [ "$pending" -eq 0 ] && gluster_cli volume heal "$VOLUME" info 2>/dev/null | grep -q '^Number of entries: 0'; then
      return 0
    fi
    if [ $((SECONDS - start)) -ge "$seconds" ]; then
      echo "volume: $pending entries still to heal after ${seconds}s" >&2
      return 1
    fi
    sleep 1
  done
}

# Every brick holds the same names with the same bytes below DIR (a path inside the volume);
# GlusterFS's own .glusterfs directory aside.
bricks_agree() {
  local inside=$1 brick listing first=
  for brick in "${brick_dirs[@]}"; do
    listing=$(cd "$brick/$inside" && find . -path ./.glusterfs -prune -o -type f -print0 |
      sort -z | xargs -0 -r sha256sum)
    if [ -z "$first" ]; then
      first=$listing
    elif [ "$listing" != "$first" ]; then
      echo "volume: $brick differs from ${brick_dirs[0]}:" >&2
      diff <(printf '%s\n' "$first") <(printf '%s\n' "$listing") | head -20 >&2
      return 1
    fi
  done
}

# The pid of the FUSE client process that serves mount DIR.
mount_pid() {
  ps -eo pid=,args= | awk -v dir="$1" '$2 ~ /glusterfs$/ && $NF == dir { print $1 }'
}

# Ends the client of mount DIR as a crash would; the mount is left broken ("Transport endpoint
# is not connected") until it is unmounted and mounted again.
kill_mount() {
  local pid
  pid=$(mount_pid "$1")
  [ -n "$pid" ] || { echo "volume: no client process for $1" >&2; return 1; }
  kill -KILL "$pid"
}

unmount() {
  umount -l "$1" 2>/dev/null || true
}
