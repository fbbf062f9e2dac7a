#!/usr/bin/env bash
# readme_test.sh: the README's commands as a newcomer runs them, in the order written, in a
# scratch copy of the clone's files: "Build and install" (the packages, a build without the test
# suite, the install, to a temporary prefix here), then "Run by hand" with the program that
# build left. The install must give a program that answers from its prefix; configured with
# -DVELTO_INSTALL_QSR=OFF it must put no libqsr.so.3 anywhere. (The curl session of "Run" is
# serve_test.sh's.) Ends with "N passed, N failed"; 77 when this is no git clone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
export LC_ALL=C

if ! git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
  echo "skipped: $source_dir is not a git clone"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velto-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL $*"
}

# The README's files as a fresh clone has them (the tracked ones, as they stand now).
clone=$work/clone
mkdir -p "$clone"
git -C "$source_dir" ls-files -z | tar -C "$source_dir" --null -T - -cf - | tar -C "$clone" -xf -

# section_block TITLE: the first ```sh block of the README section "## TITLE".
section_block() {
  awk -v title="## $1" '
    $0 == title { inside = 1; next }
    inside && /^## / { exit }
    inside && /^```sh$/ { block = 1; next }
    inside && block && /^```$/ { exit }
    inside && block { print }' "$clone/README.md"
}

# --- Build and install -------------------------------------------------------------------------
build=$(section_block "Build and install")
grep -q '^cmake --install build' <<<"$build" || fail "no install line in Build and install"
prefix=$work/prefix
# Installed below a temporary prefix rather than /usr/local; nothing else is changed.
build=${build//cmake --install build/cmake --install build --prefix $prefix}
if (cd "$clone" && bash -euo pipefail -c "$build" </dev/null >"$work/build.log" 2>&1); then
  pass
else
  fail "Build and install failed: $(tail -20 "$work/build.log")"
fi
for file in lib/cgi-bin/velto.cgi lib/libqsr.so.3 bin/velto-admin share/man/man1/velto-admin.1 \
  share/doc/velto/README.md share/doc/velto/deploy.md share/doc/velto/openapi.yaml \
  share/doc/velto/deploy/lighttpd.conf share/doc/velto/deploy/errors/404.html; do
  if [ -f "$prefix/$file" ]; then pass; else fail "not installed: $file"; fi
done
# The installed program finds the installed library by its RUNPATH, from nowhere in particular.
answer=$(cd / && { env -i REQUEST_METHOD=GET PATH_INFO=/v1/health VELTO_DATA_DIR="$work/installed" \
  "$prefix/lib/cgi-bin/velto.cgi" || true; } | tr -d '\r' | tail -1)
if [ "$answer" = '{"status":"ok","format_count":0,"atom_count":0}' ]; then
  pass
else
  fail "the installed program answered: '$answer'"
fi

# The stand-in left out, as where the real library is installed.
if (cd "$clone" && cmake -S . -B build -DVELTO_INSTALL_QSR=OFF >/dev/null &&
  cmake --install build --prefix "$work/prefix-real-library" >/dev/null); then
  found=$(find "$work/prefix-real-library" -name 'libqsr*')
  if [ -z "$found" ] && [ -x "$work/prefix-real-library/lib/cgi-bin/velto.cgi" ]; then
    pass
  else
    fail "-DVELTO_INSTALL_QSR=OFF installed: ${found:-no program}"
  fi
else
  fail "the install with -DVELTO_INSTALL_QSR=OFF failed"
fi

# --- Run by hand -------------------------------------------------------------------------------
by_hand=$(section_block "Run by hand")
runs=$(grep -c 'build/velto.cgi' <<<"$by_hand" || true)
by_hand=${by_hand//\/tmp\/velto-demo/$work/demo}
if (cd "$clone" && bash -euo pipefail -c "$by_hand" >"$work/by-hand.out" 2>"$work/by-hand.err"); then
  pass
else
  fail "Run by hand failed: $(cat "$work/by-hand.err")"
fi
# Each answer ends without a line end: the next one's Status line follows on the same line.
answers=$(grep -o 'Status: 200 OK' "$work/by-hand.out" | wc -l)
if [ "$runs" -ge 6 ] && [ "$answers" = "$runs" ]; then
  pass
else
  fail "Run by hand: $answers answers 200 of $runs runs: $(cat "$work/by-hand.out")"
fi
for body in '{"server_id":"8922697456a7890770ec1957f4aafb2a"}' \
  '{"format_rep":"0010000000000000aabbccddeeff0011"}' '{"atom":5}' '{"string":"a b"}'; do
  if grep -qF -e "$body" "$work/by-hand.out"; then pass; else fail "Run by hand: no $body"; fi
done

echo "readme: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
