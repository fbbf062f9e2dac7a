# shellcheck shell=bash
# servers.sh: starts a real web server in front of velto.cgi, in the foreground of a process of
# this test, on a free loopback port, from a configuration generated into the test's own
# directory out of the shipped one in deploy/. Sourced by e2e.sh, which has set -euo pipefail.
#
# start_server KIND PROGRAM DATA_DIR WORK_DIR (KIND: lighttpd, apache or nginx) sets base_url
# (http://127.0.0.1:PORT); stop_server ends every process it started and waits for them, and
# for the programs they started. server_mode chooses how the server runs the program: cgi (a
# process per request: lighttpd's mod_cgi, Apache's mod_cgi, nginx through fcgiwrap) or fastcgi
# (a pool of WORKER_COUNT persistent workers: lighttpd's mod_fastcgi and Apache's mod_fcgid start
# them; for nginx, spawn-fcgi starts them here, as systemd's units do in a deployment).
# server_settings (NAME=VALUE...) sets the configurations' site values alike for every server:
# writes (open unless set), writers, writer_addresses (addresses separated by spaces),
# post_content; and site=vhost puts Apache's registry in a virtual host of its own.
# Nothing here listens beyond 127.0.0.1, and every server runs under `timeout`, so none outlives
# a test that is itself killed.

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib.sh
source "$source_dir/scripts/lib.sh"
server_pids=()
base_url=
server_log=
server_settings=()

SERVER_LIFETIME_SECONDS=900
server_mode=cgi
# The pool of each server in FastCGI mode, as shipped.
WORKER_COUNT=4

# save_answer METHOD PATH STATUS [server]: the answer in $work/got.body, for check_answers.mjs,
# which holds every answer against docs/openapi.yaml: NAME.request (3 lines, and "server" for an
# answer of the web server's own) and NAME.body in the including test's $answers directory,
# numbered by its answer_count.
# shellcheck disable=SC2154
save_answer() {
  answer_count=$((answer_count + 1))
  local name
  name=$(printf '%s/%04d' "$answers" "$answer_count")
  printf '%s\n%s\n%s\n%s' "$1" "$2" "$3" "${4:+$4$'\n'}" >"$name.request"
  cp "$work/got.body" "$name.body"
}

# setting NAME: the value of NAME in server_settings; empty when not set.
setting() {
  local entry value=''
  for entry in "${server_settings[@]}"; do
    if [ "${entry%%=*}" = "$1" ]; then value=${entry#*=}; fi
  done
  printf '%s' "$value"
}

# The user that Apache's children, and so the program, run as: Apache refuses to serve as root.
worker_user() {
  local user
  for user in www-data daemon nobody; do
    if id "$user" >/dev/null 2>&1; then
      echo "$user"
      return
    fi
  done
  return 1
}

apache_binary() {
  command -v apache2 || command -v httpd || echo /usr/sbin/apache2
}

apache_modules_dir() {
  local dir
  for dir in /usr/lib/apache2/modules /usr/lib64/httpd/modules /usr/libexec/apache2 \
    /usr/local/libexec/apache24; do
    if [ -f "$dir/mod_cgi.so" ]; then
      echo "$dir"
      return
    fi
  done
  echo "no Apache module directory with mod_cgi.so found" >&2
  return 1
}

# A minimal standalone httpd around the shipped deploy/apache/velto.conf: the prefork MPM and
# mod_cgi, as a site without threads runs it; in FastCGI mode mod_fcgid (VELTO_MODE fcgid), with
# its sockets and process table in the test's own directory.
write_apache_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  local dir modules worker placement cgi_dir library_path module=cgi
  [ "$server_mode" = cgi ] || module=fcgid
  local writes writers addresses post_content
  writes=$(setting writes) writers=$(setting writers) addresses=$(setting writer_addresses)
  post_content=$(setting post_content)
  dir=$(dirname "$conf")
  modules=$(apache_modules_dir)
  worker=$(worker_user)
  placement=$(program_dir_for "$worker" "$program" "$dir")
  cgi_dir=$(sed -n 1p <<<"$placement")
  library_path=$(sed -n 2p <<<"$placement")
  if [ "$(basename "$program")" != velto.cgi ] && [ "$cgi_dir" = "$(dirname "$program")" ]; then
    echo "the program must be named velto.cgi" >&2
    return 1
  fi
  [ -f "$modules/mod_$module.so" ] || { echo "no mod_$module.so in $modules" >&2; return 1; }
  mkdir -p "$dir/run" "$dir/empty" "$dir/fcgid"
  chown "$worker:" "$data_dir" "$dir/fcgid"
  cat >"$conf" <<EOF
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/run/httpd.pid"
DefaultRuntimeDir "$dir/run"
ErrorLog "$dir/error.log"
LogLevel warn
LoadModule mpm_prefork_module "$modules/mod_mpm_prefork.so"
LoadModule authz_core_module "$modules/mod_authz_core.so"
LoadModule authz_host_module "$modules/mod_authz_host.so"
LoadModule authz_user_module "$modules/mod_authz_user.so"
LoadModule authn_core_module "$modules/mod_authn_core.so"
LoadModule authn_file_module "$modules/mod_authn_file.so"
LoadModule auth_basic_module "$modules/mod_auth_basic.so"
LoadModule alias_module "$modules/mod_alias.so"
LoadModule env_module "$modules/mod_env.so"
LoadModule headers_module "$modules/mod_headers.so"
LoadModule mime_module "$modules/mod_mime.so"
TypesConfig /dev/null
LoadModule reqtimeout_module "$modules/mod_reqtimeout.so"
LoadModule ${module}_module "$modules/mod_$module.so"
LoadFile /usr/lib/x86_64-linux-gnu/libpcre.so.3
LoadModule qos_module "$modules/mod_qos.so"
User $worker
Group #$(id -g "$worker")
Include "$source_dir/deploy/apache/velto-mpm.conf"
DocumentRoot "$dir/empty"
Define VELTO_CGI_DIR "$cgi_dir"
Define VELTO_DATA_DIR "$data_dir"
Define VELTO_CONF_DIR "$source_dir/deploy"
Define VELTO_WRITES "${writes:-open}"
Define VELTO_MODE $module
EOF
  if [ "$module" = fcgid ]; then
    printf 'FcgidIPCDir "%s"\nFcgidProcessTableFile "%s"\n' "$dir/fcgid" "$dir/fcgid/table" \
      >>"$conf"
  fi
  [ -z "$writers" ] || echo "Define VELTO_WRITERS \"$writers\"" >>"$conf"
  [ -z "$addresses" ] || echo "Define VELTO_WRITER_ADDRESSES \"$addresses\"" >>"$conf"
  [ -z "$post_content" ] || echo "Define VELTO_POST_CONTENT \"$post_content\"" >>"$conf"
  if [ "$(setting site)" = vhost ]; then
    # The registry in a virtual host of its own, as docs/deploy.md sets it up.
    printf '<VirtualHost 127.0.0.1:%s>\n  Include "%s"\n</VirtualHost>\n' "$port" \
      "$source_dir/deploy/apache/velto.conf" >>"$conf"
  else
    echo "Include \"$source_dir/deploy/apache/velto.conf\"" >>"$conf"
  fi
  if [ -n "$library_path" ]; then
    # mod_fcgid starts a worker with an environment of its own, not a request's.
    if [ "$module" = fcgid ]; then
      echo "FcgidInitialEnv LD_LIBRARY_PATH \"$library_path\"" >>"$conf"
    else
      echo "SetEnv LD_LIBRARY_PATH \"$library_path\"" >>"$conf"
    fi
  fi
}

# nginx in front of the program: through fcgiwrap (velto.conf), or straight to WORKER_COUNT
# FastCGI workers (velto-fastcgi.conf), each on a socket of its own. nginx's worker processes run
# as WORKER and reach those sockets; fcgiwrap and the workers, and so the program, run as the user
# who started the test.
write_nginx_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  local dir worker address writes post_content upstream include i
  writes=$(setting writes) post_content=$(setting post_content)
  dir=$(dirname "$conf")
  worker=$(worker_user)
  mkdir -p "$dir/temp"
  # The pieces that velto.conf includes by names relative to the configuration's directory.
  cp "$source_dir"/deploy/nginx/velto*.conf "$dir/"
  if [ -n "$(setting writer_addresses)" ]; then
    for address in $(setting writer_addresses); do echo "$address 1;"; done \
      >"$dir/velto-writer-addresses.conf"
  fi
  if [ "$server_mode" = fastcgi ]; then
    upstream="upstream velto_workers {"
    for i in $(seq "$WORKER_COUNT"); do upstream+=" server unix:$dir/worker-$i.sock;"; done
    upstream+=" }"
    include=velto-fastcgi.conf
  else
    upstream="upstream velto_fcgiwrap { server unix:$dir/fcgiwrap.sock; }"
    include=velto.conf
  fi
  cat >"$conf" <<EOF
user $worker;
worker_processes 2;
pid "$dir/nginx.pid";
error_log "$dir/error.log" warn;
events { worker_connections 1024; }
http {
    access_log off;
    include "$dir/velto-http.conf";
    client_body_temp_path "$dir/temp/body";
    proxy_temp_path "$dir/temp/proxy";
    fastcgi_temp_path "$dir/temp/fastcgi";
    uwsgi_temp_path "$dir/temp/uwsgi";
    scgi_temp_path "$dir/temp/scgi";
    $upstream
    server {
        listen 127.0.0.1:$port;
        root "$dir/empty";
        set \$velto_program "$program";
        set \$velto_data_dir "$data_dir";
        set \$velto_writes "${writes:-open}";
        set \$velto_writers "$(setting writers)";
        set \$velto_post_content "${post_content:-any}";
        include "$dir/$include";
    }
}
EOF
}

nginx_fastcgi_params() {  # the fastcgi_params file shipped with nginx, for the include above
  local file
  for file in /etc/nginx/fastcgi_params /usr/local/etc/nginx/fastcgi_params; do
    [ -f "$file" ] && { echo "$file"; return; }
  done
  echo "no fastcgi_params found" >&2
  return 1
}

# What nginx passes requests to: fcgiwrap with 8 children, or WORKER_COUNT workers that
# spawn-fcgi starts on sockets of their own; then nginx, once their sockets are there.
start_nginx() {
  local program=$1 data_dir=$2 port=$3 conf=$4 dir sockets=() i _
  dir=$(dirname "$conf")
  write_nginx_config "$program" "$data_dir" "$port" "$conf"
  cp "$(nginx_fastcgi_params)" "$dir/fastcgi_params"
  if [ "$server_mode" = fastcgi ]; then
    for i in $(seq "$WORKER_COUNT"); do
      sockets+=("$dir/worker-$i.sock")
      rm -f "${sockets[-1]}"
      timeout -k 5 "$SERVER_LIFETIME_SECONDS" \
        "$(command -v spawn-fcgi || echo /usr/bin/spawn-fcgi)" -n -s "${sockets[-1]}" -M 0666 \
        -- "$program" >>"$dir/workers.log" 2>&1 &
      server_pids+=($!)
    done
  else
    sockets=("$dir/fcgiwrap.sock")
    rm -f "${sockets[0]}"
    timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v fcgiwrap || echo /usr/sbin/fcgiwrap)" \
      -c 8 -s "unix:${sockets[0]}" >"$dir/fcgiwrap.log" 2>&1 &
    server_pids+=($!)
  fi
  # Each worker binds its own socket, in no particular order.
  local socket missing
  for _ in $(seq 50); do
    missing=
    for socket in "${sockets[@]}"; do [ -S "$socket" ] || missing=$socket; done
    [ -z "$missing" ] && break
    sleep 0.1
  done
  chmod 666 "${sockets[@]}"
  timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v nginx || echo /usr/sbin/nginx)" \
    -p "$dir" -e "$dir/error.log" -c "$conf" -g 'daemon off;' >"$server_log" 2>&1 &
  server_pids+=($!)
}

start_server() {
  local kind=$1 program=$2 data_dir=$3 work_dir=$4
  local attempt port conf
  mkdir -p "$work_dir/$kind"
  server_log=$work_dir/$kind/server.log
  if [ "$kind" = lighttpd ]; then
    # The program runs as the user who started the test. Bodies past 64 KiB are buffered in the
    # test's directory rather than in /var/tmp.
    mkdir -p "$work_dir/$kind/upload"
    local entry sets=()
    for entry in "${server_settings[@]}"; do
      case "${entry%%=*}" in
        site) continue ;;
        # One regular expression that matches exactly the listed addresses.
        writer_addresses)
          entry="writer_addresses=^($(setting writer_addresses | sed 's/[.]/[.]/g; s/ /|/g'))\$" ;;
      esac
      sets+=(--set "$entry")
    done
    sets+=(--set "mode=$server_mode")
    start_lighttpd --lifetime "$SERVER_LIFETIME_SECONDS" --log "$server_log" \
      --config "server.upload-dirs = (\"$work_dir/$kind/upload\")" "${sets[@]}" \
      "$program" "$data_dir" "$work_dir/$kind" || return 1
    server_pids+=("$lighttpd_pid")
    base_url=$lighttpd_url
    return 0
  fi
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    conf=$work_dir/$kind/server.conf
    case "$kind" in
      apache)
        write_apache_config "$program" "$data_dir" "$port" "$conf"
        timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(apache_binary)" -DFOREGROUND -f "$conf" \
          >"$server_log" 2>&1 &
        server_pids+=($!)
        ;;
      nginx)
        start_nginx "$program" "$data_dir" "$port" "$conf"
        ;;
      *)
        echo "unknown server kind: $kind" >&2
        return 1
        ;;
    esac
    base_url=http://127.0.0.1:$port
    # When the server ends first, most likely the port was taken meanwhile: another is tried.
    if wait_for_health "$base_url" "${server_pids[-1]}" 10; then
      return 0
    fi
    stop_server
    echo "--- $kind did not come up on port $port (attempt $attempt):" >&2
    cat "$server_log" "$work_dir/$kind/error.log" 2>/dev/null | tail -20 >&2
  done
  return 1
}

# The processes of the program (velto.cgi, also when a copy) below one of the servers': its
# FastCGI workers, or the CGI programs in hand.
program_pids() {
  local pid root server
  for pid in $(pgrep -x velto.cgi || true); do
    # A killed program that its server has not reaped yet is no longer one.
    case "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null || echo Z)" in Z | X) continue ;; esac
    root=$pid
    while [ "$root" -gt 1 ]; do
      for server in "${server_pids[@]}"; do
        [ "$root" = "$server" ] && { echo "$pid"; continue 3; }
      done
      root=$(awk '{ print $4 }' "/proc/$root/stat" 2>/dev/null || echo 1)
    done
  done
}

# Ends the servers, and then the programs they started: servers do not wait for their FastCGI
# workers, and one that outlived its server would keep the test's output open. A program still
# there after 10 s is killed.
stop_server() {
  local programs pid alive _
  programs=$(program_pids)
  stop_processes "${server_pids[@]}"
  server_pids=()
  for _ in $(seq 100); do
    alive=''
    for pid in $programs; do
      if kill -0 "$pid" 2>/dev/null; then alive+=" $pid"; fi
    done
    programs=$alive
    [ -n "$programs" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $programs 2>/dev/null || true
}
