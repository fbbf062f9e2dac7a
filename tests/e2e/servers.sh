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
server_pids=()
base_url=
server_log=

SERVER_LIFETIME_SECONDS=900

free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    if ! ss -ltnH "sport = :$port" 2>/dev/null | grep -q .; then
      echo "$port"
      return
    fi
  done
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

# Prints the directory from which WORKER can run the program: the program's own when it can
# (the normal case), else a copy of the program and libqsr.so.3 in WORK_DIR/cgi-bin (a clone
# below a private home directory). Prints a second line, the LD_LIBRARY_PATH the copy needs.
program_dir_for() {
  local worker=$1 program=$2 work_dir=$3
  if runuser -u "$worker" -- env -i VELTO_DATA_DIR="$work_dir/probe-store" "$program" \
      2>/dev/null | head -c 11 | grep -q '^Status: 400'; then
    dirname "$program"
    echo
    return
  fi
  local library
  library=$(ldd "$program" | awk '$1 == "libqsr.so.3" { print $3 }')
  mkdir -p "$work_dir/cgi-bin"
  cp "$program" "$work_dir/cgi-bin/velto.cgi"
  cp "$library" "$work_dir/cgi-bin/libqsr.so.3"
  chmod 755 "$work_dir/cgi-bin" "$work_dir/cgi-bin/velto.cgi"
  chmod 644 "$work_dir/cgi-bin/libqsr.so.3"
  echo "$work_dir/cgi-bin"
  echo "$work_dir/cgi-bin"
}

write_lighttpd_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  # As the run command does: the program runs as the user who started the server.
  "$source_dir/deploy/lighttpd-conf.sh" "$program" "$data_dir" 127.0.0.1 "$port" "" >"$conf"
  # Bodies past 64 KiB are buffered here rather than in /var/tmp.
  echo "server.upload-dirs = (\"$(dirname "$conf")/upload\")" >>"$conf"
  mkdir -p "$(dirname "$conf")/upload"
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
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    mkdir -p "$work_dir/$kind"
    conf=$work_dir/$kind/server.conf
    server_log=$work_dir/$kind/server.log
    case "$kind" in
      lighttpd)
        write_lighttpd_config "$program" "$data_dir" "$port" "$conf"
        timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v lighttpd || echo /usr/sbin/lighttpd)" \
          -D -f "$conf" >"$server_log" 2>&1 &
        ;;
      apache)
        write_apache_config "$program" "$data_dir" "$port" "$conf"
        timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(apache_binary)" -DFOREGROUND -f "$conf" \
          >"$server_log" 2>&1 &
        ;;
      nginx)
        start_nginx "$program" "$data_dir" "$port" "$conf"
        ;;
      *)
        echo "unknown server kind: $kind" >&2
        return 1
        ;;
    esac
    [ "$kind" = nginx ] || server_pids+=($!)
    base_url=http://127.0.0.1:$port
    local _
    for _ in $(seq 100); do
      if ! kill -0 "${server_pids[-1]}" 2>/dev/null; then
        break  # it ended: most likely the port was taken meanwhile; try another
      fi
      if [ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 2 "$base_url/v1/health")" = 200 ]; then
        return 0
      fi
      sleep 0.1
    done
    stop_server
    echo "--- $kind did not come up on port $port (attempt $attempt):" >&2
    cat "$server_log" "$work_dir/$kind/error.log" 2>/dev/null | tail -20 >&2
  done
  return 1
}

stop_server() {
  local pid
  for pid in "${server_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${server_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  server_pids=()
}
