#!/usr/bin/env bash
# node-tools.sh: makes sure the npm packages that package-lock.json names (the OpenAPI linter and
# the schema validator) are installed in tests/e2e/node_modules, and Node.js and npm themselves,
# with apt-get, when they are missing. Installs only what is missing; safe to run concurrently.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  # shellcheck source=scripts/lib.sh
  source "$here/../../scripts/lib.sh"
  install_packages nodejs npm
fi

exec 9>"$here/node_modules.lock"
flock 9
stamp=$here/node_modules/.installed-from
want=$(sha256sum "$here/package-lock.json" | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" = "$want" ]; then
  exit 0
fi
echo "node-tools: installing the npm packages of package-lock.json"
(cd "$here" && npm ci --no-audit --no-fund --ignore-scripts --prefer-offline --loglevel=error)
echo "$want" >"$stamp"
