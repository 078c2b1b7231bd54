// armctld behind a real Apache, over HTTP, in front of the simulated
// controller with real step delays: concurrent moves, bad requests, a lock
// held by another program, a refusal's reason, a stop during a move, and one
// table of the latched STOP, the bounds, the queue and stuck locks.
// Environment: daemon/test-env.sh's (ARMCTL_DAEMON, the daemon built for the
// simulated controller, ARMCTL_DAEMON_STATE_DIR, its state directory,
// ARMCTL_DAEMON_HTPASSWD and _SETTINGS, its password and settings files,
// ARMCTL_TRACE).
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, queueFull, writeState, writeSettings, BUSY_WAIT_MS, API } = require('./apache_server.js');

const DAEMON = process.env.ARMCTL_DAEMON;
const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const TRACE = process.env.ARMCTL_TRACE;

const positionText = (c) => c.map((v) => `${v} `).join('') + '\n';
const readState = (name) => fs.readFileSync(path.join(DIR, name), 'utf8');
const counters = () => readState('robot_position.dat').trim().split(/\s+/).map(Number);
const portLog = path.join(DIR, 'port.log');

// A fresh lock file (no holder mark), the counters, no port log, no latch
// or unlock record, default settings.
function reset(c) {
  for (const f of ['lock.dat', 'port.log', 'stop-latch.json', 'unlock-record.log'])
    fs.rmSync(path.join(DIR, f), { force: true });
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', positionText(c));
  writeSettings('');
}

const sleep = (ms) => new Promise((res) => setTimeout(res, ms));
async function until(what, check, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(10)) {
    const v = await check();
    if (v) return v;
  }
  return assert.fail(`never saw ${what} within ${ms} ms`);
}

const move = (count = '1') => ({ options: ['-G', count] });
const tooMany = (a) => a.status === 503 && /too many requests/.test(a.json && a.json.error);
const lockStayedHeld = (a) => a.status === 503 && /lock stayed held/.test(a.json && a.json.error);
async function assertQueueFull(server, maxWaiting) {
  const full = await queueFull(server, maxWaiting);
  assert.equal(full, true, `the queue is not full: ${full.status} ${full.text}`);
}
// Long enough for a request sent through Apache to reach the daemon's queue.
const ARRIVAL_MS = 300;
const lockPath = path.join(DIR || '', 'lock.dat');
const PYTHON = fs.existsSync('/usr/bin/python3') ? '/usr/bin/python3' : 'python3';
const xattr = (op, ...args) => spawnSync(PYTHON, ['-c',
  `import os,sys\nif sys.argv[1] == 'set': os.setxattr(sys.argv[2], 'user.armctl.holder', sys.argv[3].encode())\nelse:\n  try: print(os.getxattr(sys.argv[2], 'user.armctl.holder').decode())\n  except OSError: print('none')`,
  op, lockPath, ...args], { encoding: 'utf8' }).stdout.trim();
const bootId = () => fs.readFileSync('/proc/sys/kernel/random/boot_id', 'utf8').trim();

// Steps per motor on the port, from armctl-trace's table.
function portSteps() {
  const r = spawnSync(TRACE, [portLog], { encoding: 'utf8' });
  assert.equal(r.status, 0, `armctl-trace: ${r.stdout}${r.stderr}`);
  const steps = {};
  for (const m of r.stdout.matchAll(/^\s+(\d)\s+(\d+)\s+(\d+)\s+\d+\s+\d+/gm))
    steps[m[1]] = { forward: Number(m[2]), backward: Number(m[3]) };
  return steps;
}

const lastWriteNs = () => fs.readFileSync(portLog, 'utf8').trim().split('\n').map((l) => BigInt(l.split(' ')[0]))
  .reduce((a, b) => (b > a ? b : a), 0n);

describe('armctld behind Apache', { concurrency: false, timeout: 170000 }, () => {
  let server;
  before(async () => {
    assert.ok(DAEMON && DIR && TRACE, 'set ARMCTL_DAEMON, ARMCTL_DAEMON_STATE_DIR and ARMCTL_TRACE');
    reset([0, 0, 0, 0, 0, 0]);
    server = await startApache({ daemon: DAEMON, stateDir: DIR });
  });
  after(async () => {
    if (server) await server.stop();
  });

  it('answers the state to anyone, without a move', async () => {
    reset([0, 0, 0, 0, 100, 0]);
    const r = await request(server, { method: 'GET', auth: false });
    assert.equal(r.status, 200);
    assert.deepEqual(r.json.counters, [0, 0, 0, 0, 100, 0]);
    assert.equal(r.json.report.length, 5);
    assert.deepEqual(r.json.report[0], [0, 9.5, 9.5, 0]);
    assert.equal(r.json.lock.held, false);
    assert.equal(fs.existsSync(portLog), false, 'GET wrote to the port');
  });

  it('carries out 200 concurrent moves, each exactly once', async () => {
    reset([0, 0, 0, 0, 0, 0]);
    writeSettings('max_waiting = 200\n');
    const started = Date.now();
    const answers = await Promise.all(Array.from({ length: 200 }, () => jsonPost(server, { options: ['-G', '1'] })));
    const seconds = (Date.now() - started) / 1000;
    console.log(`# 200 concurrent one-step moves through Apache: ${seconds.toFixed(1)} s`);
    const statuses = answers.map((a) => `${a.status}/${a.json && a.json.status}`);
    assert.deepEqual([...new Set(statuses)], ['200/0']);
    assert.deepEqual(counters(), [200, 0, 0, 0, 0, 0]);
    assert.deepEqual(portSteps()['5'], { forward: 200, backward: 0 });
    assert.equal(readState('lock.dat'), '0\n');
    writeSettings('');
  });

  it('moves nothing for a bad request', async () => {
    reset([5, 0, 0, 0, 0, 0]);
    const json = { 'Content-Type': 'application/json' };
    const move = JSON.stringify({ options: ['-G', '1'] });
    const cases = [
      ['no login', { headers: json, body: move, auth: false }, 401],
      ['wrong password', { headers: Object.assign({ Authorization: `Basic ${Buffer.from(`${server.user}:x`).toString('base64')}` }, json), body: move, auth: false }, 401],
      ['clear without login', { headers: json, body: '{"clear": true}', auth: false }, 401],
      ['PUT', { method: 'PUT', headers: json, body: move }, 405],
      ['DELETE', { method: 'DELETE' }, 405],
      ['TRACE of the page, answered by Apache', { method: 'TRACE', path: '/~robot/', auth: false }, 405],
      ['form type', { headers: { 'Content-Type': 'application/x-www-form-urlencoded' }, body: 'options=-G&options=1' }, 415],
      ['text type', { headers: { 'Content-Type': 'text/plain' }, body: move }, 415],
      ['bad JSON', { headers: json, body: '{"options": ["-G", "1"' }, 400],
      ['unknown field', { headers: json, body: '{"options": ["-G", "1"], "env": {"PATH": "/tmp"}}' }, 400],
      ['semicolon', { headers: json, body: '{"options": ["-G", "1;touch /tmp/x"]}' }, 400],
      ['command substitution', { headers: json, body: '{"options": ["-G", "$(id)"]}' }, 400],
      ['pipe', { headers: json, body: '{"options": ["-G|ls"]}' }, 400],
      ['octal count', { headers: json, body: '{"options": ["-G", "010"]}' }, 400],
      ['oversize body', { headers: json, body: JSON.stringify({ options: ['-G', '1'], pad: 'x'.repeat(5000) }) }, 413],
      ['too many options', { headers: json, body: JSON.stringify({ options: Array(17).fill('-Q') }) }, 400],
      ['other Origin', { headers: Object.assign({ Origin: 'http://evil.example' }, json), body: move }, 403],
    ];
    const before_ = readState('robot_position.dat');
    for (const [name, req, status] of cases) {
      const r = await request(server, req);
      assert.equal(r.status, status, `${name}: ${r.text}`);
      if (req.method === 'TRACE') assert.equal(r.text.includes('TRACE /~robot/'), false, `${name}: echoed`);
      else if (status !== 401) assert.equal(typeof r.json.error, 'string', `${name}: no JSON error`);
      else assert.equal(r.headers['www-authenticate'], 'Basic realm="armctl"', name);
      if (status === 401) assert.equal(r.json.login, req.headers.Authorization ? 'wrong' : 'missing', name);
    }
    // The newcomer's page at localhost is told the origin to open it at.
    const local = await request(server, { headers: Object.assign({ Origin: `http://localhost:${server.port}` }, json), body: move });
    assert.deepEqual([local.status, local.json.accepted_origins], [403, [`http://127.0.0.1:${server.port}`]]);
    assert.equal(readState('robot_position.dat'), before_);
    assert.equal(fs.existsSync(portLog), false, 'a bad request reached the port');
    assert.equal(readState('lock.dat'), '0\n');
  });

  it('answers 503 when another program keeps the lock, touching nothing', async () => {
    reset([0, 0, 0, 0, 0, 0]);
    writeState(DIR, 'lock.dat', '1\n');
    const started = Date.now();
    server.setWait(BUSY_WAIT_MS);
    const r = await jsonPost(server, { options: ['-G', '5'] }).finally(() => server.setWait(60000));
    const waited = Date.now() - started;
    assert.equal(r.status, 503, r.text);
    assert.ok(waited >= BUSY_WAIT_MS, `answered after ${waited} ms`);
    assert.equal(readState('lock.dat'), '1\n');
    assert.deepEqual(counters(), [0, 0, 0, 0, 0, 0]);
    assert.equal(fs.existsSync(portLog), false);
  });

  it('explains a refusal', async () => {
    reset([790, 0, 0, 0, 0, 0]);
    const r = await jsonPost(server, { options: ['-G', '20', '-V', '1600'] });
    assert.equal(r.status, 200);
    assert.equal(r.json.status, 88);
    assert.equal(r.json.reasons_known, true);
    const [g, v] = r.json.options;
    assert.deepEqual([g.refused, g.reason.guard, g.reason.rule, g.reason.value, g.reason.beyond], [true, 'range', '<= 800', 810, 10]);
    // 1600 x 0.0324 degrees of elbow against a level shoulder: a bend of 51.84.
    assert.equal(v.reason.guard, 'elbow bend');
    assert.ok(Math.abs(v.reason.value - 51.84) < 1e-9 && Math.abs(v.reason.beyond - 1.84) < 1e-9, JSON.stringify(v.reason));
    assert.deepEqual(counters(), [790, 0, 0, 0, 0, 0]);
  });

  it('stops a long move at its next step, the counter equal to the steps on the port', async () => {
    reset([0, 0, 0, 0, 0, 1600]);
    const moving = jsonPost(server, { options: ['-X', '3600', '-Q'] });
    await until('the run holding the lock', async () => (await request(server, { method: 'GET', auth: false })).json.lock.held);
    await new Promise((res) => setTimeout(res, 200));
    const sent = process.hrtime.bigint(); // CLOCK_MONOTONIC, as the port log's times
    const stop = await jsonPost(server, { stop: true });
    assert.equal(stop.status, 200, stop.text);
    assert.equal(stop.json.run_stopped, true);
    const done = await moving;
    assert.equal(done.json.status, 143, done.text);
    const made = portSteps()['2'];
    assert.ok(made.backward > 0 && made.backward < 3600, `steps ${made.backward}`);
    assert.equal(made.forward, 0);
    assert.deepEqual(counters(), [0, 0, 0, 0, 0, 1600 - made.backward]);
    assert.deepEqual(done.json.counters, counters());
    assert.equal(readState('lock.dat'), '0\n');
    console.log(`# stop: request sent to last port write ${Number(lastWriteNs() - sent) / 1e6} ms`);
    assert.equal(stop.text.includes('_ns'), false, 'the answer shows a clock reading');
  });

  // One row per concern of the latched STOP, the bounds, the queue and
  // stuck locks; each checks the port log, the state files and the answers.
  const rows = [
    ['STOP ends the running move and the move queued behind it, touching nothing for the latter', async () => {
      reset([0, 0, 0, 0, 0, 1600]);
      writeSettings('max_waiting = 1\n');
      const moving = jsonPost(server, { options: ['-X', '3600'] });
      await until('the run holding the lock', async () => (await request(server, { method: 'GET', auth: false })).json.lock.held);
      const queued = jsonPost(server, { options: ['-G', '100'] });
      await sleep(ARRIVAL_MS);
      await assertQueueFull(server, 1);
      const stop = await jsonPost(server, { stop: true });
      assert.equal(stop.status, 200, stop.text);
      assert.deepEqual([stop.json.waiting_ended, stop.json.run_stopped, stop.json.stopped], [1, true, true]);
      const [done, behind] = await Promise.all([moving, queued]);
      assert.equal(done.json.status, 143, done.text);
      assert.equal(behind.status, 409, behind.text);
      const made = portSteps();
      assert.equal(made['5'], undefined, 'the queued move reached the port');
      assert.ok(made['2'].backward > 0 && made['2'].backward < 3600);
      assert.deepEqual(counters(), [0, 0, 0, 0, 0, 1600 - made['2'].backward]);
      assert.equal(readState('lock.dat'), '0\n');
    }],
    ['the latch holds every move, with who and when, until an operator clears it', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const stop = await jsonPost(server, { stop: true }); // no run under way
      assert.deepEqual([stop.status, stop.json.stopped, stop.json.stopped_by, stop.json.run_stopped], [200, true, 'operator', false]);
      assert.match(stop.json.stopped_at, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
      const seen = (await request(server, { method: 'GET' })).json;
      assert.deepEqual([seen.stopped, seen.stopped_by, seen.stopped_from, seen.stopped_at], [true, 'operator', '127.0.0.1', stop.json.stopped_at]);
      const held = await jsonPost(server, { options: ['-G', '1'] });
      assert.deepEqual([held.status, held.json.stopped, held.json.stopped_by], [409, true, 'operator']);
      assert.equal(fs.existsSync(portLog), false);
      const cleared = await jsonPost(server, { clear: true });
      assert.deepEqual([cleared.status, cleared.json.stopped], [200, false]);
      assert.equal((await request(server, { method: 'GET', auth: false })).json.stopped, false);
      const moved = await jsonPost(server, { options: ['-G', '1'] });
      assert.deepEqual([moved.status, moved.json.status], [200, 0]);
      assert.deepEqual(portSteps()['5'], { forward: 1, backward: 0 });
    }],
    ['STOP needs no login: it latches as "not logged in" from the address, shown to operators only', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      // A history whose share of entries without a login is taken would count this STOP on one of them.
      for (const f of ['history.dat', 'history-older.dat']) fs.rmSync(path.join(DIR, f), { force: true });
      const wrong = { Authorization: `Basic ${Buffer.from(`${server.user}:x`).toString('base64')}` };
      const stop = await jsonPost(server, { stop: true }, { auth: false, headers: Object.assign({ 'Content-Type': 'application/json' }, wrong) });
      assert.deepEqual([stop.status, stop.json.stopped, 'stopped_by' in stop.json], [200, true, false], stop.text);
      assert.equal(fs.statSync(path.join(DIR, 'stop-latch.json')).mode & 0o777, 0o600);
      const open = (await request(server, { method: 'GET', auth: false })).json;
      assert.deepEqual([open.stopped, open.stopped_at, 'stopped_by' in open, 'stopped_from' in open], [true, stop.json.stopped_at, false, false]);
      const told = (await request(server, { method: 'GET' })).json;
      assert.deepEqual([told.stopped_by, told.stopped_from], ['not logged in', '127.0.0.1']);
      const served = await request(server, { method: 'GET', path: '/~robot/stop-latch.json', auth: false });
      assert.equal(served.status, 403, 'the latch file is served');
      const history = (await request(server, { method: 'GET', path: `${API}?history` })).json.history;
      assert.deepEqual([history[0].user, history[0].request], ['not logged in', { stop: true }]);
      const clear = await jsonPost(server, { clear: true }, { auth: false });
      assert.deepEqual([clear.status, clear.json.login], [401, 'missing']);
      assert.equal((await jsonPost(server, { clear: true })).status, 200);
    }],
    ['whoami names the operator, nobody without credentials, and refuses wrong ones', async () => {
      const who = (headers, auth) => request(server, { method: 'GET', path: `${API}?whoami`, headers, auth });
      const logout = { Authorization: `Basic ${Buffer.from('logout:').toString('base64')}` };
      const answers = [await who({}, true), await who({}, false), await who(logout, false)];
      assert.deepEqual(answers.map((a) => [a.status, a.json]), [
        [200, { user: 'operator' }], [200, { user: null }], [401, { error: answers[2].json.error, login: 'wrong' }]]);
    }],
    ['a moving run shows its option and the counters expected now, ending on the saved counters', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      // 1601 and 3601 cycles of two 250 us delays: about 2.6 s.
      const moving = jsonPost(server, { options: ['-S', '1600', '-X', '3600'] });
      // Read as an operator and as anyone, in turn: only operators are told who moves the arm.
      const seen = [];
      const by = new Set();
      for (let done = false, auth = false; !done; auth = !auth) {
        const r = (await request(server, { method: 'GET', auth })).json;
        if (r.run) seen.push(r.run);
        if (r.run) by.add(`${auth} ${r.run.by}`);
        done = seen.length > 1 && r.run === null;
      }
      assert.deepEqual([...by].sort(), ['false undefined', 'true operator']);
      const answer = await moving;
      assert.equal(answer.json.status, 0, answer.text);
      const ends = [[0, 1600], [1600, -2000]];
      for (const run of seen) {
        const [from, to] = ends[run.option - 1];
        const c5 = run.expected[5];
        assert.ok(Math.min(from, to) <= c5 && c5 <= Math.max(from, to), JSON.stringify(run));
        assert.deepEqual([run.options, run.letter, run.expected.slice(0, 5)], [2, 'SX'[run.option - 1], [0, 0, 0, 0, 0]]);
        assert.ok(Math.abs(run.estimate_s - (1 + 1601 + 1 + 3601 + 1) * 2 * 250e-6) < 1e-9, JSON.stringify(run));
      }
      // Growing within an option: never back towards its start.
      for (let i = 1; i < seen.length; i++)
        if (seen[i].option === seen[i - 1].option)
          assert.ok((seen[i].expected[5] - seen[i - 1].expected[5]) * (seen[i].option === 1 ? 1 : -1) >= 0, `${i}`);
      assert.deepEqual([...new Set(seen.map((r) => r.option))], [1, 2]);
      assert.ok(new Set(seen.map((r) => r.expected[5])).size > 3, 'the expected counters did not grow');
      assert.deepEqual(counters(), [0, 0, 0, 0, 0, -2000]);
    }],
    ['a move over the bound is refused with its estimate, moving nothing', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const r = await jsonPost(server, { options: ['-W', '99999', '-E', '99999'] });
      assert.equal(r.status, 422, r.text);
      // three shoulder cycles and twice 9999 wrist chunks of 22 cycles, each of two 250 us delays
      assert.ok(Math.abs(r.json.estimate_s - (3 + 2 * 9999 * 22) * 2 * 250e-6) < 1e-9, r.text);
      assert.equal(r.json.bound_s, 60);
      assert.equal(fs.existsSync(portLog), false);
      assert.deepEqual(counters(), [0, 0, 0, 0, 0, 0]);
    }],
    ['a run waiting for the lock whose caller hangs up is ended, and never moves', async () => {
      // Straight to the daemon's socket: Apache's proxy does not pass on a
      // client's hang-up while it waits for the answer's head.
      reset([0, 0, 0, 0, 0, 0]);
      writeSettings('max_waiting = 1\n');
      writeState(DIR, 'lock.dat', '1\n'); // another program holds the lock
      const body = JSON.stringify(move('5'));
      const caller = net.connect(server.socket);
      caller.on('error', () => {});
      caller.write(`POST / HTTP/1.1\r\nHost: armctld\r\nContent-Type: application/json\r\nContent-Length: ${body.length}\r\n` +
        `Authorization: Basic ${Buffer.from(`${server.user}:${server.password}`).toString('base64')}\r\n\r\n${body}`);
      await sleep(ARRIVAL_MS);
      await assertQueueFull(server, 1);
      caller.destroy();
      // Its place comes free: a request then waits the short wait out.
      writeSettings(`max_waiting = 1\nwait_ms = 200\n`);
      await until('its place in the queue free', async () => lockStayedHeld(await jsonPost(server, move())), 5000);
      writeState(DIR, 'lock.dat', '0\n');
      writeSettings('');
      assert.deepEqual([(await jsonPost(server, move())).json.status, counters()], [0, [1, 0, 0, 0, 0, 0]]);
      assert.deepEqual(portSteps()['5'], { forward: 1, backward: 0 }, 'the hung-up request moved the arm');
    }],
    ['at most max_waiting requests wait for the lock; the next answer 503 at once', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      writeSettings(`max_waiting = 2\nwait_ms = ${BUSY_WAIT_MS}\n`);
      writeState(DIR, 'lock.dat', '1\n');
      const started = Date.now();
      const timed = (a) => Object.assign(a, { after: Date.now() - started });
      const answers = await Promise.all(Array.from({ length: 5 }, () => jsonPost(server, move()).then(timed)));
      // Turned away at once, or answered busy once the whole wait is over.
      const full = answers.filter((a) => tooMany(a) && a.after < BUSY_WAIT_MS).length;
      const waited = answers.filter((a) => a.status === 503 && !tooMany(a) && a.after >= BUSY_WAIT_MS).length;
      assert.deepEqual([full, waited], [3, 2], answers.map((a) => a.text).join(''));
      assert.equal(readState('lock.dat'), '1\n');
      assert.equal(fs.existsSync(portLog), false);
    }],
    ['unlock frees only a lock whose mark names a dead run of this boot, and records it', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const dead = spawnSync('true').pid;
      writeState(DIR, 'lock.dat', '1\n');
      xattr('set', `${process.pid} taking ${bootId()}`); // alive: not released
      const live = await jsonPost(server, { unlock: true });
      assert.deepEqual([live.status, live.json.holder.pid, readState('lock.dat')], [409, process.pid, '1\n']);
      xattr('set', `${dead} taking ${bootId()}`);
      const seen = await request(server, { method: 'GET', auth: false });
      assert.equal(seen.json.lock.left_by_dead_run.state, 'taking');
      assert.equal(seen.text.includes(String(dead)), false, 'the open state names a pid');
      const r = await jsonPost(server, { unlock: true });
      assert.deepEqual([r.status, r.json.unlocked, r.json.holder.pid], [200, true, dead], r.text);
      assert.deepEqual([readState('lock.dat'), xattr('get')], ['0\n', 'none']);
      const record = JSON.parse(readState('unlock-record.log'));
      assert.deepEqual([record.by, record.mark], ['operator', `${dead} taking ${bootId()}`]);
      assert.equal((await jsonPost(server, { unlock: true })).status, 409, 'a free lock');
      assert.equal((await jsonPost(server, { options: ['-G', '1'] })).json.status, 0);
    }],
    ['the 11th login within a minute after 10 failures answers 429 unchecked; each failure is logged', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const file = path.join(DIR, 'login-failures.dat');
      const forget = () => fs.rmSync(file, { force: true });
      await server.restartDaemon(forget); // none of the earlier rows' failures
      const log = server.daemonLog;
      const logged = fs.readFileSync(log, 'utf8').length;
      const wrong = { Authorization: `Basic ${Buffer.from(`${server.user}:guess`).toString('base64')}`, 'Content-Type': 'application/json' };
      const body = JSON.stringify({ options: ['-G', '1'] });
      for (let i = 0; i < 10; i++)
        assert.equal((await request(server, { headers: wrong, body, auth: false })).status, 401, `failure ${i + 1}`);
      const r = await jsonPost(server, { options: ['-G', '1'] }); // the right password
      assert.equal(r.status, 429, r.text);
      const wait = Number(r.headers['retry-after']);
      assert.ok(Number.isInteger(wait) && wait >= 1 && wait <= 60, `Retry-After: ${r.headers['retry-after']}`);
      assert.equal(typeof r.json.error, 'string');
      assert.equal(fs.existsSync(portLog), false, 'a stopped login moved the arm');
      assert.equal(fs.statSync(file).mode & 0o777, 0o600);
      const failure = new RegExp(`failed login for user \\\\?"${server.user}\\\\?" from 127\\.0\\.0\\.1`);
      await until('ten logged failures', () => fs.readFileSync(log, 'utf8').slice(logged).split('\n').filter((l) => failure.test(l)).length === 10);
      for (const file of [log, path.join(server.root, 'error.log')]) assert.equal(fs.statSync(file).mode & 0o777, 0o600, file);
      await server.restartDaemon();
      assert.equal((await jsonPost(server, move())).status, 429, 'the counts kept across a restart');
      await server.restartDaemon(forget);
      assert.equal((await jsonPost(server, move())).json.status, 0, 'counts read from a file that is gone');
      assert.equal(fs.existsSync(portLog), true);
    }],
    ['a password file the daemon cannot read answers 500 to a login, and its log says why', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const file = process.env.ARMCTL_DAEMON_HTPASSWD;
      fs.renameSync(file, `${file}.away`);
      const r = await jsonPost(server, { options: ['-G', '1'] }).finally(() => fs.renameSync(`${file}.away`, file));
      assert.equal(r.status, 500, r.text);
      await until('the log line', () => fs.readFileSync(server.daemonLog, 'utf8').includes(`cannot read the password file ${file}: No such file or directory`));
      assert.equal(fs.existsSync(portLog), false);
    }],
  ];
  for (const [name, row] of rows) it(name, row);
});
