#!/bin/sh
# lighttpd-conf.sh PROGRAM DATA_DIR BIND PORT USER [NAME=VALUE...]: writes to standard output the
# lighttpd.conf beside this script with its site values replaced: the five given ("" as USER
# keeps the starting user), var.velto_conf_dir set to this script's directory (where the pieces
# that lighttpd.conf includes are), and var.velto_NAME for each NAME=VALUE (e.g. writes=open,
# writers=/etc/velto/writers, max_instances=4). Everything else in the file is passed through
# unchanged, so what runs is what is shipped. mode=fastcgi runs the program as a pool of FastCGI
# workers (workers=N of them) in place of a process per request.
set -eu
if [ "$#" -lt 5 ]; then
  echo "usage: $0 PROGRAM DATA_DIR BIND PORT USER [NAME=VALUE...]" >&2
  exit 2
fi
conf_dir=$(cd "$(dirname "$0")" && pwd)
template=$conf_dir/lighttpd.conf

# The values go into double-quoted lighttpd strings (and a sed replacement, escaped below).
for value in "$@" "$conf_dir"; do
  case "$value" in
    *'"'* | *\\* | *'
'*)
      echo "$0: unusable character in: $value" >&2
      exit 2
      ;;
  esac
done
case "$4" in
  '' | *[!0-9]*)
    echo "$0: port is not a number: $4" >&2
    exit 2
    ;;
esac

# Each site line as NAME=VALUE (the port is a number, every other value a string).
program=$1 data_dir=$2 bind=$3 port=$4 user=$5
shift 5
set -- "program=$program" "data_dir=$data_dir" "bind=$bind" "user=$user" \
  "conf_dir=$conf_dir" "$@"
script="s|^var\\.velto_port = .*|var.velto_port = $port|"
lines="var.velto_port = $port"
for setting in "$@"; do
  name=${setting%%=*}
  case "$setting" in
    *=*) ;;
    *) echo "$0: not NAME=VALUE: $setting" >&2; exit 2 ;;
  esac
  case "$name" in
    '' | *[!a-z_]*) echo "$0: not a site value's name: $name" >&2; exit 2 ;;
  esac
  value=$(printf '%s\n' "${setting#*=}" | sed 's/[|&]/\\&/g')
  script="$script
s|^var\\.velto_$name = .*|var.velto_$name = \"$value\"|"
  lines="$lines
var.velto_$name = \"${setting#*=}\""
done
out=$(sed -e "$script" "$template")

# A site line renamed in the template must fail here, not leave its old value in force.
printf '%s\n' "$lines" | while IFS= read -r line; do
  if [ "$(printf '%s\n' "$out" | grep -c -F -x -e "$line")" -ne 1 ]; then
    echo "$0: $template has no single line for: $line" >&2
    exit 1
  fi
done
printf '%s\n' "$out"
