# shellcheck shell=bash
# servers.sh: starts a real web server in front of velto.cgi, in the foreground of a process of
# this test, on a free loopback port, from a configuration generated into the test's own
# directory out of the shipped one in deploy/. Sourced by e2e.sh, which has set -euo pipefail.
#
# start_server KIND PROGRAM DATA_DIR WORK_DIR (KIND: lighttpd, apache or nginx) sets base_url
# (http://127.0.0.1:PORT); stop_server ends every process it started and waits for them.
# Nothing here listens beyond 127.0.0.1, and every server runs under `timeout`, so none outlives
# a test that is itself killed.

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=scripts/lib.sh
source "$source_dir/scripts/lib.sh"
server_pids=()
base_url=
server_log=

SERVER_LIFETIME_SECONDS=900
# cgi, or fastcgi: fastcgi.sh sets it, with its own ways to start Apache's and nginx's.
server_mode=cgi

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
# mod_cgi, as a site without threads runs it.
write_apache_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  local dir modules worker placement cgi_dir library_path
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
  mkdir -p "$dir/run" "$dir/empty"
  chown "$worker:" "$data_dir"
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
LoadModule alias_module "$modules/mod_alias.so"
LoadModule env_module "$modules/mod_env.so"
LoadModule cgi_module "$modules/mod_cgi.so"
User $worker
Group #$(id -g "$worker")
StartServers 4
MaxRequestWorkers 16
DocumentRoot "$dir/empty"
Define VELTO_CGI_DIR "$cgi_dir"
Define VELTO_DATA_DIR "$data_dir"
Include "$source_dir/deploy/apache/velto.conf"
EOF
  if [ -n "$library_path" ]; then
    echo "SetEnv LD_LIBRARY_PATH \"$library_path\"" >>"$conf"
  fi
}

# nginx in front of fcgiwrap, which runs the program: nginx's worker processes run as WORKER and
# reach fcgiwrap's socket; fcgiwrap, and so the program, runs as the user who started the test.
write_nginx_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  local dir worker
  dir=$(dirname "$conf")
  worker=$(worker_user)
  mkdir -p "$dir/temp"
  cat >"$conf" <<EOF
user $worker;
worker_processes 2;
pid "$dir/nginx.pid";
error_log "$dir/error.log" warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path "$dir/temp/body";
    proxy_temp_path "$dir/temp/proxy";
    fastcgi_temp_path "$dir/temp/fastcgi";
    uwsgi_temp_path "$dir/temp/uwsgi";
    scgi_temp_path "$dir/temp/scgi";
    upstream velto_fcgiwrap { server unix:$dir/fcgiwrap.sock; }
    server {
        listen 127.0.0.1:$port;
        root "$dir/empty";
        set \$velto_program "$program";
        set \$velto_data_dir "$data_dir";
        include "$source_dir/deploy/nginx/velto.conf";
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

start_nginx() {
  local program=$1 data_dir=$2 port=$3 conf=$4 dir
  dir=$(dirname "$conf")
  write_nginx_config "$program" "$data_dir" "$port" "$conf"
  cp "$(nginx_fastcgi_params)" "$dir/fastcgi_params"
  rm -f "$dir/fcgiwrap.sock"
  timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v fcgiwrap || echo /usr/sbin/fcgiwrap)" \
    -c 8 -s "unix:$dir/fcgiwrap.sock" >"$dir/fcgiwrap.log" 2>&1 &
  server_pids+=($!)
  local _
  for _ in $(seq 50); do
    [ -S "$dir/fcgiwrap.sock" ] && break
    sleep 0.1
  done
  chmod 666 "$dir/fcgiwrap.sock"
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
    start_lighttpd --lifetime "$SERVER_LIFETIME_SECONDS" --log "$server_log" --mode "$server_mode" \
      --config "server.upload-dirs = (\"$work_dir/$kind/upload\")" \
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

stop_server() {
  stop_processes "${server_pids[@]}"
  server_pids=()
}
