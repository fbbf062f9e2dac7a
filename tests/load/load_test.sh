#!/usr/bin/env bash
# Load and concurrency through a real web server: lighttpd with the shipped configuration, on a
# free loopback port, runs velto.cgi, and many curl clients register and look up the same and
# different keys at once. Afterwards every registration answered 200 is found, and no answer
# anywhere was "corrupt" or "read error".
#
#   load_test.sh VELTO_CGI [CLIENTS] [ROUNDS] [VELTO_ADMIN]
#
# With VELTO_ADMIN, the operator's check must find the store that the load wrote sound.
#
# Bounded in time: each client gives up after LOAD_SECONDS (default 240), and the server is
# stopped on every way out.
set -euo pipefail

cgi=$(readlink -f "$1")
clients=${2:-8}
rounds=${3:-15}
seconds=${LOAD_SECONDS:-240}
admin=${4:+$(readlink -f "$4")}

for tool in lighttpd curl sha256sum; do
  command -v "$tool" >/dev/null || { echo "load test: $tool is not installed"; exit 77; }
done

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/lib.sh
source "$here/../../scripts/lib.sh"

work=$(mktemp -d /tmp/velto-load-XXXXXX)
lighttpd_pid=
cleanup() {
  if [ -n "$lighttpd_pid" ]; then stop_processes "$lighttpd_pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkdir -p "$work/data" "$work/bodies" "$work/out"

# The shipped configuration, on a free port, with room for every client's connection and the
# 64 KiB bodies buffered in the test's own directory. The program runs as the user who started
# the test; lighttpd ends a minute after the clients must have.
start_lighttpd --lifetime $((seconds + 60)) --log "$work/error.log" \
  --config "server.max-connections = 512" --config "server.upload-dirs = (\"$work\")" \
  "$cgi" "$work/data" "$work"
base=$lighttpd_url

# The server ID of a representation given as hex whose declared length is its whole size: the
# first 16 bytes of its SHA-256.
id_of_hex() {
  printf '%s' "$1" | sed 's/../\\x&/g' | xargs -0 printf '%b' | sha256sum | cut -c1-32
}

# Shared representations: two of 16 bytes and one of 64 KiB, registered by every client.
shared_reps=("0010000000000000ffff000000000000" "0010000000000000ffff000000000001"
             "0000000100000001$(printf '%0131056d' 0)")
shared_ids=("$(id_of_hex "${shared_reps[0]}")" "$(id_of_hex "${shared_reps[1]}")"
            "$({ printf '\x00\x00\x00\x01\x00\x00\x00\x01'; head -c 65528 /dev/zero; } |
                sha256sum | cut -c1-32)")

# One curl configuration per client: each request's answer goes to its own file, and its
# expectation to a line of expect: "exact BODY", "format KEY" (a server_id to record),
# "one_of_contended R" (any atom registered for that contended string).
add_request() {  # client index method path body expectation
  local c=$1 i=$2 method=$3 path=$4 body=$5 expectation=$6 separator=''
  # "next" separates requests; one after the last would start an empty one.
  [ ! -s "$work/client$c.conf" ] || separator=$'next\n'
  {
    printf '%s' "$separator"
    printf 'url = "%s%s"\n' "$base" "$path"
    printf 'output = "%s/out/%s_%s"\n' "$work" "$c" "$i"
    printf 'write-out = "%%{http_code}\\n"\n'
    if [ "$method" = POST ]; then
      printf '%s' "$body" >"$work/bodies/${c}_$i"
      printf 'data-binary = "@%s/bodies/%s_%s"\n' "$work" "$c" "$i"
    fi
  } >>"$work/client$c.conf"
  printf '%s\n' "$expectation" >>"$work/expect$c"
}

for c in $(seq "$clients"); do
  i=0
  for r in $(seq 0 $((rounds - 1))); do
    k=$((r % 3))
    own_rep="0010000000000000$(printf '%016x' $((c * 100000 + r)))"
    contended="contended-$((r % 3))"
    contended_atom=$((c * 10000 + r))
    add_request "$c" $((i++)) POST /v1/formats "{\"format_rep\":\"${shared_reps[$k]}\"}" \
      "exact {\"server_id\":\"${shared_ids[$k]}\"}"
    add_request "$c" $((i++)) POST /v1/formats "{\"format_rep\":\"$own_rep\"}" \
      "exact {\"server_id\":\"$(id_of_hex "$own_rep")\"}"
    add_request "$c" $((i++)) POST /v1/atoms "{\"string\":\"shared-$((r % 5))\",\"atom\":$((1000 + r % 5))}" \
      'exact {"ok":true}'
    add_request "$c" $((i++)) POST /v1/atoms "{\"string\":\"$contended\",\"atom\":$contended_atom}" \
      'exact {"ok":true}'
    add_request "$c" $((i++)) POST /v1/atoms "{\"string\":\"own-$c-$r\",\"atom\":$((500000 + c * 1000 + r))}" \
      'exact {"ok":true}'
    add_request "$c" $((i++)) GET "/v1/formats/${shared_ids[$k]}" "" \
      "exact {\"format_rep\":\"${shared_reps[$k]}\"}"
    add_request "$c" $((i++)) GET "/v1/atoms/by-string/shared-$((r % 5))" "" \
      "exact {\"atom\":$((1000 + r % 5))}"
    add_request "$c" $((i++)) GET "/v1/atoms/by-string/$contended" "" "contended $((r % 3))"
    add_request "$c" $((i++)) GET "/v1/atoms/by-value/$contended_atom" "" \
      "exact {\"string\":\"$contended\"}"
    add_request "$c" $((i++)) GET "/v1/atoms/by-string/own-$c-$r" "" \
      "exact {\"atom\":$((500000 + c * 1000 + r))}"
    add_request "$c" $((i++)) GET /v1/health "" "health"
  done
done

# An atom that a client registered for contended string R: c * 10000 + r with r % 3 == R.
is_contended_atom() {  # body R
  local atom
  atom=$(printf '%s' "$1" | sed -n 's/^{"atom":\([0-9]*\)}$/\1/p')
  [ -n "$atom" ] && [ $((atom / 10000)) -ge 1 ] && [ $((atom / 10000)) -le "$clients" ] &&
    [ $((atom % 10000 % 3)) -eq "$2" ] && [ $((atom % 10000)) -lt "$rounds" ]
}

echo "load test: $clients clients x $((rounds * 11)) requests on ${base#http://}"
start=$(date +%s)
client_pids=()
for c in $(seq "$clients"); do
  timeout "$seconds" curl -s -S --max-time 60 -K "$work/client$c.conf" >"$work/codes$c" 2>"$work/curl$c.err" &
  client_pids+=($!)
done
client_failed=0
for pid in "${client_pids[@]}"; do wait "$pid" || client_failed=1; done
elapsed=$(( $(date +%s) - start ))

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ "$client_failed" -eq 0 ] || fail "a client did not finish: $(cat "$work"/curl*.err)"

requests=0
for c in $(seq "$clients"); do
  mapfile -t codes <"$work/codes$c"
  mapfile -t expects <"$work/expect$c"
  for i in "${!expects[@]}"; do
    requests=$((requests + 1))
    body=$(cat "$work/out/${c}_$i" 2>/dev/null || echo "(no answer)")
    code=${codes[$i]:-none}
    case $body in *corrupt*|*"read error"*) fail "client $c request $i answered $body" ;; esac
    [ "$code" = 200 ] || { fail "client $c request $i: HTTP $code $body"; continue; }
    expectation=${expects[$i]}
    case $expectation in
      exact\ *) [ "$body" = "${expectation#exact }" ] || fail "client $c request $i: $body, not ${expectation#exact }" ;;
      contended\ *) is_contended_atom "$body" "${expectation#contended }" || fail "client $c request $i: $body" ;;
      health) [[ $body =~ ^\{\"status\":\"ok\",\"format_count\":[0-9]+,\"atom_count\":[0-9]+\}$ ]] ||
                fail "client $c request $i: $body" ;;
    esac
  done
done

# Afterwards, with the store at rest: every registration is found.
lookup() { curl -s -S --max-time 30 "$base$1"; }
after=0
for k in 0 1 2; do
  after=$((after + 1))
  [ "$(lookup "/v1/formats/${shared_ids[$k]}")" = "{\"format_rep\":\"${shared_reps[$k]}\"}" ] ||
    fail "shared format $k not found whole"
done
for c in $(seq "$clients"); do
  for r in $(seq 0 $((rounds - 1))); do
    own_rep="0010000000000000$(printf '%016x' $((c * 100000 + r)))"
    after=$((after + 3))
    [ "$(lookup "/v1/formats/$(id_of_hex "$own_rep")")" = "{\"format_rep\":\"$own_rep\"}" ] ||
      fail "format of client $c round $r not found"
    [ "$(lookup "/v1/atoms/by-string/own-$c-$r")" = "{\"atom\":$((500000 + c * 1000 + r))}" ] ||
      fail "atom own-$c-$r not found"
    [ "$(lookup "/v1/atoms/by-value/$((c * 10000 + r))")" = "{\"string\":\"contended-$((r % 3))\"}" ] ||
      fail "atom $((c * 10000 + r)) not found"
  done
done
for s in 0 1 2 3 4; do
  [ "$s" -lt "$rounds" ] || continue
  after=$((after + 1))
  [ "$(lookup "/v1/atoms/by-string/shared-$s")" = "{\"atom\":$((1000 + s))}" ] || fail "shared-$s not found"
done
for s in 0 1 2; do
  [ "$s" -lt "$rounds" ] || continue
  after=$((after + 1))
  is_contended_atom "$(lookup "/v1/atoms/by-string/contended-$s")" "$s" || fail "contended-$s not found"
done
expected_formats=$((3 + clients * rounds))
[ "$rounds" -ge 3 ] || expected_formats=$((rounds + clients * rounds))
health=$(lookup /v1/health)
[[ $health == "{\"status\":\"ok\",\"format_count\":$expected_formats,"* ]] || fail "health says $health"

# The program wrote nothing to standard error (the server logs it), and left no temporary.
if grep -v -e 'server started' -e 'server stopped' -e 'graceful shutdown' "$work/error.log" | grep -q .; then
  fail "the server logged: $(head -c 2000 "$work/error.log")"
fi
leftovers=$(find "$work/data" -name '.velto~*' | wc -l)
[ "$leftovers" -eq 0 ] || fail "$leftovers temporaries left in the store"

if [ -n "$admin" ]; then
  "$admin" --quiet --data-dir "$work/data" check >"$work/check.txt" ||
    fail "velto-admin check found faults: $(head -c 2000 "$work/check.txt")"
fi

echo "load test: $requests requests by $clients concurrent clients in ${elapsed}s, then $after lookups; $failures failures"
[ "$failures" -eq 0 ]
