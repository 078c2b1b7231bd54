// Test harness for the live page: a loopback static server for a state
// directory that answers the API's state GET and its event stream from the
// state files, the page files copied in as the install puts them, and a
// headless Debian Chromium.
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

// One "%d" conversion from `pos`, as the controller's scanf makes it: white
// space skipped, an optional sign, the digits. A sign with no digit after it
// is consumed and the conversion fails; any other character that cannot
// start a number stays unread, and so stops every later conversion.
const SPACE = ' \t\n\v\f\r';
function scanInt(text, pos) {
  while (pos < text.length && SPACE.includes(text[pos])) pos++;
  const signAt = pos;
  const negative = text[pos] === '-';
  if (text[pos] === '+' || text[pos] === '-') pos++;
  const start = pos;
  while (pos < text.length && text[pos] >= '0' && text[pos] <= '9') pos++;
  if (pos === start) return { kind: 'none', pos, stuck: start === signAt };
  const value = (negative ? -1 : 1) * Number(text.slice(start, pos)) + 0; // no "-0" counter
  if (value < A.INT32[0] || value > A.INT32[1]) return { kind: 'range', pos };
  return { kind: 'number', value, pos };
}

// robot_position.dat's counters as a run loads them (six "%d"; a failed one
// leaves 0), which the daemon serves.
function positionCounters(text) {
  const counters = [0, 0, 0, 0, 0, 0];
  let pos = 0;
  for (let i = 0; i < counters.length; i++) {
    const r = scanInt(text, pos);
    pos = r.pos;
    if (r.kind === 'number') counters[i] = r.value;
    else if (r.kind === 'range' || pos >= text.length || r.stuck) break;
  }
  return counters;
}

// lock.dat: one "%d"; any non-zero value means a run holds the lock; null for no number.
function lockHeld(text) {
  const r = scanInt(text, 0);
  return r.kind === 'none' ? null : r.kind === 'range' || r.value !== 0;
}

// The state GET's answer for a state directory, read as armctld reads it:
// the counters (null when the file cannot be read) and the lock held, free
// or null (missing, or no number in it); `extra` adds what the daemon keeps
// in memory (a test's `run`, `last_run`).
function stateAnswer(root, extra) {
  const read = (name) => {
    try {
      return fs.readFileSync(path.join(root, name), 'utf8');
    } catch {
      return null;
    }
  };
  const position = read('robot_position.dat');
  const lock = read('lock.dat');
  return {
    counters: position === null ? null : positionCounters(position),
    lock: { held: lock === null ? null : lockHeld(lock) },
    ...extra,
  };
}

// The judge's verdict on estimated options, for the letters whose guard is
// a fixed range on a counter (the model's "position" commands), from the
// position file's counters as the daemon gives it; the test server judges
// no geometry (never refused) and times nothing.
let commands = null;
function estimateAnswer(options, counters) {
  commands = commands || JSON.parse(fs.readFileSync(process.env.ARMCTL_MODEL_JSON, 'utf8')).commands;
  const start = counters || [0, 0, 0, 0, 0, 0];
  const end = start.slice();
  const verdicts = [];
  for (let k = 0; k < options.length; k++) {
    const c = commands.find((m) => `-${m.letter}` === options[k]);
    if (!c || c.kind === 'report') continue;
    const count = Number(options[++k]);
    const value = end[c.counter] + c.sign * count;
    const beyond = c.kind === 'position' ? c.sign * (value - c.limit) : 0;
    if (beyond <= 0) {
      end[c.counter] = value;
      verdicts.push({ option: `-${c.letter}`, count, refused: false });
      continue;
    }
    const rule = `${c.sign > 0 ? '<=' : '>='} ${c.limit}`;
    const reason = { counter: c.counter, guard: 'range', rule, value, limit: c.limit, beyond };
    verdicts.push({ option: `-${c.letter}`, count, refused: true, reason });
  }
  return { start, end, refused: verdicts.some((v) => v.refused), verdicts };
}

function scratchDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

const API_NAME = 'api';
// The test server looks at the state files this often for its stream.
const WATCH_MS = 50;
// And sends a state at least this often while a run moves, as armctld does.
const MOVING_EVENT_MS = 250;

// The event stream: one state at once, one whenever it changes, and while
// a run moves one every MOVING_EVENT_MS. `server.events` picks how it
// answers: 'stream'; a status (503) that refuses it; or 'once', one state
// and then silence, as a stream that has stopped reaching the page. The
// open ones are in `server.streams`.
function serveEvents(server, root, req, res) {
  if (typeof server.events === 'number') {
    res.writeHead(server.events, { 'Content-Type': 'application/json' }).end('{"error": "no stream"}');
    return;
  }
  res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-store' });
  server.streams.add(res);
  let sent = null;
  let sentAt = 0;
  const send = () => {
    const data = JSON.stringify(stateAnswer(root, server.extra));
    const due = data !== sent || (server.extra.run && Date.now() - sentAt >= MOVING_EVENT_MS);
    if (!due || (server.events === 'once' && sent !== null)) return;
    res.write(`event: state\ndata: ${data}\n\n`);
    sent = data;
    sentAt = Date.now();
  };
  send();
  const watch = setInterval(send, WATCH_MS);
  res.on('close', () => {
    clearInterval(watch);
    server.streams.delete(res);
  });
}

// The API as the page uses it: the state GET (counted in `server.stateGets`),
// the stream, and POSTs, kept in `server.posts`; of those only an estimate
// is answered, the rest refused (the test server runs nothing).
function serveApi(server, root, req, res) {
  const query = new URL(req.url, 'http://x').search;
  if (req.method === 'POST') {
    let body = '';
    req.on('data', (d) => (body += d));
    req.on('end', () => {
      server.posts.push(body);
      let request = null;
      try {
        request = JSON.parse(body);
      } catch {
        // refused below
      }
      if (request && Array.isArray(request.estimate)) {
        const answer = estimateAnswer(request.estimate, stateAnswer(root).counters);
        res.writeHead(200, { 'Content-Type': 'application/json' }).end(JSON.stringify(answer));
        return;
      }
      res.writeHead(501, { 'Content-Type': 'application/json' }).end('{"error": "the test server runs no requests"}');
    });
    return;
  }
  if (query === '?events') {
    serveEvents(server, root, req, res);
    return;
  }
  if (query === '') server.stateGets++;
  res.writeHead(200, { 'Content-Type': 'application/json' }).end(JSON.stringify(stateAnswer(root, server.extra)));
}

// Serves `root` on 127.0.0.1 as a plain web server would, with the API
// beside the page. `server.answer` set to false drops every request
// unanswered and every open connection, as a dead server does.
function startServer(root) {
  const sockets = new Set();
  let answering = true;
  const server = http.createServer((req, res) => {
    if (!answering) {
      req.socket.destroy();
      return;
    }
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/+/, '') || 'index.html';
    if (name === API_NAME) {
      serveApi(server, root, req, res);
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
  Object.defineProperty(server, 'answer', {
    get: () => answering,
    set: (on) => {
      answering = on;
      if (!on) for (const s of sockets) s.destroy();
    },
  });
  Object.assign(server, { posts: [], stateGets: 0, events: 'stream', extra: {}, streams: new Set() });
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
// `extra` adds context options, e.g. httpCredentials for the API's login.
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
  positionCounters,
  lockHeld,
  compareField,
  linesAgree,
  installPage,
  scratchDir,
  startServer,
  launchBrowser,
  positionText,
  until,
};
