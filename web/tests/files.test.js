// The page's files: what the install puts in the state directory must be
// everything index.html loads, and what the browser tests serve.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { it } = require('node:test');

const { PAGE_FILES } = require('./support.js');

const WEB_DIR = path.resolve(__dirname, '..');
const read = (name) => fs.readFileSync(path.join(WEB_DIR, name), 'utf8');

function installedFiles() {
  const m = read('CMakeLists.txt').match(/set\(armctl_web_files([^)]*)\)/);
  assert.ok(m, 'no armctl_web_files list in web/CMakeLists.txt');
  return m[1].trim().split(/\s+/);
}

it('installs exactly the files the browser tests serve', () => {
  assert.deepEqual([...installedFiles()].sort(), [...PAGE_FILES].sort());
});

it('installs every file that index.html loads', () => {
  const html = read('index.html');
  const loaded = [...html.matchAll(/\b(?:src|href)="([^"]+)"/g)]
    .map((m) => m[1])
    .filter((ref) => !/^(?:data:|https?:|#)/.test(ref));
  assert.ok(loaded.length >= 3, `found only ${loaded}`);
  for (const ref of loaded) assert.ok(installedFiles().includes(ref), `${ref} is loaded but not installed`);
  assert.ok(installedFiles().includes('index.html'));
});

it('loads nothing from another host', () => {
  for (const name of PAGE_FILES) assert.doesNotMatch(read(name), /\b(?:src|href)="(?:https?:)?\/\//, name);
});

it('has every installed file in the source tree', () => {
  for (const name of installedFiles()) assert.ok(fs.statSync(path.join(WEB_DIR, name)).size > 0, name);
});
