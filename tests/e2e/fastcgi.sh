# shellcheck shell=bash disable=SC2154,SC2034
# (base_url is servers.sh's, fail and pass the sourcing test's; server_mode is read there)
# fastcgi.sh: the servers of servers.sh with the program as a pool of persistent FastCGI workers
# instead of a CGI program, each from its shipped configuration: lighttpd with mod_fastcgi
# (var.velto_mode "fastcgi": lighttpd starts the workers), Apache httpd with mod_fcgid (VELTO_MODE
# fcgid: mod_fcgid starts them), and nginx passing straight to workers (velto-fastcgi.conf) that
# spawn-fcgi starts, as systemd's units do in a deployment. Sourced after servers.sh.
#
# worker_restart_check (lighttpd and Apache) kills every worker and expects the server to start
# new ones and go on answering.

server_mode=fastcgi
# In the sanitizer build, a worker's leak check at exit has been seen to hang in ptrace on this
# machine when the server stopped it, holding the test's output open; the workers' leaks are
# the business of tests/process/fastcgi_test.cpp, which checks every exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0

# worker_restart_check: kills every worker with SIGKILL; within 20 s the server must answer
# again, from workers it started anew, and then answer 20 requests in a row.
worker_restart_check() {
  local before after code='' i
  before=$(program_pids | sort | tr '\n' ' ')
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
  after=$(program_pids | sort | tr '\n' ' ')
  local pid
  for pid in $after; do
    case " $before " in *" $pid "*) fail "restart: worker $pid survived SIGKILL"; return ;; esac
  done
  if [ -z "$after" ]; then fail "restart: no worker runs after the requests"; else pass; fi
}
