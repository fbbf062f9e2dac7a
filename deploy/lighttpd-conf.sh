#!/bin/sh
# lighttpd-conf.sh [--fastcgi] PROGRAM DATA_DIR BIND PORT USER: writes to standard output the
# lighttpd.conf beside this script (with --fastcgi, lighttpd-fastcgi.conf: the program as a pool
# of FastCGI workers) with its five site values replaced ("" as USER keeps the starting user).
# Everything else in the file is passed through unchanged, so what runs is what is shipped.
set -eu
template="$(dirname "$0")/lighttpd.conf"
if [ "${1-}" = --fastcgi ]; then
  template="$(dirname "$0")/lighttpd-fastcgi.conf"
  shift
fi
if [ "$#" -ne 5 ]; then
  echo "usage: $0 [--fastcgi] PROGRAM DATA_DIR BIND PORT USER" >&2
  exit 2
fi

# The values go into double-quoted lighttpd strings and a sed replacement.
for value in "$@"; do
  case "$value" in
    *'"'* | *\\* | *'|'* | *'&'* | *'
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

out=$(sed \
  -e "s|^var\.velto_program = .*|var.velto_program = \"$1\"|" \
  -e "s|^var\.velto_data_dir = .*|var.velto_data_dir = \"$2\"|" \
  -e "s|^var\.velto_bind = .*|var.velto_bind = \"$3\"|" \
  -e "s|^var\.velto_port = .*|var.velto_port = $4|" \
  -e "s|^var\.velto_user = .*|var.velto_user = \"$5\"|" \
  "$template")

# A site line renamed in the template must fail here, not leave its old value in force.
for line in "var.velto_program = \"$1\"" "var.velto_data_dir = \"$2\"" \
  "var.velto_bind = \"$3\"" "var.velto_port = $4" "var.velto_user = \"$5\""; do
  if [ "$(printf '%s\n' "$out" | grep -c -F -x -e "$line")" -ne 1 ]; then
    echo "$0: $template has no single line for: $line" >&2
    exit 1
  fi
done
printf '%s\n' "$out"
