// Debian's apache2 with mod_cgid on a loopback port, configured as a real
// install is (the installed armctl.conf snippet for the state directory, the
// CGI copied beside the page and checking Basic credentials itself), in
// front of the CGI built against a simulated controller. Used by the CGI's
// tests over HTTP and by the page's tests in Chromium. The CGI's password and
// settings files are those compiled into it (ARMCTL_CGI_HTPASSWD,
// ARMCTL_CGI_SETTINGS); the server writes them.
'use strict';

const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const { PAGE_FILES } = require('../web/tests/support.js');

const MODULES = '/usr/lib/apache2/modules';
const SNIPPET = path.resolve(__dirname, '../cgi/armctl.conf.in');
const HTPASSWD = process.env.ARMCTL_CGI_HTPASSWD;
const SETTINGS = process.env.ARMCTL_CGI_SETTINGS;
const CGI_NAME = 'armctl-cgi';
const USER = 'operator';
const PASSWORD = 'arm-test-password';
// The CGI's wait for the lock: long for the queue of concurrent requests,
// short (setWait) for the test of a lock held by another program.
const WAIT_MS = 60000;
const BUSY_WAIT_MS = 1500;

// Run as root, the server's children become www-data, as in a real install;
// the state files must then be theirs.
const asRoot = process.getuid() === 0;
function webUser() {
  const r = spawnSync('id', ['-u', 'www-data'], { encoding: 'utf8' });
  const uid = Number(r.stdout.trim());
  const g = spawnSync('id', ['-g', 'www-data'], { encoding: 'utf8' });
  return { uid, gid: Number(g.stdout.trim()) };
}

function giveToServer(file) {
  if (!asRoot) return;
  const { uid, gid } = webUser();
  fs.chownSync(file, uid, gid);
}

// Writes a state file as the server's user would own it.
function writeState(dir, name, text) {
  const file = path.join(dir, name);
  fs.writeFileSync(file, text);
  giveToServer(file);
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

// The CGI's settings file (ARMCTL_CGI_SETTINGS, compiled into the test CGI),
// read at every request: the tests' wait for the lock, then `text`, whose
// lines come later and so win.
function writeSettings(text) {
  fs.writeFileSync(SETTINGS, `# written by tests/apache_server.js\nwait_ms = ${WAIT_MS}\n${text}`);
  fs.chmodSync(SETTINGS, 0o644);
}
const setWait = (ms) => writeSettings(`wait_ms = ${ms}\n`);

// What the build puts in the snippet's allow-list: the directory, the page's
// files with the model, and the CGI, each by its whole path.
function served(stateDir) {
  return ['', ...PAGE_FILES, 'arm-model.json', CGI_NAME].map((f) => `'${stateDir}/${f}'`).join(', ');
}

function config({ root, port, stateDir }) {
  const snippet = fs
    .readFileSync(SNIPPET, 'utf8')
    .replaceAll('@ARMCTL_STATE_DIR@', stateDir)
    .replaceAll('@ARMCTL_CGI_NAME@', CGI_NAME)
    .replaceAll('@ARMCTL_SERVED_FILES@', served(stateDir));
  fs.writeFileSync(path.join(root, 'armctl.conf'), snippet);
  const modules = ['mpm_event', 'authz_core', 'authz_host', 'alias', 'cgid', 'mime', 'dir', 'headers'];
  return [
    `ServerRoot "${root}"`,
    // The name and port the CGI takes as this server's origin (UseCanonicalName On).
    `ServerName 127.0.0.1:${port}`,
    `Listen 127.0.0.1:${port}`,
    `PidFile "${root}/httpd.pid"`,
    `DefaultRuntimeDir "${root}"`,
    `ScriptSock "${root}/cgid.sock"`,
    `ErrorLog "${root}/error.log"`,
    'LogLevel warn',
    'Timeout 120',
    ...modules.map((m) => `LoadModule ${m}_module ${MODULES}/mod_${m}.so`),
    ...(asRoot ? ['User www-data', 'Group www-data'] : []),
    'TypesConfig /etc/mime.types',
    'AddDefaultCharset utf-8',
    '<Directory />\n  AllowOverride None\n  Require all denied\n</Directory>',
    `DocumentRoot "${stateDir}"`,
    // Plain HTTP on the loopback, as tools/try serves it: no redirect to the arm's HTTPS origin.
    'Define armctl_plain_http',
    `Include "${root}/armctl.conf"`,
    '',
  ].join('\n');
}

async function waitForPort(port, child, ms) {
  const deadline = Date.now() + ms;
  while (Date.now() < deadline) {
    if (child.exitCode !== null) throw new Error(`apache2 exited with ${child.exitCode}`);
    const up = await new Promise((resolve) => {
      const s = net.connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
      s.on('error', () => resolve(false));
    });
    if (up) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`apache2 did not listen on ${port} within ${ms} ms`);
}

// Starts the server; `stateDir` is served as the document root (the page)
// and given to the server's user; `cgi` is the CGI built for that directory.
async function startApache({ cgi, stateDir }) {
  if (!HTPASSWD || !SETTINGS) throw new Error('set ARMCTL_CGI_HTPASSWD and ARMCTL_CGI_SETTINGS');
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'armctl-apache-'));
  fs.chmodSync(root, 0o755);
  const pw = spawnSync('htpasswd', ['-cbB', '-C', '5', HTPASSWD, USER, PASSWORD]);
  if (pw.status !== 0) throw new Error(`htpasswd failed: ${pw.stderr}`);
  fs.chmodSync(HTPASSWD, 0o644);
  writeSettings('');
  fs.copyFileSync(cgi, path.join(stateDir, CGI_NAME));
  fs.chmodSync(path.join(stateDir, CGI_NAME), 0o755);
  if (asRoot) {
    const { uid, gid } = webUser();
    fs.chownSync(stateDir, uid, gid);
    for (const f of fs.readdirSync(stateDir)) fs.chownSync(path.join(stateDir, f), uid, gid);
  }
  const port = await freePort();
  const conf = path.join(root, 'httpd.conf');
  fs.writeFileSync(conf, config({ root, port, stateDir }));
  const child = spawn('apache2', ['-f', conf, '-DFOREGROUND'], { stdio: ['ignore', 'inherit', 'inherit'] });
  try {
    await waitForPort(port, child, 15000);
  } catch (e) {
    const log = path.join(root, 'error.log');
    if (fs.existsSync(log)) process.stderr.write(fs.readFileSync(log, 'utf8'));
    child.kill('SIGTERM');
    throw e;
  }
  const stop = async () => {
    if (child.exitCode === null) {
      const ended = new Promise((r) => child.once('exit', r));
      child.kill('SIGTERM');
      await ended;
    }
    fs.rmSync(root, { recursive: true, force: true });
  };
  return { port, url: `http://127.0.0.1:${port}/`, root, stop, user: USER, password: PASSWORD, setWait };
}

const agent = new http.Agent({ keepAlive: false, maxSockets: Infinity });

// One request; the answer's status, type and body (parsed when it is JSON).
function request(server, { method = 'POST', path: where = `/${CGI_NAME}`, headers = {}, body, auth = true }) {
  const h = Object.assign({}, headers);
  if (auth) h.Authorization = 'Basic ' + Buffer.from(`${server.user}:${server.password}`).toString('base64');
  if (body !== undefined) h['Content-Length'] = Buffer.byteLength(body);
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: server.port, method, path: where, headers: h, agent, timeout: 60000 }, (res) => {
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

module.exports = { startApache, request, jsonPost, writeState, writeSettings, giveToServer, BUSY_WAIT_MS, CGI_NAME };
