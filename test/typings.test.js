'use strict';
// index.d.ts must type-check a program that uses every function.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

test('index.d.ts type-checks the usage sample under --strict', () => {
  const root = path.join(__dirname, '..');
  const tsc = require.resolve('typescript/bin/tsc', { paths: [root] });
  const result = spawnSync(process.execPath, [tsc, '--noEmit', '--strict', '--target', 'es2020',
    '--module', 'commonjs', path.join(__dirname, 'typings', 'usage.ts')], { cwd: root, encoding: 'utf8' });
  assert.equal(result.status, 0, `${result.stdout}${result.stderr}`);
});
