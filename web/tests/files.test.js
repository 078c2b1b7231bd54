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
  const m = read('CMakeLists.txt').match(/file\(STRINGS (\S+) armctl_web_files\)/);
  assert.ok(m, 'web/CMakeLists.txt reads no list of the page files');
  return read(m[1]).split('\n').filter(Boolean);
}

it('installs exactly the files the browser tests serve', () => {
  assert.deepEqual([...installedFiles()].sort(), [...PAGE_FILES].sort());
});

// What a file loads: index.html's src and href, a module's imports.
const LOADS = {
  '.html': /\b(?:src|href)="([^"]+)"/g,
  '.js': /^\s*(?:import|export)\b[^'"]*?from\s+'([^']+)'/gm,
};

it('installs every file that index.html loads, and all they import, and nothing else', () => {
  const reached = new Set(['index.html']);
  for (const name of reached) {
    const pattern = LOADS[path.extname(name)];
    if (!pattern) continue;
    for (const [, ref] of read(name).matchAll(pattern)) {
      if (/^(?:data:|https?:|#)/.test(ref)) continue;
      reached.add(path.normalize(ref));
    }
  }
  assert.ok(reached.size >= 5, `found only ${[...reached]}`);
  for (const ref of reached) assert.ok(installedFiles().includes(ref), `${ref} is loaded but not installed`);
  // arm-model.json comes from the build, installed beside the page.
  assert.deepEqual(
    installedFiles().filter((f) => !reached.has(f)),
    [],
  );
});

// The server's Content-Security-Policy (default-src 'self') blocks inline
// scripts, styles and handlers: the page has none.
it('has no inline script, style or handler', () => {
  const html = read('index.html');
  assert.doesNotMatch(html, /<script(?![^>]*\bsrc=)[^>]*>/);
  assert.doesNotMatch(html, /<style\b|\sstyle="|\son[a-z]+="/i);
});

it('loads nothing from another host', () => {
  for (const name of PAGE_FILES) assert.doesNotMatch(read(name), /\b(?:src|href)="(?:https?:)?\/\//, name);
});

it('has every installed file in the source tree', () => {
  for (const name of installedFiles()) assert.ok(fs.statSync(path.join(WEB_DIR, name)).size > 0, name);
});
