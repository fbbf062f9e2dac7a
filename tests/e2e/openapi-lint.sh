#!/usr/bin/env bash
# openapi-lint.sh: docs/openapi.yaml must be a valid OpenAPI 3.1 document and pass every rule of
# redocly.yaml (Redocly's recommended set, warnings counted as errors): structure, references,
# path parameters, and every example valid against its schema.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/node-tools.sh"
# No telemetry and no update check: the linter talks to no one.
export REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true
"$here/node_modules/.bin/redocly" lint --config "$here/redocly.yaml" --format=stylish "$here/../../docs/openapi.yaml"
