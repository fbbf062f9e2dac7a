#!/usr/bin/env bash
# serve_test.sh PROGRAM: the run command as a newcomer uses it. scripts/serve (given the built
# program, so it does not build again) must print its base URL and data directory, serve on the
# port and store it is given, by option and by environment, answer the README's curl session
# exactly as the README shows it, and stop on Ctrl-C (SIGINT to its process group) with nothing
# left running and its generated configuration removed. Started by root, it must serve, and run
# the program, as its own unprivileged user (started by another user: as that user), in a store
# that belongs to that user alone; a store that another user owns, can write, or has put a link
# in is refused before anything is served, and so are a port outside 1-65535 and a port already
# taken. Ends with "N passed, N failed".
set -euo pipefail

program=${1:?usage: serve_test.sh PROGRAM}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib.sh
source "$here/../../scripts/lib.sh"
source_dir=$velto_source_dir

work=$(mktemp -d "${TMPDIR:-/tmp}/velto-serve-test.XXXXXX")
chmod 755 "$work"  # the serving user walks through it to its stores
serve_pid=
watchdog_pid=
passed=0
failed=0
if [ "$(id -u)" -eq 0 ]; then serve_user=velto; else serve_user=$(id -un); fi

stop_serve() {  # Ctrl-C as a terminal sends it: to the whole process group
  if [ -n "$serve_pid" ]; then
    kill -"${1:-TERM}" -- "-$serve_pid" 2>/dev/null || true
  fi
}
finish() {
  stop_serve TERM
  [ -z "$serve_pid" ] || wait "$serve_pid" 2>/dev/null || true
  [ -z "$watchdog_pid" ] || kill "$watchdog_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL $*"
}

# start_serve HOW OUT_FILE STORE [USER]: picks a free port (another one if it is taken meanwhile)
# and runs scripts/serve with it and STORE, given as options (HOW = options) or in the
# environment (HOW = environment), in a session of its own as from a terminal (where SIGINT is
# not ignored, as it is for a background job), as USER when given; waits until it has said that
# it serves, and answers on $port. Its temporary files go to $work/tmp, or $work/tmp-USER.
start_serve() {
  local how=$1 out=$2 store=$3 user=${4:-} tmp=$work/tmp as=() _
  if [ -n "$user" ]; then
    tmp=$work/tmp-$user
    as=(runuser -u "$user" --)
  fi
  mkdir -p "$tmp"
  [ -z "$user" ] || chown "$user:" "$tmp"
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    if [ "$how" = options ]; then
      TMPDIR=$tmp setsid env --default-signal=INT "${as[@]}" bash "$source_dir/scripts/serve" \
        --program "$program" --port "$port" --data-dir "$store" >"$out" 2>&1 &
    else
      TMPDIR=$tmp VELTO_PORT=$port VELTO_DATA_DIR=$store setsid env --default-signal=INT \
        "${as[@]}" bash "$source_dir/scripts/serve" --program "$program" >"$out" 2>&1 &
    fi
    serve_pid=$!
    # Bounded even if this test is killed outright: the session goes after two minutes.
    [ -z "$watchdog_pid" ] || kill "$watchdog_pid" 2>/dev/null || true
    (sleep 120; kill -TERM -- "-$serve_pid" 2>/dev/null) >/dev/null 2>&1 &
    watchdog_pid=$!
    for _ in $(seq 300); do
      if grep -qx 'velto: Ctrl-C stops the server' "$out" && [ "$(curl -s -o /dev/null \
        -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port/v1/health")" = 200 ]; then
        return 0
      fi
      kill -0 "$serve_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_serve TERM
    wait "$serve_pid" 2>/dev/null || true
    serve_pid=
    grep -q "can't bind" "$out" || break
  done
  fail "scripts/serve ($how) did not come up: $(cat "$out")"
  return 1
}

# Ctrl-C: it must end by itself, promptly, leave no server behind and no generated files.
interrupt_serve() {
  stop_serve INT
  local status=0
  local waited=0
  while kill -0 "$serve_pid" 2>/dev/null && [ "$waited" -lt 100 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if kill -0 "$serve_pid" 2>/dev/null; then
    fail "scripts/serve still running 10 s after Ctrl-C"
    return
  fi
  wait "$serve_pid" || status=$?
  serve_pid=
  if [ "$status" -eq 130 ]; then pass; else fail "exit status after Ctrl-C: $status, want 130"; fi
  if curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/v1/health"; then
    fail "port $port still answers after Ctrl-C"
  else
    pass
  fi
  if [ -z "$(ls -A "$work/tmp")" ]; then pass; else fail "left behind: $(ls -A "$work/tmp")"; fi
}

# The effective uids of the lighttpd processes in the session of scripts/serve, one a line.
server_uids() {
  local pid
  for pid in $(processes_with session "$serve_pid"); do
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = lighttpd ]; then
      awk '/^Uid:/ { print $3 }' "/proc/$pid/status"  # the effective one
    fi
  done
}

# check_server_runs_as USER: lighttpd, and so the program it starts, runs as USER alone, and
# never as root.
check_server_runs_as() {
  local uids
  uids=$(server_uids | sort -u)
  if [ "$uids" = "$(id -u "$1")" ] && [ "$uids" != 0 ]; then
    pass
  else
    fail "lighttpd runs as uid(s) '$uids', want $(id -u "$1") ($1) alone"
  fi
}

# check_store_of USER STORE: every entry of STORE belongs to USER and no one else can write it.
check_store_of() {
  local uid strays
  uid=$(id -u "$1")
  strays=$(find "$2" \( ! -uid "$uid" -o -perm /022 \) -printf '%p %u %m\n')
  if [ -z "$strays" ]; then pass; else fail "store entries not $1's alone: $strays"; fi
}

# --- Options -----------------------------------------------------------------------------------
store=$work/store-by-option
start_serve options "$work/out1" "$store"
for line in "velto: serving http://127.0.0.1:$port/v1/ (try http://127.0.0.1:$port/v1/health)" \
  "velto: data directory $store"; do
  if grep -qxF -e "$line" "$work/out1"; then pass; else fail "no line '$line' in: $(cat "$work/out1")"; fi
done
check_server_runs_as "$serve_user"

# The README's session: each curl line is run against this port and must print exactly the
# comment line below it.
session=$(awk '/^## Run/ { run = 1; next } run && /^## / { exit } run' "$source_dir/README.md" |
  awk '/^```/ { block++; next } block == 3')
[ -n "$session" ] || fail "no curl session found in the README's Run section"
command_line=
count=0
while IFS= read -r line; do
  case "$line" in
    curl*) command_line=${line//127.0.0.1:8080/127.0.0.1:$port} ;;
    '# '*)
      want=${line#\# }
      got=$(eval "$command_line")
      count=$((count + 1))
      if [ "$got" = "$want" ]; then pass; else fail "README: $command_line: '$got', want '$want'"; fi
      ;;
  esac
done <<<"$session"
[ "$count" -ge 7 ] || fail "the README session has $count checked commands, want at least 7"
# VELTO_DATA_DIR reached the program: the session's format and atom are in this store.
if [ -f "$store/formats/8922697456a7890770ec1957f4aafb2a" ] && [ -n "$(ls "$store/atoms/s")" ]; then
  pass
else
  fail "the session's registrations are not in $store"
fi
# The command made the data directory, the program everything in it, all as the serving user.
check_store_of "$serve_user" "$store"

# A second server on the port taken by the first: lighttpd's own message and a failure, no
# banner, and the first one serves on.
status=0
timeout 60 bash "$source_dir/scripts/serve" --program "$program" --port "$port" \
  --data-dir "$work/store-second" >"$work/out-taken" 2>&1 || status=$?
if [ "$status" -ne 0 ] && grep -q "can't bind" "$work/out-taken" &&
  ! grep -q 'velto: serving' "$work/out-taken"; then
  pass
else
  fail "a taken port: status $status, output: $(cat "$work/out-taken")"
fi
if [ "$(curl -s --max-time 5 "http://127.0.0.1:$port/v1/health")" = \
  '{"status":"ok","format_count":1,"atom_count":1}' ]; then
  pass
else
  fail "the first server does not answer after the second failed"
fi
interrupt_serve

# --- Environment -------------------------------------------------------------------------------
store=$work/store-by-environment
start_serve environment "$work/out2" "$store"
if grep -qxF -e "velto: data directory $store" "$work/out2"; then pass; else fail "env: $(cat "$work/out2")"; fi
if [ -d "$store/atoms/v" ]; then pass; else fail "env: no store made in $store"; fi
interrupt_serve

# --- Started by another user: served as that user ---------------------------------------------
# As nobody, who must be able to read this clone: a clone below /root is closed to it.
if [ "$(id -u)" -eq 0 ] &&
  runuser -u nobody -- test -r "$source_dir/scripts/serve" -a -x "$program"; then
  mkdir "$work/nobody"
  chown nobody: "$work/nobody"
  store=$work/nobody/store
  start_serve options "$work/out3" "$store" nobody
  if grep -qxF -e "velto: the program runs as nobody" "$work/out3"; then
    pass
  else
    fail "as nobody: $(cat "$work/out3")"
  fi
  check_server_runs_as nobody
  check_store_of nobody "$store"
  stop_serve TERM
  wait "$serve_pid" || true
  serve_pid=
elif [ "$(id -u)" -eq 0 ]; then
  echo "skipped: serving as another user (nobody cannot read $source_dir)"
fi

# --- Refusals, before anything is served ----------------------------------------------------------
# refused NAME STATUS WANT REMEDY -- ARGUMENT...: scripts/serve with these arguments must exit
# with STATUS, saying WANT and REMEDY, print no banner, listen on nothing, and leave its store
# ($store) as it found it.
refused() {
  local name=$1 status_want=$2 want=$3 remedy=$4 status=0 before after
  shift 5
  before=$(find "$store" -printf '%p %u %m %l\n' 2>/dev/null | sort || true)
  port=$(free_port)
  timeout 60 bash "$source_dir/scripts/serve" --program "$program" --port "$port" "$@" \
    >"$work/refused.out" 2>&1 || status=$?
  after=$(find "$store" -printf '%p %u %m %l\n' 2>/dev/null | sort || true)
  local problems=()
  [ "$status" -eq "$status_want" ] || problems+=("exit status $status, want $status_want")
  grep -qF -e "$want" "$work/refused.out" || problems+=("no '$want'")
  grep -qF -e "$remedy" "$work/refused.out" || problems+=("no '$remedy'")
  ! grep -q 'velto: serving' "$work/refused.out" || problems+=("a banner")
  ! curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/v1/health" || problems+=("it serves")
  [ "$before" = "$after" ] || problems+=("the store changed: $after")
  if [ "${#problems[@]}" -eq 0 ]; then
    pass
  else
    fail "$name: ${problems[*]}; said: $(cat "$work/refused.out")"
  fi
}

store=$work/store-nowhere
refused "port 99999" 2 "port 99999 is outside 1-65535" "" -- --data-dir "$store" --port 99999
refused "port 0" 2 "port 0 is outside 1-65535" "" -- --data-dir "$store" --port 0

# A store of the serving user's own, each time spoiled in one way. The link is the attack that
# this guards against: formats/<id> pointing to a file that only root may read.
own_store() {
  rm -rf "$store"
  mkdir -p "$store/formats" "$store/atoms/s" "$store/atoms/v"
  printf '\001\002' >"$store/formats/0123456789abcdef0123456789abcdef"
  chown -R "$serve_user:" "$store"
}
store=$work/store-spoiled
own_store
ln -s /etc/shadow "$store/formats/fedcba9876543210fedcba9876543210"
chown -h "$serve_user:" "$store/formats/fedcba9876543210fedcba9876543210"
refused "a link in the store" 1 "formats/fedcba9876543210fedcba9876543210: a symbolic link" \
  "find $store -type l -delete" -- --data-dir "$store"
own_store
chmod 775 "$store"
refused "a group-writable store" 1 "$store: others can write it (mode 0775)" \
  "chmod -R go-w $store" -- --data-dir "$store"
own_store
chmod 666 "$store/formats/0123456789abcdef0123456789abcdef"
refused "a file that others can write" 1 "0123456789abcdef0123456789abcdef: others can write it" \
  "chmod -R go-w $store" -- --data-dir "$store/"
if [ "$(id -u)" -eq 0 ]; then
  own_store
  chown nobody: "$store"
  refused "a store of another user" 1 "$store: belongs to nobody" "chown -R $serve_user: $store" \
    -- --data-dir "$store"
  own_store
  chown nobody: "$store/atoms/v"
  refused "a directory of another user inside" 1 "$store/atoms/v: belongs to nobody" \
    "chown -R $serve_user: $store" -- --data-dir "$store"
  own_store
  chown -R root: "$store"  # made by an earlier run command that served as root
  refused "a store of root" 1 "$store: belongs to root" "chown -R $serve_user: $store" \
    -- --data-dir "$store"
fi
own_store
ln -s "$store" "$work/store-link"
refused "a data directory that is a link" 1 "$work/store-link is a symbolic link" \
  "Give the directory itself" -- --data-dir "$work/store-link"
mkdir -m 777 "$work/open"
store=$work/open/store
refused "a directory above that others can write" 1 "$work/open, a directory above the store" \
  "chmod go-w $work/open" -- --data-dir "$store"
if [ -d "$store" ]; then fail "a store was made below $work/open"; else pass; fi

echo "serve: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
