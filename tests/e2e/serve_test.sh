#!/usr/bin/env bash
# serve_test.sh PROGRAM: the run command as a newcomer uses it. scripts/serve (given the built
# program, so it does not build again) must print its base URL and data directory, serve on the
# port and store it is given, by option and by environment, answer the README's curl session
# exactly as the README shows it, and stop on Ctrl-C (SIGINT to its process group) with nothing
# left running and its generated configuration removed. Ends with "N passed, N failed".
set -euo pipefail

program=${1:?usage: serve_test.sh PROGRAM}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/servers.sh
source "$here/servers.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/velto-serve-test.XXXXXX")
serve_pid=
watchdog_pid=
passed=0
failed=0

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

# start_serve HOW OUT_FILE STORE: picks a free port (another one if it is taken meanwhile) and
# runs scripts/serve with it and STORE, given as options (HOW = options) or in the environment
# (HOW = environment), in a session of its own as from a terminal (where SIGINT is not ignored,
# as it is for a background job); waits until it answers on $port.
start_serve() {
  local how=$1 out=$2 store=$3 attempt _
  mkdir -p "$work/tmp"
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    if [ "$how" = options ]; then
      TMPDIR=$work/tmp setsid env --default-signal=INT bash "$source_dir/scripts/serve" \
        --program "$program" --port "$port" --data-dir "$store" >"$out" 2>&1 &
    else
      TMPDIR=$work/tmp VELTO_PORT=$port VELTO_DATA_DIR=$store setsid env --default-signal=INT \
        bash "$source_dir/scripts/serve" --program "$program" >"$out" 2>&1 &
    fi
    serve_pid=$!
    # Bounded even if this test is killed outright: the session goes after two minutes.
    [ -z "$watchdog_pid" ] || kill "$watchdog_pid" 2>/dev/null || true
    (sleep 120; kill -TERM -- "-$serve_pid" 2>/dev/null) >/dev/null 2>&1 &
    watchdog_pid=$!
    for _ in $(seq 300); do
      [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "http://127.0.0.1:$port/v1/health")" = 200 ] &&
        return 0
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

# --- Options -----------------------------------------------------------------------------------
store=$work/store-by-option
start_serve options "$work/out1" "$store"
for line in "velto: serving http://127.0.0.1:$port/v1/ (try http://127.0.0.1:$port/v1/health)" \
  "velto: data directory $store"; do
  if grep -qxF -e "$line" "$work/out1"; then pass; else fail "no line '$line' in: $(cat "$work/out1")"; fi
done

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
interrupt_serve

# --- Environment -------------------------------------------------------------------------------
store=$work/store-by-environment
start_serve environment "$work/out2" "$store"
if grep -qxF -e "velto: data directory $store" "$work/out2"; then pass; else fail "env: $(cat "$work/out2")"; fi
if [ -d "$store/atoms/v" ]; then pass; else fail "env: no store made in $store"; fi
interrupt_serve

echo "serve: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
