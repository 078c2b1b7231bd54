// What armctld adds to the API, behind a real Apache in front of the
// simulated controller: the event stream, its own run's lock freed when the
// run dies, the login forgetting a changed password file, and a socket that
// only the daemon's and Apache's accounts can reach; one table.
// Environment: as tests/api_apache.test.js.
'use strict';

const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, followEvents, writeState, writeSettings, writePasswords, basic, BUSY_WAIT_MS, API, asRoot } =
  require('./apache_server.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const PYTHON = fs.existsSync('/usr/bin/python3') ? '/usr/bin/python3' : 'python3';
const read = (name) => fs.readFileSync(path.join(DIR, name), 'utf8');
const counters = () => read('robot_position.dat').trim().split(/\s+/).map(Number);
const portLog = path.join(DIR || '', 'port.log');
const lockPath = path.join(DIR || '', 'lock.dat');
const sleep = (ms) => new Promise((res) => setTimeout(res, ms));
// The stream promises an event within 100 ms of a change and one every 250
// ms while a run moves; the assertions give them room on a busy machine.
const EVENT_PROMISE_MS = 100;
const MOVING_PROMISE_MS = 250;
const SLACK = 4;

// No port log, no latch, a lock file without a mark, the counters.
function reset(c) {
  for (const f of ['lock.dat', 'port.log', 'stop-latch.json']) fs.rmSync(path.join(DIR, f), { force: true });
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', c.map((v) => `${v} `).join('') + '\n');
  writeSettings('');
}

async function until(what, check, ms = 10000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(10)) {
    const v = await check();
    if (v) return v;
  }
  return assert.fail(`never saw ${what} within ${ms} ms`);
}

// The last write to the port, on CLOCK_MONOTONIC as process.hrtime.
const lastWriteNs = () => fs.readFileSync(portLog, 'utf8').trim().split('\n').map((l) => BigInt(l.split(' ')[0]))
  .reduce((a, b) => (b > a ? b : a), 0n);

// Kills with SIGKILL the daemon's child that takes the lock, as soon as
// lock.dat reads 1 under a "held" mark naming it; resolves to its pid.
function killRunOnceHeld(daemonPid) {
  const watch = `
import os, signal, sys, time
lock, daemon = sys.argv[1], int(sys.argv[2])
def parent(pid):
    try:
        with open(f'/proc/{pid}/stat') as f: return int(f.read().rsplit(') ', 1)[1].split()[1])
    except OSError: return None
end = time.monotonic() + 10
while time.monotonic() < end:
    try:
        mark = os.getxattr(lock, 'user.armctl.holder').decode().split()
        with open(lock) as f: taken = f.read(1) == '1'
    except OSError: taken = False
    if taken and len(mark) > 1 and mark[1] == 'held' and parent(int(mark[0])) == daemon:
        os.kill(int(mark[0]), signal.SIGKILL)
        print(mark[0]); sys.exit(0)
    time.sleep(0.0005)
sys.exit(1)`;
  return new Promise((resolve, reject) => {
    const child = spawn(PYTHON, ['-c', watch, lockPath, String(daemonPid)], { stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    child.stdout.on('data', (d) => (out += d));
    child.on('exit', (code) => (code === 0 ? resolve(Number(out)) : reject(new Error('no run of the daemon took the lock'))));
  });
}

// A connection to the daemon's socket as the account `user`: 'connected' or the error's code.
function connectAs(user, socket) {
  const probe = "require('net').connect(process.argv[1]).on('connect', () => { console.log('connected'); process.exit(0); })" +
    ".on('error', (e) => { console.log(e.code); process.exit(0); })";
  const gid = spawnSync('id', ['-g', user], { encoding: 'utf8' }).stdout.trim();
  const r = spawnSync('setpriv', [`--reuid=${user}`, `--regid=${gid}`, '--init-groups', process.execPath, '-e', probe, socket],
    { encoding: 'utf8', cwd: '/' });
  return r.stdout.trim() || r.stderr.trim();
}

describe('armctld behind Apache: the stream, its own runs, its logins, its socket', { concurrency: false, timeout: 120000 }, () => {
  let server;
  before(async () => {
    assert.ok(process.env.ARMCTL_DAEMON && DIR, 'set ARMCTL_DAEMON and ARMCTL_DAEMON_STATE_DIR');
    reset([0, 0, 0, 0, 0, 0]);
    server = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
  });
  after(async () => server && server.stop());

  const rows = [
    ['the stream sends the state at once, the run while it moves, and its end on the saved counters', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const stream = await followEvents(server);
      try {
        assert.equal(stream.status, 200);
        assert.match(stream.headers['content-type'], /^text\/event-stream/);
        assert.match(stream.headers['cache-control'], /no-store/);
        const [first] = await until('the first event', () => stream.events.length > 0 && stream.events);
        assert.match(first.block, /^event: state\ndata: /);
        assert.deepEqual(first.state, (await request(server, { method: 'GET', auth: false })).json);
        // 1601 and 3601 cycles of two 250 us delays: about 2.6 s.
        const answer = await jsonPost(server, { options: ['-S', '1600', '-X', '3600'] });
        assert.equal(answer.json.status, 0, answer.text);
        const end = await until('the end of the run in the stream', () =>
          stream.events.find((e, i) => e.state.run === null && stream.events.slice(0, i).some((m) => m.state.run)));
        const moving = stream.events.filter((e) => e.state.run);
        assert.deepEqual([...new Set(moving.map((e) => e.state.run.letter))], ['S', 'X']);
        assert.ok(new Set(moving.map((e) => e.state.run.expected[5])).size > 3, 'the expected counters did not grow');
        for (const e of moving) assert.deepEqual(e.state.run.expected.slice(0, 5), [0, 0, 0, 0, 0]);
        assert.deepEqual([end.state.counters, end.state.last_run.status, typeof end.state.last_run.at], [counters(), 0, 'string']);
        assert.deepEqual(counters(), [0, 0, 0, 0, 0, -2000]);
        const gaps = moving.slice(1).map((e, i) => e.at - moving[i].at);
        const afterPort = Number(end.ns - lastWriteNs()) / 1e6;
        console.log(`# stream: ${moving.length} events while moving, the longest gap ${Math.max(...gaps).toFixed(0)} ms; ` +
          `the end ${afterPort.toFixed(1)} ms after the last port write`);
        assert.ok(Math.max(...gaps) <= MOVING_PROMISE_MS * SLACK, `gaps ${gaps}`);
        assert.ok(afterPort <= EVENT_PROMISE_MS * SLACK, `the end came ${afterPort} ms after the last port write`);
      } finally {
        stream.close();
      }
    }],
    ['the stream names who latched to a login only', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      assert.equal((await jsonPost(server, { stop: true })).status, 200);
      const firstOf = async (auth) => {
        const stream = await followEvents(server, { auth });
        try {
          return (await until('the first event', () => stream.events[0])).state;
        } finally {
          stream.close();
        }
      };
      const [open, told] = [await firstOf(false), await firstOf(true)];
      assert.deepEqual([open.stopped, 'stopped_by' in open, 'stopped_from' in open], [true, false, false]);
      assert.deepEqual([told.stopped, told.stopped_by, told.stopped_from], [true, 'operator', '127.0.0.1']);
      assert.equal((await jsonPost(server, { clear: true })).status, 200);
    }],
    ["a run of the daemon's own killed holding the lock leaves no lock behind; a foreign one is waited out", async () => {
      reset([0, 0, 0, 0, 0, 1600]);
      const killed = killRunOnceHeld(server.daemon.pid);
      const moving = jsonPost(server, { options: ['-X', '3600'] });
      const pid = await killed;
      const answer = await moving;
      assert.ok(!(answer.status === 200 && answer.json.status === 0), `a killed run (${pid}) answered success: ${answer.text}`);
      writeSettings(`wait_ms = ${BUSY_WAIT_MS}\n`); // a lock left behind answers 503 soon
      const next = await jsonPost(server, { options: ['-G', '1'] }); // no unlock
      assert.deepEqual([next.status, next.json.status], [200, 0], next.text);
      assert.deepEqual([counters()[0], read('lock.dat')], [1, '0\n']);
      // A "1" without a mark is another program's: waited for, never freed.
      reset([0, 0, 0, 0, 0, 0]);
      writeState(DIR, 'lock.dat', '1\n');
      writeSettings(`wait_ms = ${BUSY_WAIT_MS}\n`);
      const held = await jsonPost(server, { options: ['-G', '1'] });
      assert.deepEqual([held.status, /lock stayed held/.test(held.json.error), read('lock.dat')], [503, true, '1\n'], held.text);
      assert.equal(fs.existsSync(portLog), false);
    }],
    ['a changed password file takes effect at once: the old password refused, the new one taken', async () => {
      const who = (password) => request(server, { method: 'GET', path: `${API}?whoami`, auth: false,
        headers: { Authorization: basic(server.user, password) } });
      try {
        assert.deepEqual((await who(server.password)).json, { user: server.user });
        writePasswords('a-new-password');
        assert.deepEqual([(await who(server.password)).status, (await who('a-new-password')).json], [401, { user: server.user }]);
      } finally {
        writePasswords();
      }
    }],
    ["the socket is no other account's to connect to", async (t) => {
      assert.equal(fs.statSync(server.socket).mode & 0o777, 0o660);
      if (!asRoot) return t.skip('run as root to connect as other accounts');
      assert.deepEqual([connectAs('nobody', server.socket), connectAs('www-data', server.socket)], ['EACCES', 'connected']);
    }],
  ];
  for (const [name, row] of rows) it(name, row);
});
