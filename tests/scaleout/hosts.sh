# shellcheck shell=bash disable=SC2154
# (work, source_dir and cgi are the including script's.)
# hosts.sh: web hosts in front of velto.cgi, each serving a store on its own mount of the volume.
# Sourced by scaleout_test.sh, inside its private network, where every port is free.
#
# start_host MODE NAME DATA_DIR   starts host NAME serving the store DATA_DIR and waits until it
#                                 answers; its base URL is then host_url[NAME]
# stop_hosts                      ends every host and waits for it
#
# MODE is how the host runs the program, both through lighttpd with the shipped configuration
# (deploy/lighttpd-conf.sh): "cgi", one process per request; "fastcgi", a pool of persistent
# FastCGI workers that lighttpd starts.

declare -A host_url=()
host_pids=()
next_host_port=18081
HOST_LIFETIME_SECONDS=${HOST_LIFETIME_SECONDS:-900}

start_host() {
  local mode=$1 name=$2 data_dir=$3
  local dir=$work/host-$name port=$next_host_port
  next_host_port=$((next_host_port + 1))
  mkdir -p "$dir/upload"
  case $mode in
    cgi | fastcgi)
      # As the run command does: the program runs as the user who started the server. The hosts
      # stand in a private network of the test's own, so writes are open to every client.
      "$source_dir/deploy/lighttpd-conf.sh" "$cgi" "$data_dir" 127.0.0.1 "$port" "" writes=open \
        "mode=$mode" >"$dir/lighttpd.conf"
      echo "server.upload-dirs = (\"$dir/upload\")" >>"$dir/lighttpd.conf"
      echo "server.errorlog = \"$dir/error.log\"" >>"$dir/lighttpd.conf"
      timeout -k 5 "$HOST_LIFETIME_SECONDS" lighttpd -D -f "$dir/lighttpd.conf" >"$dir/server.log" 2>&1 &
      host_pids+=($!)
      ;;
    *)
      echo "hosts: unknown host mode: $mode" >&2
      return 2
      ;;
  esac
  host_url[$name]=http://127.0.0.1:$port
  local _
  for _ in $(seq 100); do
    if [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "${host_url[$name]}/v1/health")" = 200 ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "hosts: $name did not come up on port $port" >&2
  cat "$dir/server.log" "$dir/error.log" 2>/dev/null | tail -20 >&2
  return 1
}

stop_hosts() {
  local pid
  for pid in "${host_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${host_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  host_pids=()
}

# The error log of every host, less lighttpd's own start and stop lines: what the program or
# the server complained about.
host_complaints() {
  cat "$work"/host-*/error.log 2>/dev/null |
    grep -v -e 'server started' -e 'server stopped' -e 'graceful shutdown' || true
}
