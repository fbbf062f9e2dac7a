# shellcheck shell=bash
# lib.sh: what the project's scripts share. Sourced (bash, set -euo pipefail) by scripts/test.sh,
# scripts/serve, bench/run and the tests' scripts. It sets velto_source_dir (the top of the clone)
# and defines functions; nothing else.
#
#   install_packages PACKAGE...   installs with apt-get those that are missing
#   free_port                     prints a loopback port that nothing listens on
#   url_host BIND                 prints the host part of a URL that reaches a server bound there
#   wait_for_health URL PID       waits until URL/v1/health answers 200 while PID runs
#   processes_with parent|session PID
#                                 prints the processes that PID started, or in its session
#   start_lighttpd [OPTION...] PROGRAM DATA_DIR DIR
#                                 lighttpd in front of PROGRAM with the shipped configuration
#   stop_processes PID...         ends processes that this shell started, and waits for them
#   program_dir_for USER PROGRAM DIR
#                                 where USER can run PROGRAM from (a copy when it must be)

velto_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# install_packages PACKAGE...: installs, with apt-get, the Debian packages of the list that are
# not installed, and returns at once when none is missing. `apt-get update` runs at most once for
# a script and the scripts it starts. The packages must not start their system services: the
# scripts run their own servers on loopback ports, and a service would take port 80 (or fail the
# install over it). Installs of concurrent scripts take turns.
install_packages() {
  local missing
  mapfile -t missing < <(packages_missing "$@")
  [ "${#missing[@]}" -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them, or install them first)" >&2
    return 1
  fi
  local lock status=0
  # Below /run, which only root can write: a lock in /tmp could be planted by anyone.
  exec {lock}>/run/velto-packages.lock
  flock "$lock"
  mapfile -t missing < <(packages_missing "$@")
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local quiet_services=no
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
      quiet_services=yes
    fi
    {
      if [ -z "${VELTO_APT_UPDATED:-}" ]; then
        apt-get update -qq && export VELTO_APT_UPDATED=yes
      fi &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
          -o DPkg::Lock::Timeout=300 "${missing[@]}"
    } || status=$?
    if [ "$quiet_services" = yes ]; then rm -f /usr/sbin/policy-rc.d; fi
  fi
  exec {lock}>&-
  return "$status"
}

# packages_missing PACKAGE...: prints, one a line, those that dpkg does not have installed.
packages_missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}

# free_port: a port on 127.0.0.1 that nothing listens on now; the server's own bind is the final
# word, so a caller retries on a port taken meanwhile. Below 32768, where the kernel picks no
# port for outgoing connections (ip_local_port_range), so a client's socket never holds it.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12768))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return
    fi
  done
}

# url_host BIND: the host of a URL that reaches a server bound to BIND from this machine.
url_host() {
  case "$1" in
    0.0.0.0 | '') echo 127.0.0.1 ;;
    ::) echo '[::1]' ;;
    *:*) echo "[$1]" ;;
    *) echo "$1" ;;
  esac
}

# wait_for_health URL PID [SECONDS]: returns 0 once URL/v1/health answers 200 from a server that
# PID runs; 1 when PID ends first, its server answers another status (printed on standard
# error), or SECONDS (default 30) pass.
wait_for_health() {
  local url=$1 pid=$2 tries=$((${3:-30} * 10)) answer code
  while [ "$tries" -gt 0 ]; do
    kill -0 "$pid" 2>/dev/null || return 1
    answer=$(curl -s --max-time 2 -w '\n%{http_code}' "$url/v1/health" | tr -d '\0' || true)
    code=${answer##*$'\n'}
    # An answer alone proves nothing: another server may hold the port that ours failed to bind.
    if [ "$code" != 000 ] && [ -n "$code" ] && listens_on "$pid" "${url##*:}"; then
      [ "$code" != 200 ] || return 0
      echo "$url/v1/health answered $code: $(head -c 300 <<<"${answer%$'\n'*}")" >&2
      return 1
    fi
    tries=$((tries - 1))
    sleep 0.1
  done
  echo "$url/v1/health did not answer" >&2
  return 1
}

# listens_on PID PORT: whether PID, or a child of it (the server that timeout runs), holds a
# socket listening on TCP PORT.
listens_on() {
  local pid=$1 port_hex inodes inode pids candidate
  printf -v port_hex '%04X' "$2"
  mapfile -t inodes < <(awk -v port="$port_hex" \
    '$4 == "0A" && substr($2, length($2) - 3) == port { print $10 }' /proc/net/tcp /proc/net/tcp6 \
    2>/dev/null)
  [ "${#inodes[@]}" -gt 0 ] || return 1
  mapfile -t pids < <(processes_with parent "$pid")
  for candidate in "$pid" "${pids[@]}"; do
    for inode in "${inodes[@]}"; do
      if find "/proc/$candidate/fd" -lname "socket:\\[$inode\\]" 2>/dev/null | grep -q .; then
        return 0
      fi
    done
  done
  return 1
}

# processes_with parent|session PID: prints, one a line, the processes whose parent is PID, or
# that are in the session PID leads.
processes_with() {
  local field stat line fields
  case "$1" in parent) field=1 ;; session) field=3 ;; esac
  for stat in /proc/[0-9]*/stat; do
    { read -r line <"$stat"; } 2>/dev/null || continue
    # "pid (name) state parent group session ...": the name may hold spaces and parentheses.
    read -r -a fields <<<"${line##*) }"
    if [ "${fields[field]}" = "$2" ]; then echo "${stat//[!0-9]/}"; fi
  done
}

# start_lighttpd [OPTION...] PROGRAM DATA_DIR DIR: starts lighttpd in the foreground of a
# background process of this shell, from the configuration that deploy/lighttpd-conf.sh makes
# of deploy/lighttpd.conf, written to DIR/lighttpd.conf, and returns once /v1/health answers 200.
# Sets lighttpd_pid (to stop it: stop_processes), lighttpd_port and lighttpd_url.
#   --port N        this port (a port taken makes it fail); default: a free one, tried again
#                   with another when the bind fails because it was taken meanwhile
#   --bind ADDRESS  default 127.0.0.1
#   --user NAME     the user that lighttpd and the program run as once the port is bound (as
#                   root); default: the user who starts it
#   --lifetime S    lighttpd is ended after S seconds (timeout's duration; 0: never)
#   --set NAME=VALUE
#                   the site value var.velto_NAME (repeatable; deploy/lighttpd-conf.sh), e.g.
#                   mode=fastcgi for a pool of FastCGI workers. Writes are open (writes=open)
#                   unless this sets them otherwise
#   --config LINE   a line appended to the shipped configuration (repeatable)
#   --https DIR     HTTPS with DIR/cert.pem and DIR/key.pem (deploy/lighttpd-https.conf);
#                   lighttpd_url is then https://..., and the certificate is the one trusted
#                   while waiting for the server
#   --log FILE      lighttpd's output and error log (default DIR/lighttpd.log); "-" leaves them
#                   on this shell's standard output and error
# On failure it prints why (the log's end) on standard error and returns 1.
start_lighttpd() {
  local port='' bind=127.0.0.1 user='' lifetime=900 log='' extra=() settings=() tls_dir=
  while [ "$#" -gt 3 ]; do
    case "$1" in
      --port) port=$2 ;;
      --bind) bind=$2 ;;
      --user) user=$2 ;;
      --lifetime) lifetime=$2 ;;
      --config) extra+=("$2") ;;
      --set) settings+=("$2") ;;
      --https) tls_dir=$2 ;;
      --log) log=$2 ;;
      *) echo "start_lighttpd: unknown option $1" >&2; return 2 ;;
    esac
    shift 2
  done
  local program=$1 data_dir=$2 dir=$3
  local conf=$dir/lighttpd.conf lighttpd _
  [[ " ${settings[*]} " == *" writes="* ]] || settings+=(writes=open)
  # Relative paths would be taken from lighttpd's directory, not from the caller's.
  [[ $program == /* ]] || program=$PWD/$program
  [[ $data_dir == /* ]] || data_dir=$PWD/$data_dir
  if [ -n "$tls_dir" ]; then
    [[ $tls_dir == /* ]] || tls_dir=$PWD/$tls_dir
    extra=("var.velto_certificate = \"$tls_dir/cert.pem\""
      "var.velto_private_key = \"$tls_dir/key.pem\""
      "include \"$velto_source_dir/deploy/lighttpd-https.conf\"" "${extra[@]}")
  fi
  lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
  [ -n "$log" ] || log=$dir/lighttpd.log
  mkdir -p "$dir"
  for _ in 1 2 3 4 5; do
    lighttpd_port=${port:-$(free_port)}
    lighttpd_url=http${tls_dir:+s}://$(url_host "$bind"):$lighttpd_port
    "$velto_source_dir/deploy/lighttpd-conf.sh" "$program" "$data_dir" "$bind" "$lighttpd_port" \
      "$user" "${settings[@]}" >"$conf" || return 1
    if [ "${#extra[@]}" -gt 0 ]; then printf '%s\n' "${extra[@]}" >>"$conf"; fi
    if [ "$log" = - ]; then
      timeout -k 5 "$lifetime" "$lighttpd" -D -f "$conf" &
    else
      timeout -k 5 "$lifetime" "$lighttpd" -D -f "$conf" >"$log" 2>&1 &
    fi
    lighttpd_pid=$!
    if CURL_CA_BUNDLE=${tls_dir:+$tls_dir/cert.pem} wait_for_health "$lighttpd_url" "$lighttpd_pid"; then
      return 0
    fi
    stop_processes "$lighttpd_pid"
    lighttpd_pid=
    # Taken meanwhile, lighttpd says "can't bind to socket: ... Address already in use".
    if [ -z "$port" ] && [ "$log" != - ] && grep -q "can't bind" "$log"; then continue; fi
    break
  done
  if [ "$log" != - ]; then
    echo "lighttpd did not come up on $lighttpd_url; its log:" >&2
    tail -n 20 "$log" >&2
  fi
  return 1
}

# stop_processes PID...: SIGTERM to each (timeout passes it on to the server it runs), then waits
# for them all. Only for processes that this shell started.
stop_processes() {
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# program_dir_for USER PROGRAM DIR: prints the directory from which USER can run PROGRAM: the
# program's own when it can (the normal case), else a copy of the program (as velto.cgi) and of
# libqsr.so.3 in DIR/cgi-bin (a clone below a private home directory, such as /root). Prints a
# second line: the LD_LIBRARY_PATH that the copy needs, empty for the program's own directory.
# Fails when USER cannot run the copy either (DIR itself is closed to USER).
program_dir_for() {
  local user=$1 program=$2 dir=$3
  if runs_as "$user" "$program" "$dir/probe-store"; then
    dirname "$program"
    echo
    return
  fi
  local library
  library=$(ldd "$program" | awk '$1 == "libqsr.so.3" { print $3 }')
  mkdir -p "$dir/cgi-bin"
  cp "$program" "$dir/cgi-bin/velto.cgi"
  cp "$library" "$dir/cgi-bin/libqsr.so.3"
  chmod 755 "$dir/cgi-bin" "$dir/cgi-bin/velto.cgi"
  chmod 644 "$dir/cgi-bin/libqsr.so.3"
  if ! runs_as "$user" "$dir/cgi-bin/velto.cgi" "$dir/probe-store" "$dir/cgi-bin"; then
    echo "$user can run neither $program nor a copy of it in $dir/cgi-bin" >&2
    return 1
  fi
  echo "$dir/cgi-bin"
  echo "$dir/cgi-bin"
}

# runs_as USER PROGRAM DATA_DIR [LIBRARY_PATH]: whether USER can start the program and get its
# answer to a request without a method (400).
runs_as() {
  runuser -u "$1" -- env -i VELTO_DATA_DIR="$3" ${4:+LD_LIBRARY_PATH="$4"} "$2" 2>/dev/null |
    head -c 11 | grep -q '^Status: 400'
}
