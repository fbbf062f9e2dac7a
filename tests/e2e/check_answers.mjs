// check_answers.mjs OPENAPI DIR: holds every answer that e2e.sh saved in DIR (NAME.request: the
// method, the path as sent and the status, one a line, and "server" on a fourth line for an
// answer that the web server gave itself; NAME.body) against the API description. The web
// server's answers must be the description's x-web-server-answers for their status.
// The path and method must name an operation, or else the answer must be the description's
// unknown-endpoint answer; the status must be one the operation lists; the body must be JSON
// that the response's schema accepts. Prints one line per mismatch and "N passed, N failed".
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import Ajv2020 from 'ajv/dist/2020.js';
import yaml from 'js-yaml';

const [docPath, dir] = process.argv.slice(2);
if (!docPath || !dir) {
  console.error('usage: check_answers.mjs OPENAPI DIR');
  process.exit(2);
}
const doc = yaml.load(readFileSync(docPath, 'utf8'));

const ajv = new Ajv2020({ strict: false, allErrors: true });
ajv.addFormat('int32', { type: 'number', validate: (n) => Number.isInteger(n) && n >= -(2 ** 31) && n < 2 ** 31 });
ajv.addSchema({ ...doc, $id: 'api' });

const escapePointer = (text) => text.replaceAll('~', '~0').replaceAll('/', '~1');

// Exact paths first; a template's parameter takes the rest of the path, slashes and nothing
// included, as the program's prefix routes do.
const routes = Object.keys(doc.paths)
  .map((template) => ({
    template,
    pattern: new RegExp('^' + template.replace(/[.*+?^$()|[\]\\]/g, '\\$&').replace(/\{[^}]+\}/g, '.*') + '$'),
    exact: !template.includes('{'),
  }))
  .sort((a, b) => Number(b.exact) - Number(a.exact));

// Where the schema of a response lies, as a pointer into the description.
function responsePointer(template, method, status) {
  const operation = doc.paths[template]?.[method];
  if (!operation) return null;
  const response = operation.responses?.[status];
  if (!response) return null;
  const base = response.$ref ?? `#/paths/${escapePointer(template)}/${method}/responses/${status}`;
  return `${base}/content/application~1json/schema`;
}

const compiled = new Map();
function validatorFor(pointer) {
  if (!compiled.has(pointer)) compiled.set(pointer, ajv.compile({ $ref: `api${pointer}` }));
  return compiled.get(pointer);
}

let passed = 0;
let failed = 0;
const names = readdirSync(dir).filter((name) => name.endsWith('.request')).sort();
for (const name of names) {
  const [method, sentPath, status, origin] = readFileSync(join(dir, name), 'latin1').split('\n');
  const body = readFileSync(join(dir, name.replace(/\.request$/, '.body')), 'utf8');
  const label = `${name}: ${method} ${sentPath} -> ${status}`;
  // The web server resolves dot segments before the program routes.
  const path = new URL(`http://host${sentPath}`).pathname;
  const route = routes.find((candidate) => candidate.pattern.test(path));
  const lowerMethod = method.toLowerCase();
  let pointer;
  if (origin === 'server') {
    const answer = doc['x-web-server-answers']?.[status];
    if (!answer) {
      failed++;
      console.log(`FAIL ${label}: the web server's answer ${status} is not in x-web-server-answers`);
      continue;
    }
    pointer = `${answer.$ref}/content/application~1json/schema`;
  } else if (route && doc.paths[route.template][lowerMethod]) {
    pointer = responsePointer(route.template, lowerMethod, status);
    if (!pointer) {
      failed++;
      console.log(`FAIL ${label}: status ${status} is not described for ${method} ${route.template}`);
      continue;
    }
  } else {
    if (status !== '404') {
      failed++;
      console.log(`FAIL ${label}: no operation, so the answer must be the unknown-endpoint 404`);
      continue;
    }
    pointer = `${doc['x-unknown-endpoint'].$ref}/content/application~1json/schema`;
  }
  let value;
  try {
    value = JSON.parse(body);
  } catch (error) {
    failed++;
    console.log(`FAIL ${label}: body is not JSON: ${error.message}`);
    continue;
  }
  const validate = validatorFor(pointer);
  if (validate(value)) {
    passed++;
  } else {
    failed++;
    console.log(`FAIL ${label}: ${body.slice(0, 200)}: ${ajv.errorsText(validate.errors)}`);
  }
}
if (names.length === 0) {
  failed++;
  console.log(`FAIL no answers found in ${dir}`);
}
console.log(`openapi answers: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
