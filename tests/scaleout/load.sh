# shellcheck shell=bash disable=SC2154
# (work and host_url are the including script's.)
# load.sh: batches of HTTP requests that several curl clients send at once, each answer held
# against what it must be, and a ledger of every registration that a host acknowledged, which is
# read back through the hosts afterwards. Sourced by scaleout_test.sh.
#
# batch_new NAME; batch_add NAME CLIENT METHOD URL BODY EXPECTATION [ON_OK [ALWAYS]];
# batch_run NAME (all clients at once, bounded); batch_verify NAME
#
# EXPECTATION is one of:
#   exact BODY           200 with exactly BODY
#   atom_in A,B,...      200 with {"atom":N}, N one of the list
#   health               200 with a health report
#   refused              500 with an error body: a write the store could not take
#   exact_or_500 BODY    200 with exactly BODY, or 500 while the store cannot be reached; never
#                        404, which would tell a client that an acknowledged key does not exist
# ON_OK and ALWAYS are ledger lines separated by ";", written to the ledger when the answer was
# 200 (ON_OK) or whatever it was (ALWAYS):
#   F ID REP        the format ID names REP        S STRING ATOM   the string's atom is ATOM
#   V ATOM STRING   the atom's string is STRING    T STRING ATOM   ATOM was sent for STRING
#   C STRING        STRING was contended: its atom is one of those sent for it (T lines)

failures=0
reader_failures=0
fail() {
  failures=$((failures + 1))
  [ "$failures" -gt 30 ] || echo "FAIL: $*"
}
# A 404 for an acknowledged key while the store cannot be reached: the program answers 404 when
# an open fails for any reason, where a lookup should retry an ESTALE open once and answer 500
# for EIO, ENOTCONN or a second ESTALE.
fail_reader() {
  reader_failures=$((reader_failures + 1))
  failures=$((failures + 1))
  [ "$reader_failures" -gt 5 ] || echo "FAIL: (404 where the store could not be reached) $*"
}

ledger=
BATCH_SECONDS=${BATCH_SECONDS:-300}

batch_new() {
  rm -rf "$work/batch-$1"
  mkdir -p "$work/batch-$1/out" "$work/batch-$1/bodies"
}

batch_add() {
  local batch=$work/batch-$1 c=$2 method=$3 url=$4 body=$5 expectation=$6 on_ok=${7:-} always=${8:-}
  local i=0 expect_file=$batch/expect$c conf_file=$batch/client$c.conf
  [ ! -f "$expect_file" ] || i=$(wc -l <"$expect_file")
  local separator=
  # "next" separates requests; one after the last would start an empty one.
  [ ! -s "$conf_file" ] || separator=next
  {
    [ -z "$separator" ] || printf '%s\n' "$separator"
    printf 'url = "%s"\n' "$url"
    printf 'output = "%s/out/%s_%s"\n' "$batch" "$c" "$i"
    printf 'write-out = "%%{http_code}\\n"\n'
    if [ "$method" = POST ]; then
      printf '%s' "$body" >"$batch/bodies/${c}_$i"
      printf 'data-binary = "@%s/bodies/%s_%s"\n' "$batch" "$c" "$i"
    fi
  } >>"$conf_file"
  printf '%s\n' "$expectation" >>"$expect_file"
  printf '%s\t%s\n' "$on_ok" "$always" >>"$batch/ledger$c"
}

batch_clients() {
  local file
  for file in "$work/batch-$1"/client*.conf; do
    # A batch that was given no request (nothing to read back) has no client.
    [ -e "$file" ] || continue
    file=${file##*/client}
    echo "${file%.conf}"
  done
}

# Starts every client of the batch at once in the background; batch_wait collects them.
batch_start() {
  local batch=$work/batch-$1 c
  batch_pids=()
  for c in $(batch_clients "$1"); do
    timeout -k 5 "$BATCH_SECONDS" curl -s -S --max-time 30 -K "$batch/client$c.conf" \
      >"$batch/codes$c" 2>"$batch/curl$c.err" &
    batch_pids+=($!)
  done
}

batch_wait() {
  local pid status=0
  for pid in "${batch_pids[@]}"; do wait "$pid" || status=1; done
  [ "$status" -eq 0 ] || fail "a client of batch $1 did not finish: $(cat "$work/batch-$1"/curl*.err | head -5)"
}

batch_run() {
  batch_start "$1"
  batch_wait "$1"
}

# The number of answers the batch's clients have had so far (curl's own report of them is
# buffered; each answer's file appears as the answer comes).
batch_answered() {
  find "$work/batch-$1/out" -type f | wc -l
}

batch_requests() {
  cat "$work/batch-$1"/expect* | wc -l
}

batch_verify() {
  local batch=$work/batch-$1 c i code body expectation list atom requests=0 line
  local -a codes expects ledgers
  for c in $(batch_clients "$1"); do
    mapfile -t codes <"$batch/codes$c"
    mapfile -t expects <"$batch/expect$c"
    mapfile -t ledgers <"$batch/ledger$c"
    for i in "${!expects[@]}"; do
      requests=$((requests + 1))
      body=$(cat "$batch/out/${c}_$i" 2>/dev/null || echo "(no answer)")
      code=${codes[$i]:-none}
      expectation=${expects[$i]}
      local where url
      url=$(sed -n 's/^url = "\(.*\)"$/\1/p' "$batch/client$c.conf" | sed -n "$((i + 1))p")
      where="$1 client $c request $i ($url)"
      # A route's 500 ("read error", and for the atom routes "corrupt ...") is the right answer
      # only while the store cannot be reached.
      case $body in
        *corrupt* | *"read error"*) [[ $expectation == exact_or_500\ * ]] || fail "$where: $body" ;;
      esac
      case $expectation in
        exact\ *)
          if [ "$code" != 200 ] || [ "$body" != "${expectation#exact }" ]; then
            fail "$where: HTTP $code $body, not ${expectation#exact }"
          fi
          ;;
        atom_in\ *)
          list=,${expectation#atom_in },
          atom=$(printf '%s' "$body" | sed -n 's/^{"atom":\([0-9]*\)}$/\1/p')
          if [ "$code" != 200 ] || [ -z "$atom" ] || [[ $list != *",$atom,"* ]]; then
            fail "$where: HTTP $code $body, not an atom sent for it"
          fi
          ;;
        health)
          if [ "$code" != 200 ] ||
            ! [[ $body =~ ^\{\"status\":\"ok\",\"format_count\":[0-9]+,\"atom_count\":[0-9]+\}$ ]]; then
            fail "$where: HTTP $code $body"
          fi
          ;;
        refused)
          if [ "$code" != 500 ] || [[ $body != '{"error":'* ]]; then
            fail "$where: HTTP $code $body, where the store could not take the write"
          fi
          ;;
        exact_or_500\ *)
          if [ "$code" = 404 ]; then
            fail_reader "$where: HTTP $code $body"
          elif ! { [ "$code" = 200 ] && [ "$body" = "${expectation#exact_or_500 }" ]; } &&
            ! { [ "$code" = 500 ] && [[ $body == '{"error":'* ]]; }; then
            fail "$where: HTTP $code $body, not ${expectation#exact_or_500 } nor a 500"
          fi
          ;;
      esac
      line=${ledgers[$i]}
      if [ "$code" = 200 ] && [ -n "${line%%$'\t'*}" ]; then
        tr ';' '\n' <<<"${line%%$'\t'*}" >>"$ledger"
      fi
      if [ -n "${line#*$'\t'}" ]; then tr ';' '\n' <<<"${line#*$'\t'}" >>"$ledger"; fi
    done
  done
  echo "  batch $1: $requests requests checked"
}

# read_back NAME HOST...: the batch NAME, which reads every acknowledged registration of the
# ledger back through each HOST with two clients, run and verified.
read_back() {
  local batch=$1 host
  shift
  batch_new "$batch"
  for host in "$@"; do plan_readback "$batch" "$host" 2; done
  batch_run "$batch"
  batch_verify "$batch"
}

# A batch that reads every acknowledged registration of the ledger back through HOST, with
# CLIENTS clients; EXPECT_KIND exact (the store must answer) or exact_or_500.
plan_readback() {
  local batch=$1 host=$2 clients=$3 kind=${4:-exact}
  local url=${host_url[$host]} n=0 kind_key value rest atoms
  while read -r kind_key value rest; do
    local c=$host-$((n % clients + 1))
    n=$((n + 1))
    case $kind_key in
      F) batch_add "$batch" "$c" GET "$url/v1/formats/$value" "" "$kind {\"format_rep\":\"$rest\"}" ;;
      S) batch_add "$batch" "$c" GET "$url/v1/atoms/by-string/$value" "" "$kind {\"atom\":$rest}" ;;
      V) batch_add "$batch" "$c" GET "$url/v1/atoms/by-value/$value" "" "$kind {\"string\":\"$rest\"}" ;;
      C)
        atoms=$(awk -v s="$value" '$1 == "T" && $2 == s { print $3 }' "$ledger" | sort -u | paste -sd,)
        batch_add "$batch" "$c" GET "$url/v1/atoms/by-string/$value" "" "atom_in $atoms"
        ;;
    esac
  done < <(grep -v '^T ' "$ledger" | sort -u)
}

# The server ID of a representation given as hex whose declared length is its whole size: the
# first 16 bytes of its SHA-256.
id_of_hex() {
  printf '%s' "$1" | sed 's/../\\x&/g' | xargs -0 printf '%b' | sha256sum | cut -c1-32
}

SHARED_REPS=("0010000000000000ffff000000000000" "0010000000000000ffff000000000001"
  "0010000000000000ffff000000000002")
SHARED_IDS=()
for rep in "${SHARED_REPS[@]}"; do SHARED_IDS+=("$(id_of_hex "$rep")"); done

# plan_load BATCH PHASE HOST OTHER CLIENTS ROUNDS: CLIENTS clients of HOST, each ROUNDS rounds of
# registrations of shared keys (the same on every host and client), a contended atom string (one
# of three, each registered with different atoms by every client) and keys of its own; after each
# registration the other host looks the key up at once. PHASE (0 to 9) keeps the keys of one phase
# apart from those of another.
plan_load() {
  local batch=$1 phase=$2 host=$3 other=$4 clients=$5 rounds=$6
  local url=${host_url[$host]} other_url=${host_url[$other]} side c r
  side=$([ "$host" = a ] && echo 1 || echo 2)
  for c in $(seq "$clients"); do
    for r in $(seq 0 $((rounds - 1))); do
      local n=$(((phase * 4 + side) * 100000 + c * 1000 + r)) k=$((r % 3)) s=$((r % 5))
      local own_rep own_id contended=contended-$phase-$((r % 3)) own_string=own-$phase-$host-$c-$r
      own_rep=0010000000000000$(printf '%016x' "$n")
      own_id=$(id_of_hex "$own_rep")
      local client=$host$c
      batch_add "$batch" "$client" POST "$url/v1/formats" "{\"format_rep\":\"${SHARED_REPS[$k]}\"}" \
        "exact {\"server_id\":\"${SHARED_IDS[$k]}\"}" "F ${SHARED_IDS[$k]} ${SHARED_REPS[$k]}"
      batch_add "$batch" "$client" POST "$url/v1/formats" "{\"format_rep\":\"$own_rep\"}" \
        "exact {\"server_id\":\"$own_id\"}" "F $own_id $own_rep"
      batch_add "$batch" "$client" GET "$other_url/v1/formats/$own_id" "" "exact {\"format_rep\":\"$own_rep\"}"
      batch_add "$batch" "$client" POST "$url/v1/atoms" "{\"string\":\"shared-$s\",\"atom\":$((1000 + s))}" \
        'exact {"ok":true}' "S shared-$s $((1000 + s));V $((1000 + s)) shared-$s"
      batch_add "$batch" "$client" POST "$url/v1/atoms" "{\"string\":\"$contended\",\"atom\":$n}" \
        'exact {"ok":true}' "V $n $contended;C $contended" "T $contended $n"
      batch_add "$batch" "$client" POST "$url/v1/atoms" "{\"string\":\"$own_string\",\"atom\":$((50000000 + n))}" \
        'exact {"ok":true}' "S $own_string $((50000000 + n));V $((50000000 + n)) $own_string"
      batch_add "$batch" "$client" GET "$other_url/v1/atoms/by-string/$own_string" "" "exact {\"atom\":$((50000000 + n))}"
      batch_add "$batch" "$client" GET "$other_url/v1/atoms/by-value/$n" "" "exact {\"string\":\"$contended\"}"
      batch_add "$batch" "$client" GET "$other_url/v1/formats/${SHARED_IDS[$k]}" "" \
        "exact {\"format_rep\":\"${SHARED_REPS[$k]}\"}"
      batch_add "$batch" "$client" GET "$other_url/v1/health" "" health
    done
  done
}
