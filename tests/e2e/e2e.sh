#!/usr/bin/env bash
# e2e.sh KIND PROGRAM [MODE]: the registry as clients meet it, through a real web server (KIND is
# lighttpd, apache or nginx, the last with fcgiwrap) started on a free loopback port with the
# shipped configuration, driven by curl. MODE fastcgi runs the program as a pool of FastCGI
# workers behind the same server (fastcgi.sh); the default, cgi, as a CGI program. Every answer is compared whole: the HTTP status line
# (made from the program's Status header), Content-Type, Access-Control-Allow-Origin and the
# exact body. Ends with the line "N passed, N failed"; exits non-zero when anything failed.
#
# Every JSON answer is also saved, with its request, and at the end check_answers.mjs holds them
# all against docs/openapi.yaml: the API description must describe what the servers answer.
set -euo pipefail

kind=${1:?usage: e2e.sh lighttpd|apache|nginx PROGRAM [cgi|fastcgi]}
program=${2:?usage: e2e.sh lighttpd|apache|nginx PROGRAM [cgi|fastcgi]}
mode=${3:-cgi}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/servers.sh
source "$here/servers.sh"
# fcgiwrap, nginx's way to a CGI program, answers 502 where the program leaves a body unread.
through_fcgiwrap=no
case "$mode" in
  cgi) [ "$kind" = nginx ] && through_fcgiwrap=yes ;;
  fastcgi)
    # shellcheck source=tests/e2e/fastcgi.sh
    source "$here/fastcgi.sh"
    ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac

export LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/velto-e2e-$kind-$mode.XXXXXX")
chmod 755 "$work"  # the server's worker user walks into it
store=$work/store
answers=$work/answers
mkdir -p "$store" "$answers"

passed=0
failed=0
answer_count=0

finish() {
  local status=$?
  stop_server
  if [ "$failed" -gt 0 ] || [ "$status" -ne 0 ]; then
    echo "--- server output ($kind):"
    tail -20 "$server_log" 2>/dev/null || true
    tail -20 "$work/$kind/error.log" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'echo "e2e [$kind]: line $LINENO: command failed: $BASH_COMMAND" >&2' ERR

# ----------------------------------------------------------------------------------------------
# One exchange and its checks.

# send METHOD PATH [BODY]: one request as a client sends it; the answer lands in $work/got.*
# A BODY of the form @FILE sends that file. The path is sent byte for byte (--path-as-is): curl
# removes no dot segment.
send() {
  local method=$1 path=$2
  local -a args=(-s -S --path-as-is --max-time 120 -D "$work/got.headers")
  : >"$work/got.body"
  if [ "$method" = HEAD ]; then
    args+=(--head -o /dev/null)
  else
    args+=(-X "$method" -o "$work/got.body")
  fi
  if [ "$#" -ge 3 ]; then
    local file=${3#@}
    if [ "$file" = "$3" ]; then
      file=$work/sent.body
      printf '%s' "$3" >"$file"
    fi
    args+=(-H 'Content-Type: application/json' --data-binary "@$file")
  fi
  curl "${args[@]}" "$base_url$path"
}

# The final header block: curl sends "Expect: 100-continue" with a large body, as clients do,
# and the interim "100 Continue" block comes first.
final_headers() {
  tr -d '\r' <"$work/got.headers" | awk '/^HTTP\// { block = "" } { block = block $0 "\n" } END { printf "%s", block }'
}

header_value() {  # the value of header $1 in the final answer; empty when it is missing
  final_headers | { grep -i "^$1:" || true; } | head -1 | sed -e 's/^[^:]*: *//'
}

status_line() {
  final_headers | head -1
}

pass() {
  passed=$((passed + 1))
}

fail() {
  failed=$((failed + 1))
  echo "FAIL [$kind] $*"
}

reason_of() {
  case "$1" in
    200) echo "OK" ;;
    400) echo "Bad Request" ;;
    404) echo "Not Found" ;;
    500) echo "Internal Server Error" ;;
  esac
}

# check METHOD PATH BODY|- STATUS EXPECTED_BODY: the request (BODY "-" sends none) must be
# answered with exactly this status line, the two headers of every answer, and these bytes.
# Options before the arguments: --raw marks a body that is not JSON for strict readers (a string
# holding a backslash, a control byte or bytes that are not UTF-8 is returned unescaped), so it
# is not held against the API description.
check() {
  local raw=no
  if [ "$1" = --raw ]; then
    raw=yes
    shift
  fi
  local method=$1 path=$2 body=$3 status=$4 expected=$5
  local label="$method $path"
  if [ "$body" = - ]; then
    send "$method" "$path" || { fail "$label: curl failed"; return; }
  else
    send "$method" "$path" "$body" || { fail "$label: curl failed"; return; }
  fi
  local want_line got_line
  want_line="HTTP/1.1 $status $(reason_of "$status")"
  got_line=$(status_line)
  local problems=()
  [ "$got_line" = "$want_line" ] || problems+=("status line '$got_line', want '$want_line'")
  local type origin
  type=$(header_value Content-Type)
  origin=$(header_value Access-Control-Allow-Origin)
  [ "$type" = application/json ] || problems+=("Content-Type '$type'")
  [ "$origin" = '*' ] || problems+=("Access-Control-Allow-Origin '$origin'")
  printf '%s' "$expected" >"$work/want.body"
  if ! cmp -s "$work/want.body" "$work/got.body"; then
    problems+=("body '$(head -c 300 "$work/got.body")', want '$(head -c 300 "$work/want.body")'")
  fi
  if [ "${#problems[@]}" -eq 0 ]; then
    pass
  else
    fail "$label: ${problems[*]}"
  fi
  if [ "$raw" = no ] && [ "$method" != HEAD ]; then
    save_answer "$method" "$path" "$status"
  fi
}

# check_status METHOD PATH BODY|- STATUS: for answers the server gives on its own, before or
# instead of the program: the status, the JSON type and the cross-origin header; the body is
# held against the description's x-web-server-answers.
check_status() {
  local method=$1 path=$2 body=$3 status=$4 code
  if [ "$body" = - ]; then
    send "$method" "$path" || true
  else
    send "$method" "$path" "$body" || true
  fi
  code=$(status_line | awk '{ print $2 }')
  if [ "$code" = "$status" ]; then pass; else fail "$method $path: status '$code', want $status"; fi
  local type origin
  type=$(header_value Content-Type)
  origin=$(header_value Access-Control-Allow-Origin)
  if [ "$type" = application/json ] && [ "$origin" = '*' ]; then
    pass
  else
    fail "$method $path: the server's own $code: Content-Type '$type', Access-Control-Allow-Origin '$origin'"
  fi
  save_answer "$method" "$path" "$status" server
}

# ----------------------------------------------------------------------------------------------
# What a client computes itself.

# percent_encode TEXT: every byte outside A-Z a-z 0-9 - . _ ~ as %XX.
percent_encode() {
  local text=$1 out='' i c hex
  for ((i = 0; i < ${#text}; i++)); do
    c=${text:i:1}
    case "$c" in
      [A-Za-z0-9._~-]) out+=$c ;;
      *) printf -v hex '%%%02X' "'$c"; out+=$hex ;;
    esac
  done
  printf '%s' "$out"
}

# The by-string segment of TEXT as a client must write it: percent-encoded twice.
by_string_segment() {
  percent_encode "$(percent_encode "$1")"
}

hex_to_bytes() {  # short hex text to bytes on standard output
  local hex=$1 i
  for ((i = 0; i < ${#hex}; i += 2)); do printf '%b' "\\x${hex:i:2}"; done
}

# The server ID that the format library computes: the first 16 bytes of the SHA-256 digest of
# the first max(8, declared length) bytes, as lowercase hex.
server_id_of() {
  local hex=$1 declared
  declared=$((16#${hex:0:4}))
  if [ "${hex:6:2}" != 00 ]; then declared=$((declared | (16#${hex:12:4} << 16))); fi
  [ "$declared" -ge 8 ] || declared=8
  hex_to_bytes "${hex:0:$((2 * declared))}" | sha256sum | cut -c1-32
}

lower() { tr 'A-F' 'a-f' <<<"$1"; }

# ----------------------------------------------------------------------------------------------
start_server "$kind" "$program" "$store" "$work"
echo "$kind ($mode) serving $base_url, store $store"

# --- Routes: every path and method the route table knows, and what it refuses ------------------
# The program reads a body only for POST. lighttpd and Apache pass any other method's body on
# and answer all the same; fcgiwrap answers 502 when the program ends before taking the body
# (deploy/docs say so), so through it only POST carries one here.
if [ "$through_fcgiwrap" = yes ]; then ignored_body=-; else ignored_body='{"ignored":true}'; fi
check GET /v1/health - 200 '{"status":"ok","format_count":0,"atom_count":0}'
check POST /v1/health '{"ignored":true}' 200 '{"status":"ok","format_count":0,"atom_count":0}'
for method in PUT DELETE PATCH OPTIONS; do
  check "$method" /v1/health "$ignored_body" 200 '{"status":"ok","format_count":0,"atom_count":0}'
done
check HEAD /v1/health - 200 ''
for path in /v1 /v1/ /v1/health/ /v1/nothing /v1/formats /v1/atoms /v1/atoms/by-string \
  /v1/atoms/by-value /v1/format/ab; do
  check GET "$path" - 404 '{"error":"unknown endpoint"}'
done
check POST /v1/formats/ '{"format_rep":"0010000000000000aabbccddeeff0011"}' 404 '{"error":"unknown endpoint"}'
check POST /v1/atoms/by-value/7 '{"string":"x","atom":7}' 404 '{"error":"unknown endpoint"}'
check PUT /v1/formats "$ignored_body" 404 '{"error":"unknown endpoint"}'
check DELETE /v1/atoms/by-string/x - 404 '{"error":"unknown endpoint"}'
# Dot segments are resolved by the server before routing: this is /v1/health.
check GET /v1/formats/../health - 200 '{"status":"ok","format_count":0,"atom_count":0}'
# Paths outside /v1 are the server's own (no program, no JSON).
check_status GET /velto - 404
check_status GET /V1/health - 404

# --- Formats --------------------------------------------------------------------------------
rep=0010000000000000aabbccddeeff0011
id=$(server_id_of "$rep")
check POST /v1/formats "{\"format_rep\":\"$rep\"}" 200 "{\"server_id\":\"$id\"}"
check GET "/v1/formats/$id" - 200 "{\"format_rep\":\"$rep\"}"
# The same representation in upper-case digits is the same format; it comes back lower-case.
rep_upper=0010000000000000AABBCCDDEEFF0011
check POST /v1/formats "{\"format_rep\":\"$rep_upper\"}" 200 "{\"server_id\":\"$id\"}"
# Bytes past the declared length (here 8) are stored and returned; the ID covers the first 8.
rep_long=0008000000000000FFEEDDCCBBAA99887766
id_long=$(server_id_of "$rep_long")
check POST /v1/formats "{ \"format_rep\" : \"$rep_long\" }" 200 "{\"server_id\":\"$id_long\"}"
check GET "/v1/formats/$id_long" - 200 "{\"format_rep\":\"$(lower "$rep_long")\"}"
# Byte 3 non-zero: bytes 6-7 are the high half of the declared length (0x00010010 here).
check POST /v1/formats '{"format_rep":"0010000100000001aabb"}' 400 '{"error":"format_rep_length mismatch"}'
check GET "/v1/formats/$(tr 'a-f' 'A-F' <<<"$id")" - 404 '{"error":"format not found"}'
check GET /v1/formats/00000000000000000000000000000000 - 404 '{"error":"format not found"}'
check GET /v1/formats/ - 400 '{"error":"missing format id"}'
check POST /v1/formats '' 400 '{"error":"missing request body"}'
check POST /v1/formats '{"rep":"00"}' 400 '{"error":"missing format_rep"}'
check POST /v1/formats '{"format_rep":7}' 400 '{"error":"missing format_rep"}'
check POST /v1/formats '{"format_rep":"001000000000000"}' 400 '{"error":"format_rep too short"}'
check POST /v1/formats '{"format_rep":"0010000000000000a"}' 400 '{"error":"invalid hex in format_rep"}'
check POST /v1/formats '{"format_rep":"0x10000000000000aa"}' 400 '{"error":"invalid hex in format_rep"}'
check POST /v1/formats '{"format_rep":"0011000000000000aabbccddeeff0011"}' 400 '{"error":"format_rep_length mismatch"}'
# A regular file where the formats directory belongs: nothing can be stored.
mv "$store/formats" "$store/formats.aside"
: >"$store/formats"
check POST /v1/formats '{"format_rep":"0010000000000000000102030405060f"}' 500 '{"error":"cannot write format file"}'
rm "$store/formats"
mv "$store/formats.aside" "$store/formats"
# A format "file" that cannot be read whole.
mkdir "$store/formats/0123456789abcdef0123456789abcdef"
check GET /v1/formats/0123456789abcdef0123456789abcdef - 500 '{"error":"read error"}'
rmdir "$store/formats/0123456789abcdef0123456789abcdef"

# --- Atoms ----------------------------------------------------------------------------------
check POST /v1/atoms '{"string":"a b","atom":5}' 200 '{"ok":true}'
check GET /v1/atoms/by-string/a%2520b - 200 '{"atom":5}'
check GET /v1/atoms/by-value/5 - 200 '{"string":"a b"}'
for segment in 005 +5 5abc; do
  check GET "/v1/atoms/by-value/$segment" - 200 '{"string":"a b"}'
done
check POST /v1/atoms '{"atom":0,"string":"zero"}' 200 '{"ok":true}'
check GET /v1/atoms/by-value/0 - 200 '{"string":"zero"}'
check GET /v1/atoms/by-value/ - 200 '{"string":"zero"}'
check GET /v1/atoms/by-string/zero - 200 '{"atom":0}'
check GET /v1/atoms/by-string/nobody - 404 '{"error":"atom not found"}'
check GET /v1/atoms/by-value/999 - 404 '{"error":"atom value not found"}'
check GET /v1/atoms/by-value/-1 - 404 '{"error":"atom value not found"}'
check POST /v1/atoms '' 400 '{"error":"missing request body"}'
for body in '{"string":"x"}' '{"atom":1}' '{}' '{"string":"x","atom":-1}' '{"string":x,"atom":1}'; do
  check POST /v1/atoms "$body" 400 '{"error":"missing string or atom"}'
done
# The empty string names atoms/s itself: it can be neither stored nor read.
check POST /v1/atoms '{"string":"","atom":1}' 500 '{"error":"cannot write atom file"}'
check GET /v1/atoms/by-string/ - 500 '{"error":"corrupt atom file"}'
mkdir "$store/atoms/v/4242"
check POST /v1/atoms '{"string":"blocked","atom":4242}' 500 '{"error":"cannot write atom value file"}'
rmdir "$store/atoms/v/4242"
: >"$store/atoms/v/77"
check GET /v1/atoms/by-value/77 - 500 '{"error":"corrupt atom value file"}'
rm "$store/atoms/v/77"
# "blocked" got its atom file before the atom value file failed.
check GET /v1/health - 200 '{"status":"ok","format_count":2,"atom_count":3}'

# --- Bodies: the 10 MiB limit as the servers pass it on ---------------------------------------
# Exactly 10485760 bytes of JSON: the program reads it whole and stores 5242871 bytes.
big_hex=0010000000000000$(head -c $((10485742 - 16)) /dev/zero | tr '\0' 'a')
big_id=$(server_id_of "${big_hex:0:32}")
printf '{"format_rep": "%s"}' "$big_hex" >"$work/big.json"
[ "$(stat -c %s "$work/big.json")" -eq 10485760 ] || fail "the 10 MiB body is $(stat -c %s "$work/big.json") bytes"
check POST /v1/formats "@$work/big.json" 200 "{\"server_id\":\"$big_id\"}"
check GET "/v1/formats/$big_id" - 200 "{\"format_rep\":\"$big_hex\"}"
# One byte more: the program reads none of it. lighttpd and Apache pass bodies of up to 16 MiB
# on, and answer a longer one themselves; nginx before fcgiwrap stops at 10 MiB
# (deploy/nginx/velto.conf says why), nginx before the workers at 16 MiB like the others.
printf ' ' >>"$work/big.json"
if [ "$through_fcgiwrap" = yes ]; then
  check_status POST /v1/formats "@$work/big.json" 413
else
  check POST /v1/formats "@$work/big.json" 400 '{"error":"missing request body"}'
  head -c $((16 * 1024 * 1024 + 1)) /dev/zero | tr '\0' 'a' >"$work/big.json"
  if [ "$kind-$mode" = apache-fastcgi ]; then
    # mod_fcgid hands the worker what Apache read up to its limit (deploy/apache/velto-fcgid.conf).
    check POST /v1/formats "@$work/big.json" 400 '{"error":"missing request body"}'
  else
    check_status POST /v1/formats "@$work/big.json" 413
  fi
fi
rm -f "$work/big.json" "$work/got.body" "$work/want.body"

# --- How the servers pass a body without Content-Length -------------------------------------
printf '%s' '{"string":"chunked","atom":31}' >"$work/chunked.json"
curl -s -S -o "$work/got.body" -D "$work/got.headers" --max-time 30 -H 'Transfer-Encoding: chunked' \
  --data-binary "@$work/chunked.json" "$base_url/v1/atoms" || true
chunked_stored=yes
case "$kind-$mode" in
  apache-cgi) want='{"error":"missing request body"}' chunked_stored=no ;;  # no CONTENT_LENGTH
  *) want='{"ok":true}' ;;  # buffered whole, passed with CONTENT_LENGTH (mod_fcgid too)
esac
if [ "$(cat "$work/got.body")" = "$want" ]; then pass; else fail "chunked POST: '$(cat "$work/got.body")', want '$want'"; fi
case "$kind" in
  lighttpd) check_status POST /v1/formats - 411 ;;  # lighttpd refuses a POST without a length
  apache | nginx) check POST /v1/formats - 400 '{"error":"missing request body"}' ;;
esac

# --- Client encoding of the by-string segment -----------------------------------------------
# Every string registered is found from its segment percent-encoded twice: the server decodes
# one layer (and would merge "//", drop "." and ".." segments, and, lighttpd, refuse control
# bytes, were they left in after its decoding), the program the other.
strings=(
  '100%' '%41' '50%25' 'a/b' 'a//b' '/lead' 'trail/' 'a/../b' 'a/./b' '..x' '.hidden'
  'a+b' '  two  ' 'why?' 'x?y=1&z=2' '#tag' 'a#b?c' "$(printf 'tab\there')"
  "$(printf 'caf\xc3\xa9')" "$(printf '\xff\xfe raw')" "$(printf '\xe2\x82\xac 5')" 'a\b'
  '~user' '50% off / 2 + 1 = #1? ok'
)
declare -A atom_of
atom=1000
counted=0  # store names beginning with "." are not counted by the health report
for text in "${strings[@]}"; do
  atom=$((atom + 1))
  atom_of[$text]=$atom
  [ "${text:0:1}" = . ] || counted=$((counted + 1))
  check POST /v1/atoms "{\"string\":\"$text\",\"atom\":$atom}" 200 '{"ok":true}'
  check GET "/v1/atoms/by-string/$(by_string_segment "$text")" - 200 "{\"atom\":$atom}"
  check --raw GET "/v1/atoms/by-value/$atom" - 200 "{\"string\":\"$text\"}"
done

# Why once is not enough. Percent-encoded only once, "%41" reaches the program as %41, which it
# decodes to "A"; a raw "a/../b" loses its dot segment to the server's path normalisation.
check POST /v1/atoms '{"string":"A","atom":2001}' 200 '{"ok":true}'
check GET /v1/atoms/by-string/%2541 - 200 '{"atom":2001}'
check POST /v1/atoms '{"string":"b","atom":2002}' 200 '{"ok":true}'
check GET /v1/atoms/by-string/a/../b - 200 '{"atom":2002}'
case "$kind" in
  lighttpd | nginx)
    # %2F is decoded like any other escape, and the path then normalised: "//" is merged and
    # dot segments are removed, so the strings "a/b" and "b" are looked up.
    check GET /v1/atoms/by-string/a%2F%2Fb - 200 "{\"atom\":${atom_of[a/b]}}"
    check GET /v1/atoms/by-string/a%2F..%2Fb - 200 '{"atom":2002}'
    if [ "$kind" = lighttpd ]; then
      # A control byte left after the server's decoding is refused by lighttpd itself.
      check_status GET /v1/atoms/by-string/tab%09here - 400
    else
      check GET /v1/atoms/by-string/tab%09here - 200 "{\"atom\":${atom_of[$'tab\there']}}"
    fi
    ;;
  apache)
    # AllowEncodedSlashes NoDecode: %2F passes undecoded and the program decodes it.
    check GET /v1/atoms/by-string/a%2F%2Fb - 200 "{\"atom\":${atom_of[a//b]}}"
    check GET /v1/atoms/by-string/a%2F..%2Fb - 200 "{\"atom\":${atom_of[a/../b]}}"
    check GET /v1/atoms/by-string/tab%09here - 200 "{\"atom\":${atom_of[$'tab\there']}}"
    ;;
esac
# Raw "/", raw "+" and a single layer for a space are enough where nothing else needs escaping.
check GET /v1/atoms/by-string/a/b - 200 "{\"atom\":${atom_of[a/b]}}"
check GET /v1/atoms/by-string/a+b - 200 "{\"atom\":${atom_of[a+b]}}"
check GET /v1/atoms/by-string/a%20b - 200 '{"atom":5}'
# Either case of the hex digits, in either layer.
check GET /v1/atoms/by-string/caf%25c3%25a9 - 200 "{\"atom\":${atom_of[$'caf\xc3\xa9']}}"
check GET /v1/atoms/by-string/caf%25C3%25A9 - 200 "{\"atom\":${atom_of[$'caf\xc3\xa9']}}"

# --- Several clients at once ----------------------------------------------------------------
# Eight clients, each registering and reading back its own atoms and fetching the shared format,
# all at the same time: every answer must arrive and be right.
clients=8
rounds=6
client_pids=()
for client in $(seq "$clients"); do
  (
    for round in $(seq "$rounds"); do
      n=$((5000 + client * 100 + round))
      printf '{"string":"client %d round %d","atom":%d}' "$client" "$round" "$n" >"$work/c$client.json"
      curl -s --max-time 60 --data-binary "@$work/c$client.json" "$base_url/v1/atoms"
      echo
      curl -s --max-time 60 "$base_url/v1/atoms/by-value/$n"
      echo
      curl -s --max-time 60 "$base_url/v1/atoms/by-string/client%2520$client%2520round%2520$round"
      echo
      curl -s --max-time 60 "$base_url/v1/formats/$id"
      echo
    done >"$work/c$client.out" 2>&1
  ) &
  client_pids+=($!)
done
wait_failed=0
for pid in "${client_pids[@]}"; do
  wait "$pid" || wait_failed=1
done
for client in $(seq "$clients"); do
  : >"$work/c$client.want"
  for round in $(seq "$rounds"); do
    n=$((5000 + client * 100 + round))
    printf '{"ok":true}\n{"string":"client %d round %d"}\n{"atom":%d}\n{"format_rep":"%s"}\n' \
      "$client" "$round" "$n" "$rep" >>"$work/c$client.want"
  done
  if cmp -s "$work/c$client.want" "$work/c$client.out"; then
    pass
  else
    fail "client $client of $clients: $(diff "$work/c$client.want" "$work/c$client.out" | head -5)"
  fi
done
[ "$wait_failed" -eq 0 ] || fail "a client process failed"
atoms_now=$((3 + counted + 2 + clients * rounds))
[ "$chunked_stored" = yes ] && atoms_now=$((atoms_now + 1))
check GET /v1/health - 200 "{\"status\":\"ok\",\"format_count\":3,\"atom_count\":$atoms_now}"

# --- Workers that die are started anew (the FastCGI pool of lighttpd and mod_fcgid) ----------
if [ "$mode" = fastcgi ] && [ "$kind" != nginx ]; then
  worker_restart_check
  check GET /v1/health - 200 "{\"status\":\"ok\",\"format_count\":3,\"atom_count\":$atoms_now}"
fi

stop_server

# --- The API description against every answer saved above ----------------------------------
"$here/node-tools.sh"
if node "$here/check_answers.mjs" "$source_dir/docs/openapi.yaml" "$answers"; then
  pass
else
  fail "answers that docs/openapi.yaml does not describe (above)"
fi

echo "e2e [$kind, $mode]: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
