// Test harness for the live page: a loopback static server for a state
// directory that answers the CGI's GET from its state files, the page files
// copied in as the install puts them, and a headless Debian Chromium.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');

const A = require('../arm.js');

const WEB_DIR = path.resolve(__dirname, '..');
// The page's files as the install lists them, one a line.
const PAGE_FILES = fs.readFileSync(path.join(WEB_DIR, 'page-files.txt'), 'utf8').split('\n').filter(Boolean);
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.dat': 'text/plain; charset=utf-8',
  '.json': 'application/json',
};

// How a computed value stands against a printed "%lg" field: the same digits,
// or within one unit of the last printed digit (two maths libraries may round
// a sine or a square root differently in its last bit).
function compareField(value, printed) {
  if (A.formatG(value) === printed) return 'exact';
  const p = Number(printed);
  if (!Number.isFinite(p) || p === 0) return 'differs';
  const unit = 10 ** (Math.floor(Math.log10(Math.abs(p))) - 5);
  return Math.abs(value - p) <= unit ? 'near' : 'differs';
}

// Two report lines as printed: field by field the same, or one unit apart in
// the last digit.
function linesAgree(shown, printed) {
  const a = shown.split(',');
  const b = printed.split(',');
  return a.length === b.length && a.every((field, i) => compareField(Number(field), b[i]) !== 'differs');
}

// The page's sources, and the arm model that the build wrote for them.
function installPage(dir) {
  for (const f of PAGE_FILES) fs.copyFileSync(path.join(WEB_DIR, f), path.join(dir, f));
  const model = process.env.ARMCTL_MODEL_JSON;
  if (!model) throw new Error('ARMCTL_MODEL_JSON must name the built arm-model.json');
  fs.copyFileSync(model, path.join(dir, 'arm-model.json'));
}

// The CGI's GET answer for a state directory, read as armctl-cgi reads it:
// the counters as the controller scans them (null when the file cannot be
// read), and the lock held, free or null (missing, or no number in it).
function stateAnswer(root) {
  const read = (name) => {
    try {
      return fs.readFileSync(path.join(root, name), 'utf8');
    } catch {
      return null;
    }
  };
  const position = read('robot_position.dat');
  const lock = read('lock.dat');
  const held = lock === null ? null : A.parseLock(lock).held;
  return { counters: position === null ? null : A.parsePosition(position).counters, lock: { held } };
}

function scratchDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Serves `root` on 127.0.0.1 as a plain web server would. `server.answer`
// set to false drops every request unanswered, as a dead server does.
function startServer(root) {
  const sockets = new Set();
  const server = http.createServer((req, res) => {
    if (!server.answer) {
      req.socket.destroy();
      return;
    }
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/+/, '') || 'index.html';
    if (name === 'armctl-cgi' && req.method === 'POST') {
      // Only the CGI runs requests: the body is kept for the test, and refused.
      let body = '';
      req.on('data', (d) => (body += d));
      req.on('end', () => {
        server.posts.push(body);
        res.writeHead(501, { 'Content-Type': 'application/json' }).end('{"error": "the test server runs no requests"}');
      });
      return;
    }
    if (name === 'armctl-cgi') {
      res.writeHead(200, { 'Content-Type': 'application/json' }).end(JSON.stringify(stateAnswer(root)));
      return;
    }
    const file = path.join(root, name);
    if (path.dirname(file) !== path.resolve(root)) {
      res.writeHead(403).end();
      return;
    }
    fs.stat(file, (err, st) => {
      if (err || !st.isFile()) {
        res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
        return;
      }
      fs.readFile(file, (readErr, body) => {
        if (readErr) {
          res.writeHead(500).end();
          return;
        }
        res.writeHead(200, {
          'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
          'Last-Modified': st.mtime.toUTCString(),
        });
        res.end(body);
      });
    });
  });
  server.answer = true;
  server.posts = [];
  server.on('connection', (s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      server.url = `http://127.0.0.1:${server.address().port}/`;
      server.stop = () =>
        new Promise((done) => {
          for (const s of sockets) s.destroy();
          server.close(() => done());
        });
      resolve(server);
    });
  });
}

// Debian's Chromium with a fresh profile; nothing is downloaded.
// `extra` adds context options, e.g. httpCredentials for the CGI's login.
async function launchBrowser(extra = {}) {
  const { chromium } = require('playwright-core');
  const profile = scratchDir('armctl-web-profile-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    timeout: 60000,
    viewport: { width: 1200, height: 820 },
    ...extra,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
    ],
  });
  context.setDefaultTimeout(15000);
  context.closeAll = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return context;
}

// The position file's text for six counters.
const positionText = (counters) => counters.map((c) => `${c} `).join('') + '\n';

// Waits, within `waitMs`, for `look(page)` to show what `want` accepts.
async function until(look, page, want, what, waitMs) {
  const deadline = Date.now() + waitMs;
  let seen;
  while (Date.now() < deadline) {
    seen = await look(page);
    if (want(seen)) return seen;
    await page.waitForTimeout(50);
  }
  assert.fail(`page did not show ${what} within ${waitMs} ms; it showed ${JSON.stringify(seen)}`);
}

module.exports = {
  PAGE_FILES,
  compareField,
  linesAgree,
  installPage,
  scratchDir,
  startServer,
  launchBrowser,
  positionText,
  until,
};
