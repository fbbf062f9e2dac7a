# shellcheck shell=bash disable=SC2154,SC2034
# (source_dir, server_log, base_url and server_pids are servers.sh's; server_mode is read there)
# fastcgi.sh: the servers of servers.sh with the program as a pool of persistent FastCGI workers
# instead of a CGI program, each from its shipped configuration: lighttpd with mod_fastcgi
# (deploy/lighttpd-fastcgi.conf, lighttpd starts the workers), Apache httpd with mod_fcgid
# (deploy/apache/velto-fcgid.conf, mod_fcgid starts them), and nginx passing straight to workers
# (deploy/nginx/velto-fastcgi.conf) that spawn-fcgi starts here, as systemd's units do in a
# deployment. Sourced by e2e.sh after servers.sh: it sets server_mode and replaces the Apache
# and nginx steps of start_server, which is otherwise unchanged.
#
# worker_restart_check (lighttpd and Apache) kills every worker and expects the server to start
# new ones and go on answering.

WORKER_COUNT=4
# lighttpd: start_server passes it on to start_lighttpd (scripts/lib.sh).
server_mode=fastcgi
# In the sanitizer build, a worker's leak check at exit has been seen to hang in ptrace on this
# machine when the server stopped it, holding the test's output open; the workers' leaks are
# the business of tests/process/fastcgi_test.cpp, which checks every exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0

# stop_server, and then the workers: servers do not wait for them, and one that outlived its
# server would keep the test's output open. A worker still there after 10 s is killed.
eval "servers_$(declare -f stop_server)"
stop_server() {
  local workers _
  workers=$(worker_pids)
  servers_stop_server
  local pid alive
  for _ in $(seq 100); do
    alive=''
    for pid in $workers; do
      if kill -0 "$pid" 2>/dev/null; then alive+=" $pid"; fi
    done
    workers=$alive
    [ -n "$workers" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $workers 2>/dev/null || true
}

# servers.sh's Apache configuration, kept to build on.
eval "cgi_$(declare -f write_apache_config)"

# The CGI setup with mod_fcgid in place of mod_cgi and the fcgid file in place of velto.conf;
# mod_fcgid's sockets and process table in the test's own directory.
write_apache_config() {
  local program=$1 data_dir=$2 port=$3 conf=$4
  cgi_write_apache_config "$program" "$data_dir" "$port" "$conf"
  local dir modules worker
  dir=$(dirname "$conf")
  modules=$(apache_modules_dir)
  worker=$(worker_user)
  [ -f "$modules/mod_fcgid.so" ] || { echo "no mod_fcgid.so in $modules" >&2; return 1; }
  mkdir -p "$dir/fcgid"
  chown "$worker:" "$dir/fcgid"
  sed -i \
    -e "s|^LoadModule cgi_module .*|LoadModule fcgid_module \"$modules/mod_fcgid.so\"|" \
    -e "s|deploy/apache/velto.conf\"\$|deploy/apache/velto-fcgid.conf\"|" \
    -e "s|^SetEnv LD_LIBRARY_PATH |FcgidInitialEnv LD_LIBRARY_PATH |" \
    "$conf"
  grep -q 'velto-fcgid.conf"$' "$conf" || { echo "servers.sh no longer includes velto.conf" >&2; return 1; }
  cat >>"$conf" <<EOF
FcgidIPCDir "$dir/fcgid"
FcgidProcessTableFile "$dir/fcgid/table"
EOF
}

# nginx in front of WORKER_COUNT workers, each started by spawn-fcgi on a socket of its own and
# bounded in time like the servers.
start_nginx() {
  local program=$1 data_dir=$2 port=$3 conf=$4 dir worker i upstream=
  dir=$(dirname "$conf")
  worker=$(worker_user)
  mkdir -p "$dir/temp"
  cp "$(nginx_fastcgi_params)" "$dir/fastcgi_params"
  for i in $(seq "$WORKER_COUNT"); do
    rm -f "$dir/worker-$i.sock"
    timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v spawn-fcgi || echo /usr/bin/spawn-fcgi)" \
      -n -s "$dir/worker-$i.sock" -M 0666 -- "$program" >>"$dir/workers.log" 2>&1 &
    server_pids+=($!)
    upstream+="server unix:$dir/worker-$i.sock; "
  done
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
    upstream velto_workers { $upstream}
    server {
        listen 127.0.0.1:$port;
        root "$dir/empty";
        set \$velto_data_dir "$data_dir";
        include "$source_dir/deploy/nginx/velto-fastcgi.conf";
    }
}
EOF
  for _ in $(seq 50); do
    [ -S "$dir/worker-$WORKER_COUNT.sock" ] && break
    sleep 0.1
  done
  timeout -k 5 "$SERVER_LIFETIME_SECONDS" "$(command -v nginx || echo /usr/sbin/nginx)" \
    -p "$dir" -e "$dir/error.log" -c "$conf" -g 'daemon off;' >"$server_log" 2>&1 &
  server_pids+=($!)
}

# The workers: processes of the program (velto.cgi, also when a copy) below one of the server's.
worker_pids() {
  local pid root server
  for pid in $(pgrep -x velto.cgi || true); do
    # A killed worker that its server has not reaped yet is no worker.
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

# worker_restart_check: kills every worker with SIGKILL; within 20 s the server must answer
# again, from workers it started anew, and then answer 20 requests in a row.
worker_restart_check() {
  local before after code='' i
  before=$(worker_pids | sort | tr '\n' ' ')
  if [ -z "$before" ]; then
    fail "restart: no worker found under the server"
    return
  fi
  # shellcheck disable=SC2086
  kill -KILL $before
  for i in $(seq 200); do
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$base_url/v1/health" || true)
    [ "$code" = 200 ] && break
    sleep 0.1
  done
  [ "$code" = 200 ] || { fail "restart: no answer after every worker was killed (last status '$code')"; return; }
  for i in $(seq 20); do
    code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 "$base_url/v1/health" || true)
    [ "$code" = 200 ] || { fail "restart: request $i answered '$code'"; return; }
  done
  after=$(worker_pids | sort | tr '\n' ' ')
  local pid
  for pid in $after; do
    case " $before " in *" $pid "*) fail "restart: worker $pid survived SIGKILL"; return ;; esac
  done
  if [ -z "$after" ]; then fail "restart: no worker runs after the requests"; else pass; fi
}
