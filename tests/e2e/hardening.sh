#!/usr/bin/env bash
# hardening.sh KIND PROGRAM [MODE]: the shipped configuration of KIND (lighttpd, apache, nginx),
# running the program as a CGI program (MODE cgi, the default) or as a pool of FastCGI workers
# (fastcgi; fastcgi.sh), as an operator runs it in the open and as attackers meet it, on loopback
# ports. Writes for trusted
# clients: reads open, a POST without valid credentials 401, a writer 200, a writer from an
# address that is not listed 403 (127.0.0.2 beside 127.0.0.1), the read-only switch 403, the
# JSON-only switch refusing the "simple" POST that a page of another origin can send. The
# server's own answers in JSON, held against docs/openapi.yaml. Then the attacks, scaled down to
# what a 2-core machine bears: slow readers of a large format, slow anonymous bodies, a burst of
# large writes (nginx: and the write rate limit); throughout, a health probe from another client
# address must be answered 200 within PROBE_SECONDS, and the memory of the server and everything
# it started must stay within the budget that docs/deploy.md gives. lighttpd: also over HTTPS
# with a self-signed certificate. Ends with "N passed, N failed".
set -euo pipefail

kind=${1:?usage: hardening.sh lighttpd|apache|nginx PROGRAM [cgi|fastcgi]}
program=${2:?usage: hardening.sh lighttpd|apache|nginx PROGRAM [cgi|fastcgi]}
mode=${3:-cgi}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/servers.sh
source "$here/servers.sh"
case "$mode" in
  cgi) ;;
  fastcgi)
    # shellcheck source=tests/e2e/fastcgi.sh
    source "$here/fastcgi.sh"
    ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac

export LC_ALL=C
PROBE_SECONDS=5
# Attackers at once, and how long each attack lasts (seconds).
ATTACKERS=${VELTO_ATTACKERS:-150}
ATTACK_SECONDS=${VELTO_ATTACK_SECONDS:-8}

work=$(mktemp -d "${TMPDIR:-/tmp}/velto-hardening-$kind-$mode.XXXXXX")
chmod 755 "$work"
answers=$work/answers
mkdir -p "$answers"
passed=0
failed=0
answer_count=0
attack_pids=()

finish() {
  local status=$?
  if [ "${#attack_pids[@]}" -gt 0 ]; then
    kill "${attack_pids[@]}" 2>/dev/null || true
    wait "${attack_pids[@]}" 2>/dev/null || true
  fi
  stop_server
  if [ "$failed" -gt 0 ] || [ "$status" -ne 0 ]; then
    echo "--- server output ($kind, $mode):"
    tail -20 "$server_log" 2>/dev/null || true
    tail -20 "$work/$kind/error.log" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT

pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL [$kind, $mode] $*"
}

# The writer, with a bcrypt password, and a second user who is not in the file.
htpasswd -c -b -B "$work/writers" alice 'correct horse' 2>/dev/null
chmod 644 "$work/writers"  # read by the server's workers, which may not be root
json_headers=(-H 'Content-Type: application/json')

# expect LABEL STATUS BODY CURL_ARGUMENT...: one request; the answer must have this status, the
# JSON type, the cross-origin header once, and exactly this body. Answers that the server gave
# itself (not the program) are saved for the OpenAPI check with the mark "server".
expect() {
  local label=$1 status=$2 body=$3
  shift 3
  : >"$work/got.body"
  curl -s -S --max-time 30 -o "$work/got.body" -D "$work/got.headers" "$@" ||
    { fail "$label: curl failed"; return 0; }
  check_answer "$label" "$status" "$body"
}

# check_answer LABEL STATUS BODY: the checks of expect, on the answer in got.headers, got.body.
check_answer() {
  local label=$1 status=$2 body=$3 headers problems=() got_status origins type
  headers=$(tr -d '\r' <"$work/got.headers" |
    awk '/^HTTP\// { block = "" } { block = block $0 "\n" } END { printf "%s", block }')
  got_status=$(head -1 <<<"$headers" | awk '{ print $2 }')
  type=$(grep -i '^Content-Type:' <<<"$headers" | sed 's/^[^:]*: *//' || true)
  origins=$(grep -ci '^Access-Control-Allow-Origin: \*$' <<<"$headers" || true)
  [ "$got_status" = "$status" ] || problems+=("status $got_status, want $status")
  [ "$type" = application/json ] || problems+=("Content-Type '$type'")
  [ "$origins" = 1 ] || problems+=("$origins Access-Control-Allow-Origin: * headers")
  [ "$(cat "$work/got.body")" = "$body" ] ||
    problems+=("body '$(head -c 200 "$work/got.body")', want '$body'")
  if [ "${#problems[@]}" -eq 0 ]; then pass; else fail "$label: ${problems[*]}"; fi
  last_headers=$headers
}

# serve SETTING...: (re)starts the server with these site values, on a store of its own (programs
# that the last server started may still be finishing their writes in the last one).
serves=0
serve() {
  stop_server
  serves=$((serves + 1))
  mkdir -p "$work/store-$serves"
  server_settings=("$@")
  start_server "$kind" "$program" "$work/store-$serves" "$work"
}

atom_body() { printf '{"string":"%s","atom":%d}' "$1" "$2"; }

# ------------------------------------------------------------------------------------------------
# Writes for trusted clients: authenticated writers from listed addresses.
site=()
[ "$kind" != apache ] || site=(site=vhost)
serve writes=authenticated "writers=$work/writers" writer_addresses=127.0.0.1 "${site[@]}"
url=$base_url
echo "$kind ($mode) serving $url"

expect "anonymous GET" 200 '{"status":"ok","format_count":0,"atom_count":0}' "$url/v1/health"
expect "anonymous GET from 127.0.0.2" 200 '{"status":"ok","format_count":0,"atom_count":0}' \
  --interface 127.0.0.2 "$url/v1/health"
expect "anonymous POST" 401 '{"error":"authentication required"}' \
  "${json_headers[@]}" -d "$(atom_body anonymous 1)" "$url/v1/atoms"
save_answer POST /v1/atoms 401 server
if grep -qi '^WWW-Authenticate: Basic realm="velto writers"' <<<"$last_headers"; then
  pass
else
  fail "401 without WWW-Authenticate: Basic realm=\"velto writers\": $last_headers"
fi
expect "wrong password" 401 '{"error":"authentication required"}' \
  -u 'alice:wrong horse' "${json_headers[@]}" -d "$(atom_body wrong 2)" "$url/v1/atoms"
expect "unknown user" 401 '{"error":"authentication required"}' \
  -u 'mallory:correct horse' "${json_headers[@]}" -d "$(atom_body mallory 3)" "$url/v1/atoms"
expect "writer" 200 '{"ok":true}' \
  -u 'alice:correct horse' "${json_headers[@]}" -d "$(atom_body 'a/b' 4)" "$url/v1/atoms"
expect "writer from an unlisted address" 403 '{"error":"forbidden"}' --interface 127.0.0.2 \
  -u 'alice:correct horse' "${json_headers[@]}" -d "$(atom_body unlisted 5)" "$url/v1/atoms"
save_answer POST /v1/atoms 403 server
expect "anonymous from an unlisted address" 403 '{"error":"forbidden"}' --interface 127.0.0.2 \
  "${json_headers[@]}" -d "$(atom_body unlisted 5)" "$url/v1/atoms"
expect "what was refused was not written" 200 '{"status":"ok","format_count":0,"atom_count":1}' \
  "$url/v1/health"
# %2F reaches the program (Apache: AllowEncodedSlashes in the registry's virtual host).
expect "by-string with %2F" 200 '{"atom":4}' "$url/v1/atoms/by-string/a%2Fb"
# The program's own errors pass unchanged, its header not doubled.
expect "the program's 404" 404 '{"error":"unknown endpoint"}' "$url/v1/nothing"
expect "a path outside /v1" 404 '{"error":"not found"}' "$url/velto"
save_answer GET /velto 404 server

# Over the body limit: the server's own 413; through mod_fcgid, the program's 400 for the body
# cut at the limit (deploy/apache/velto-fcgid.conf).
if [ "$kind-$mode" = nginx-cgi ]; then over=$((10 * 1024 * 1024 + 1)); else over=$((16 * 1024 * 1024 + 1)); fi
head -c "$over" /dev/zero | tr '\0' 'a' >"$work/over.json"
if [ "$kind-$mode" = apache-fastcgi ]; then
  expect "body over the limit" 400 '{"error":"missing request body"}' -u 'alice:correct horse' \
    "${json_headers[@]}" --data-binary "@$work/over.json" "$url/v1/formats"
else
  expect "body over the limit" 413 '{"error":"request body too large"}' -u 'alice:correct horse' \
    "${json_headers[@]}" --data-binary "@$work/over.json" "$url/v1/formats"
  save_answer POST /v1/formats 413 server
fi
rm -f "$work/over.json"
if [ "$kind" = lighttpd ]; then
  expect "POST without a length" 411 '{"error":"length required"}' -u 'alice:correct horse' \
    -X POST -H 'Content-Length:' "$url/v1/formats"
  save_answer POST /v1/formats 411 server
fi

# ------------------------------------------------------------------------------------------------
# The attacks, against this configuration. Each runs ATTACKERS clients for ATTACK_SECONDS while a
# probe asks for the health report from 127.0.0.2 every half second and the memory of the server's
# processes is sampled.

# A format as large as a 10 MiB body allows, for the slow readers: 4 MiB stored, 8 MiB of hex.
python3 -c '
import sys
rep = bytearray(4 * 1024 * 1024); rep[1] = 0x10
sys.stdout.write("{\"format_rep\":\"" + rep.hex() + "\"}")' >"$work/large.json"
large_id=$(curl -s -u 'alice:correct horse' "${json_headers[@]}" --data-binary "@$work/large.json" \
  "$url/v1/formats" | sed -n 's/^{"server_id":"\([0-9a-f]*\)"}$/\1/p')
[ -n "$large_id" ] || fail "the large format was not registered"

# The processes of the server, its children and theirs: their resident memory in KiB, summed.
server_memory_kib() {
  ps -e -o pid=,ppid=,rss= | awk -v roots="${server_pids[*]}" '
    BEGIN { n = split(roots, r, " "); for (i = 1; i <= n; i++) keep[r[i]] = 1 }
    { parent[$1] = $2; rss[$1] = $3 }
    END {
      # Parents come before children in no guaranteed order: settle the tree in passes.
      do { changed = 0
        for (p in parent) if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; changed = 1 }
      } while (changed)
      for (p in keep) total += rss[p]
      print total + 0
    }'
}

# The FastCGI pool as shipped: lighttpd.conf's var.velto_workers, velto-fcgid.conf's
# FcgidMaxProcessesPerClass, and for nginx the workers that servers.sh starts, as systemd's units
# would.
pool_size() {
  case "$kind" in
    lighttpd) sed -n 's/^var\.velto_workers = "\([0-9]*\)"$/\1/p' "$source_dir/deploy/lighttpd.conf" ;;
    apache) awk '$1 == "FcgidMaxProcessesPerClass" { print $2 }' "$source_dir/deploy/apache/velto-fcgid.conf" ;;
    nginx) echo "$WORKER_COUNT" ;;
  esac
}

# The memory budget of docs/deploy.md for this server, in KiB: programs that serve at once (CGI
# programs or FastCGI workers) at 28 MiB each, waiting programs (lighttpd) at 2 MiB, and the
# server's own.
budget_kib() {
  case "$kind-$mode" in
    lighttpd-cgi) echo $(((8 * 28 + ATTACKERS * 2 + 64) * 1024)) ;;  # 8 instances, max-connections
    apache-cgi) echo $(((32 * 28 + 32 * 6 + 64) * 1024)) ;;          # MaxRequestWorkers 32, prefork
    nginx-cgi) echo $(((8 * 28 + 8 * 2 + 64) * 1024)) ;;             # 8 fcgiwrap children
    lighttpd-fastcgi | nginx-fastcgi) echo $((($(pool_size) * 28 + 64) * 1024)) ;;
    # 32 prefork children, each holding up to 11 MiB of an answer that mod_fcgid read whole.
    apache-fastcgi) echo $((($(pool_size) * 28 + 32 * (11 + 6) + 64) * 1024)) ;;
  esac
}

# under_attack NAME COMMAND...: runs COMMAND ATTACKERS times in the background, probes and samples
# for ATTACK_SECONDS, then ends the attackers.
under_attack() {
  local name=$1 i probes=0 slow=0 worst=0 peak=0 memory started elapsed code
  shift
  local before
  before=$(server_memory_kib)
  for ((i = 0; i < ATTACKERS; i++)); do
    "$@" >/dev/null 2>&1 &
    attack_pids+=($!)
  done
  started=$(date +%s%N)
  while [ $(($(date +%s%N) - started)) -lt $((ATTACK_SECONDS * 1000000000)) ]; do
    local t0
    t0=$(date +%s%N)
    code=$(curl -s -o /dev/null -w '%{http_code}' --interface 127.0.0.2 \
      --max-time "$PROBE_SECONDS" "$url/v1/health" || true)
    elapsed=$((($(date +%s%N) - t0) / 1000000))
    probes=$((probes + 1))
    [ "$elapsed" -le "$worst" ] || worst=$elapsed
    [ "$code" = 200 ] || slow=$((slow + 1))
    memory=$(server_memory_kib)
    [ "$memory" -le "$peak" ] || peak=$memory
    sleep 0.5
  done
  kill "${attack_pids[@]}" 2>/dev/null || true
  wait "${attack_pids[@]}" 2>/dev/null || true
  attack_pids=()
  echo "$kind, $name: $probes probes, slowest ${worst} ms, $slow unanswered;" \
    "memory $((before / 1024)) MiB before, peak $((peak / 1024)) MiB (budget $(($(budget_kib) / 1024)) MiB)"
  if [ "$slow" -eq 0 ]; then pass; else fail "$name: $slow of $probes health probes not answered 200 within ${PROBE_SECONDS} s"; fi
  if [ "$peak" -le "$(budget_kib)" ]; then pass; else fail "$name: memory peaked at $((peak / 1024)) MiB"; fi
}

# Slow readers: each asks for the large format and takes 2 KiB of it a second.
under_attack "slow readers" curl -s --limit-rate 2k --max-time "$((ATTACK_SECONDS + 5))" \
  -o /dev/null "$url/v1/formats/$large_id"
# Slow bodies: anonymous POSTs of a 10 MiB body at 600 bytes a second.
head -c $((10 * 1024 * 1024)) /dev/zero >"$work/slow.body"
under_attack "slow anonymous bodies" curl -s --limit-rate 600 --max-time "$((ATTACK_SECONDS + 5))" \
  "${json_headers[@]}" --data-binary "@$work/slow.body" -o /dev/null "$url/v1/formats"
rm -f "$work/slow.body"
# A burst of large writes by the writer (the fcgiwrap queue nginx had): 40 at once, again and
# again.
burst_writer() {
  local end=$((SECONDS + ATTACK_SECONDS))
  while [ "$SECONDS" -lt "$end" ]; do
    curl -s --max-time 30 -u 'alice:correct horse' "${json_headers[@]}" \
      --data-binary "@$work/large.json" -o /dev/null "$url/v1/formats" || true
    # Clients the server refused come back soon, but do not take the test machine's CPU.
    sleep 0.2
  done
}
saved_attackers=$ATTACKERS
ATTACKERS=40
under_attack "large writes" burst_writer
ATTACKERS=$saved_attackers

# The write rate limit: nginx answers a client's POSTs beyond the burst 429.
if [ "$kind" = nginx ]; then
  code=
  for i in $(seq 300); do
    code=$(curl -s -o "$work/got.body" -D "$work/got.headers" -w '%{http_code}' \
      -u 'alice:correct horse' "${json_headers[@]}" -d "$(atom_body "rate $i" "$((100 + i))")" \
      "$url/v1/atoms")
    [ "$code" != 429 ] || break
  done
  if [ "$code" = 429 ]; then
    check_answer "over the write rate (POST $i)" 429 '{"error":"too many requests"}'
    save_answer POST /v1/atoms 429 server
  else
    fail "300 POSTs in a row, none answered 429"
  fi
  # Reads are not rate-limited.
  expect "a read after the writes" 200 '{"atom":4}' "$url/v1/atoms/by-string/a%2Fb"
  # fcgiwrap, or every worker, gone: nginx's own 502. nginx is the last process started.
  backends=("${server_pids[@]:0:${#server_pids[@]}-1}")
  kill "${backends[@]}" 2>/dev/null || true
  wait "${backends[@]}" 2>/dev/null || true
  expect "what nginx passes to gone" 502 '{"error":"bad gateway"}' "$url/v1/health"
  save_answer GET /v1/health 502 server
fi

# ------------------------------------------------------------------------------------------------
# The read-only switch.
serve writes=read-only "writers=$work/writers"
url=$base_url
expect "read-only: GET" 200 '{"status":"ok","format_count":0,"atom_count":0}' "$url/v1/health"
expect "read-only: a writer's POST" 403 '{"error":"forbidden"}' -u 'alice:correct horse' \
  "${json_headers[@]}" -d "$(atom_body ro 1)" "$url/v1/atoms"
expect "read-only: anonymous POST" 403 '{"error":"forbidden"}' \
  "${json_headers[@]}" -d "$(atom_body ro 1)" "$url/v1/atoms"
expect "read-only: nothing written" 200 '{"status":"ok","format_count":0,"atom_count":0}' \
  "$url/v1/health"

# ------------------------------------------------------------------------------------------------
# Cross-origin writes: the "simple" POST that a page of any origin can make (no preflight) is
# refused with post_content=json; a JSON one goes through, and the preflight it would need is not
# granted (the program knows no OPTIONS on /v1/atoms, and says nothing of allowed methods).
serve writes=open post_content=json
url=$base_url
expect "json-only: text/plain" 403 '{"error":"forbidden"}' -H 'Content-Type: text/plain' \
  -d "$(atom_body simple 1)" "$url/v1/atoms"
expect "json-only: a form" 403 '{"error":"forbidden"}' -d "$(atom_body form 1)" "$url/v1/atoms"
expect "json-only: no type" 403 '{"error":"forbidden"}' -H 'Content-Type:' \
  -d "$(atom_body none 1)" "$url/v1/atoms"
expect "json-only: application/json" 200 '{"ok":true}' "${json_headers[@]}" \
  -d "$(atom_body json 1)" "$url/v1/atoms"
expect "json-only: with a charset" 200 '{"ok":true}' \
  -H 'Content-Type: application/json; charset=utf-8' -d "$(atom_body json 2)" "$url/v1/atoms"
expect "json-only: the preflight" 404 '{"error":"unknown endpoint"}' -X OPTIONS \
  -H 'Origin: https://elsewhere.example' -H 'Access-Control-Request-Method: POST' \
  -H 'Access-Control-Request-Headers: content-type' "$url/v1/atoms"
if grep -qi '^Access-Control-Allow-Methods' <<<"$last_headers"; then
  fail "the preflight was granted: $last_headers"
else
  pass
fi
expect "json-only: reads" 200 '{"string":"json"}' "$url/v1/atoms/by-value/1"

# ------------------------------------------------------------------------------------------------
# HTTPS (lighttpd): a self-signed certificate for 127.0.0.1, the writer's password over TLS. The
# program is installed under another name than velto.cgi: lighttpd must run it all the same, and
# never send its bytes.
if [ "$kind" = lighttpd ]; then
  stop_server
  mkdir -p "$work/tls" "$work/tls-store" "$work/tls-server/upload" "$work/renamed"
  cp "$program" "$work/renamed/registry"
  program=$work/renamed/registry
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" \
    2>/dev/null
  if start_lighttpd --lifetime 300 --https "$work/tls" --set writes=authenticated \
    --set "writers=$work/writers" --set "mode=$server_mode" --log "$work/tls-server/lighttpd.log" \
    --config "server.upload-dirs = (\"$work/tls-server/upload\")" \
    "$program" "$work/tls-store" "$work/tls-server"; then
    server_pids+=("$lighttpd_pid")
    tls=(--cacert "$work/tls/cert.pem")
    expect "https: GET" 200 '{"status":"ok","format_count":0,"atom_count":0}' "${tls[@]}" \
      "$lighttpd_url/v1/health"
    expect "https: anonymous POST" 401 '{"error":"authentication required"}' "${tls[@]}" \
      "${json_headers[@]}" -d "$(atom_body tls 1)" "$lighttpd_url/v1/atoms"
    expect "https: writer" 200 '{"ok":true}' "${tls[@]}" -u 'alice:correct horse' \
      "${json_headers[@]}" -d "$(atom_body tls 1)" "$lighttpd_url/v1/atoms"
    expect "https: the program's file" 400 '{"error":"not a CGI request"}' "${tls[@]}" \
      "$lighttpd_url/velto.cgi"
    if curl -s --max-time 5 -o /dev/null "http://127.0.0.1:$lighttpd_port/v1/health"; then
      fail "https: the port also answers plain HTTP"
    else
      pass
    fi
  else
    fail "lighttpd did not start over HTTPS"
  fi
fi

stop_server

# --- The server's own answers against the API description ---------------------------------------
"$here/node-tools.sh"
if node "$here/check_answers.mjs" "$source_dir/docs/openapi.yaml" "$answers"; then
  pass
else
  fail "answers that docs/openapi.yaml does not describe (above)"
fi

echo "hardening [$kind, $mode]: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
