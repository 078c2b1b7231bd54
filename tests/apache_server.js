// Debian's apache2 on a loopback port, configured as a real install is (the
// installed armctl.conf snippet: the page's files from the state directory,
// the API's path proxied to armctld's UNIX socket), in front of the test
// build's armctld and its simulated controller. Used by the API's tests over
// HTTP and by the page's tests in Chromium. The daemon's password and
// settings files are those compiled into it (ARMCTL_DAEMON_HTPASSWD,
// ARMCTL_DAEMON_SETTINGS); the server writes them.
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const { PAGE_FILES } = require('../web/tests/support.js');

// The modules and settings this server shares with tools/try's.
const SHARED = path.resolve(__dirname, '../tools/try-apache.conf');
const SNIPPET = path.resolve(__dirname, '../daemon/armctl.conf.in');
const HTPASSWD = process.env.ARMCTL_DAEMON_HTPASSWD;
const SETTINGS = process.env.ARMCTL_DAEMON_SETTINGS;
// Where the snippet puts the page and its API.
const PAGE_PATH = '/~robot/';
const API = `${PAGE_PATH}api`;
const USER = 'operator';
const PASSWORD = 'arm-test-password';
// The daemon's wait for the lock: long for the queue of concurrent requests,
// short (setWait) for the test of a lock held by another program.
const WAIT_MS = 60000;
const BUSY_WAIT_MS = 1500;
const READY = 'armctld: listening on';

// Run as root, the server's children become www-data, as in a real install,
// while the daemon stays the tests' user: the socket is given to www-data's
// group, as the package's socket unit gives it.
const asRoot = process.getuid() === 0;
const idOf = (flag, name) => Number(spawnSync('id', [flag, name], { encoding: 'utf8' }).stdout.trim());

// Writes a state file as the daemon's user (the tests' own) owns it.
function writeState(dir, name, text) {
  fs.writeFileSync(path.join(dir, name), text);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// The daemon's settings file (ARMCTL_DAEMON_SETTINGS, compiled into the test
// daemon), read at every request: the tests' wait for the lock, then `text`,
// whose lines come later and so win.
function writeSettings(text) {
  fs.writeFileSync(SETTINGS, `# written by tests/apache_server.js\nwait_ms = ${WAIT_MS}\n${text}`);
  fs.chmodSync(SETTINGS, 0o644);
}
const setWait = (ms) => writeSettings(`wait_ms = ${ms}\n`);

// The password file with one operator, or `password` for them.
function writePasswords(password = PASSWORD) {
  const pw = spawnSync('htpasswd', ['-cbB', '-C', '5', HTPASSWD, USER, password]);
  if (pw.status !== 0) throw new Error(`htpasswd failed: ${pw.stderr}`);
  fs.chmodSync(HTPASSWD, 0o644);
}

// What the build puts in the snippet's allow-list: the directory, the page's
// files with the model, each by its whole path.
function served(stateDir) {
  return ['', ...PAGE_FILES, 'arm-model.json'].map((f) => `'${stateDir}/${f}'`).join(', ');
}

function config({ root, port, stateDir, socket }) {
  const snippet = fs
    .readFileSync(SNIPPET, 'utf8')
    .replaceAll('@ARMCTL_STATE_DIR@', stateDir)
    .replaceAll('@ARMCTL_SERVED_FILES@', served(stateDir))
    .replaceAll('@ARMCTL_SOCKET@', socket);
  fs.writeFileSync(path.join(root, 'armctl.conf'), snippet);
  fs.mkdirSync(path.join(root, 'htdocs'));
  return [
    `ServerRoot "${root}"`,
    // The name and port the daemon takes as this server's origin (UseCanonicalName On).
    `ServerName 127.0.0.1:${port}`,
    `Listen 127.0.0.1:${port}`,
    `PidFile "${root}/httpd.pid"`,
    `DefaultRuntimeDir "${root}"`,
    `ErrorLog "${root}/error.log"`,
    'LogLevel warn',
    'Timeout 120',
    `Include "${SHARED}"`,
    ...(asRoot ? ['User www-data', 'Group www-data'] : []),
    `DocumentRoot "${root}/htdocs"`,
    // The arm's account's UserDir, as tools/try serves it: the build tree is no home.
    `Alias ${PAGE_PATH} "${stateDir}/"`,
    `Include "${root}/armctl.conf"`,
    '',
  ].join('\n');
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitFor(what, ready, child, ms) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    if (child.exitCode !== null || child.signalCode !== null) throw new Error(`${what} exited (${child.exitCode ?? child.signalCode})`);
    if (await ready()) return;
    await sleep(50);
  }
  throw new Error(`${what} was not ready within ${ms} ms`);
}

const portOpen = (port) =>
  new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });

const ended = (child) =>
  child.exitCode !== null || child.signalCode !== null ? Promise.resolve() : new Promise((r) => child.once('exit', r));

async function terminate(child) {
  const done = ended(child);
  child.kill('SIGTERM');
  await done;
}

// Starts armctld on `socket`, its standard error appended to `log`, and
// waits for its word that it listens. Run as root, Apache's children reach
// the socket through www-data's group.
async function startDaemon(daemon, socket, log) {
  const from = fs.existsSync(log) ? fs.statSync(log).size : 0;
  // It names the operators who failed to log in, and from where.
  const out = fs.openSync(log, 'a', 0o600);
  const child = spawn(daemon, ['--listen', socket], { stdio: ['ignore', out, out] });
  fs.closeSync(out);
  const said = () => fs.readFileSync(log, 'utf8').slice(from).includes(READY);
  try {
    await waitFor('armctld', async () => said(), child, 15000);
  } catch (e) {
    process.stderr.write(fs.readFileSync(log, 'utf8').slice(from));
    if (child.exitCode === null) await terminate(child);
    throw e;
  }
  if (asRoot) fs.chownSync(socket, process.getuid(), idOf('-g', 'www-data'));
  return child;
}

// Starts the daemon and the server; `stateDir` is the daemon's state
// directory, whose page files the server serves at /~robot/.
async function startApache({ daemon, stateDir }) {
  if (!daemon || !HTPASSWD || !SETTINGS)
    throw new Error('set ARMCTL_DAEMON, ARMCTL_DAEMON_HTPASSWD and ARMCTL_DAEMON_SETTINGS');
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'armctl-apache-'));
  fs.chmodSync(root, 0o755);
  writePasswords();
  writeSettings('');
  // A fresh daemon with no failed logins of an earlier run to remember.
  fs.rmSync(path.join(stateDir, 'login-failures.dat'), { force: true });
  // The server's children must reach the page's files, and nothing else there.
  fs.chmodSync(stateDir, 0o711);
  const socket = path.join(root, 'armctld.sock');
  const daemonLog = path.join(root, 'armctld.log');
  const server = {
    root, socket, daemonLog, user: USER, password: PASSWORD, setWait, api: API,
    daemon: await startDaemon(daemon, socket, daemonLog),
  };
  // Stops the daemon, calls `between` (with it stopped), starts it again.
  server.restartDaemon = async (between = () => {}) => {
    await terminate(server.daemon);
    between();
    server.daemon = await startDaemon(daemon, socket, daemonLog);
  };
  const port = await freePort();
  const conf = path.join(root, 'httpd.conf');
  fs.writeFileSync(conf, config({ root, port, stateDir, socket }));
  // Its logs are its owner's only, as tools/try's are (the shell's exec keeps the pid).
  const apache = spawn('sh', ['-c', 'umask 077 && exec apache2 "$@"', 'sh', '-f', conf, '-DFOREGROUND'],
    { stdio: ['ignore', 'inherit', 'inherit'] });
  server.stop = async () => {
    await Promise.all([apache, server.daemon].filter((c) => c.exitCode === null && c.signalCode === null).map(terminate));
    fs.rmSync(root, { recursive: true, force: true });
  };
  try {
    await waitFor('apache2', () => portOpen(port), apache, 15000);
  } catch (e) {
    const log = path.join(root, 'error.log');
    if (fs.existsSync(log)) process.stderr.write(fs.readFileSync(log, 'utf8'));
    await server.stop();
    throw e;
  }
  return Object.assign(server, { port, url: `http://127.0.0.1:${port}${PAGE_PATH}` });
}

const agent = new http.Agent({ keepAlive: false, maxSockets: Infinity });
const basic = (user, password) => 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64');

// One request, through Apache or (daemon: true) straight to the daemon's
// socket; the answer's status, type and body (parsed when it is JSON).
function request(server, { method = 'POST', path: where = API, headers = {}, body, auth = true, daemon = false }) {
  const h = Object.assign({}, headers);
  if (auth) h.Authorization = basic(server.user, server.password);
  if (body !== undefined) h['Content-Length'] = Buffer.byteLength(body);
  const to = daemon ? { socketPath: server.socket } : { host: '127.0.0.1', port: server.port };
  return new Promise((resolve, reject) => {
    const req = http.request({ ...to, method, path: where, headers: h, agent, timeout: 60000 }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (d) => (text += d));
      res.on('end', () => {
        const type = res.headers['content-type'] || '';
        let json = null;
        if (type.startsWith('application/json')) {
          try { json = JSON.parse(text); } catch { json = null; }
        }
        resolve({ status: res.statusCode, type, text, json, headers: res.headers });
      });
    });
    req.on('error', reject);
    req.on('timeout', () => req.destroy(new Error('request timed out')));
    if (body !== undefined) req.write(body);
    req.end();
  });
}

const jsonPost = (server, value, extra = {}) =>
  request(server, Object.assign({ headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(value) }, extra));

// Follows the event stream (GET api?events): `events` fills with each
// event's text, its state parsed, and when it came: `at` in milliseconds,
// `ns` on CLOCK_MONOTONIC as the port log's times; close() ends it. Resolves once the answer's headers are in.
function followEvents(server, { auth = false } = {}) {
  const headers = { Accept: 'text/event-stream' };
  if (auth) headers.Authorization = basic(server.user, server.password);
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port: server.port, path: `${API}?events`, headers, agent }, (res) => {
      const stream = { status: res.statusCode, headers: res.headers, events: [], close: () => req.destroy() };
      let buffer = '';
      res.setEncoding('utf8');
      res.on('data', (d) => {
        buffer += d;
        for (let end = buffer.indexOf('\n\n'); end >= 0; end = buffer.indexOf('\n\n')) {
          const block = buffer.slice(0, end);
          buffer = buffer.slice(end + 2);
          const data = block.split('\n').filter((l) => l.startsWith('data: ')).map((l) => l.slice(6));
          const ns = process.hrtime.bigint();
          if (data.length) stream.events.push({ at: Number(ns) / 1e6, ns, block, state: JSON.parse(data.join('\n')) });
        }
      });
      res.on('error', () => {});
      resolve(stream);
    });
    req.on('error', (e) => (e.code === 'ECONNRESET' ? undefined : reject(e)));
  });
}

// The daemon's queue is in its memory: a request that reached it is known
// only by the place it takes. With max_waiting = n and n requests waiting, a
// further move is answered "too many requests" at once; one that finds a
// place instead waits only a short wait, and the settings are restored.
async function queueFull(server, maxWaiting) {
  writeSettings(`max_waiting = ${maxWaiting}\nwait_ms = ${BUSY_WAIT_MS}\n`);
  const probe = await jsonPost(server, { options: ['-G', '1'] });
  writeSettings(`max_waiting = ${maxWaiting}\n`);
  return probe.status === 503 && /too many requests/.test(probe.json && probe.json.error) ? true : probe;
}

module.exports = {
  startApache, request, jsonPost, followEvents, queueFull, writeState, writeSettings, writePasswords, basic,
  BUSY_WAIT_MS, API, asRoot,
};
