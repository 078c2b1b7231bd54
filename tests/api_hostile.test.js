// armctld behind Apache against hostile clients, one table per concern:
// guesses that try to lock the operator out, to push the operator's count
// out of the table or to beat the limit in parallel; STOPs by a name that
// is not UTF-8, racing clears, and in floods. The oracles are the one right
// password, the daemon's state files and the port log.
// Environment: as tests/api_apache.test.js.
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, writeState, writeSettings, writePasswords, API } = require('./apache_server.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const HTPASSWD = process.env.ARMCTL_DAEMON_HTPASSWD;
const read = (name) => (fs.existsSync(path.join(DIR, name)) ? fs.readFileSync(path.join(DIR, name), 'utf8') : '');
const counters = () => read('robot_position.dat').trim().split(/\s+/).map(Number);
const historyLines = () => read('history.dat').split('\n').filter(Boolean).map((l) => JSON.parse(l));
const basicOf = (pair) => `Basic ${Buffer.from(pair).toString('base64')}`;
const JSON_TYPE = { 'Content-Type': 'application/json' };
const sleep = (ms) => new Promise((res) => setTimeout(res, ms));

function reset(c) {
  for (const f of ['port.log', 'stop-latch.json', 'history.dat', 'history-older.dat'])
    fs.rmSync(path.join(DIR, f), { force: true });
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', c.map((v) => `${v} `).join('') + '\n');
  writeSettings('');
}

describe('armctld against hostile clients', { concurrency: false, timeout: 170000 }, () => {
  let server;
  const right = () => basicOf(`${server.user}:${server.password}`);
  const wrong = () => basicOf(`${server.user}:guess`);
  // A sign-in (GET ?history needs the login) straight to the daemon's socket,
  // from the address that Apache would have named.
  const guess = (user, address) => request(server, {
    daemon: true, method: 'GET', path: `${API}?history`, auth: false,
    headers: { Authorization: basicOf(`${user}:guess`), 'Armctl-Remote-Addr': address },
  }).then((r) => r.status);
  // A daemon that remembers no failures of the rows before.
  const fresh = () => server.restartDaemon(() => fs.rmSync(path.join(DIR, 'login-failures.dat'), { force: true }));
  const checked = (statuses) => {
    assert.ok(statuses.every((s) => s === 401 || s === 429), statuses.join(' '));
    return statuses.filter((s) => s === 401).length;
  };

  before(async () => {
    reset([0, 0, 0, 0, 0, 0]);
    server = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
  });
  after(async () => server && server.stop());

  const logins = [
    ['the operator\'s own tablet moves the arm within 5 s of a flood of guesses for its name', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      await fresh();
      // Stale credentials on reads and STOPs count nothing.
      for (let i = 0; i < 15; i++)
        assert.equal((await request(server, { method: 'GET', auth: false, headers: { Authorization: wrong() } })).status, 200);
      const login = await request(server, { method: 'GET', path: `${API}?history`, auth: false, headers: { Authorization: right() } });
      assert.equal(login.status, 200, 'the reads counted as failures');
      const set = (login.headers['set-cookie'] || [])[0] || '';
      assert.match(set, /^armctl_device=[0-9a-f.]+;/);
      for (const attribute of ['HttpOnly', 'SameSite=Strict']) assert.ok(set.includes(attribute), set);
      const cookie = set.split(';')[0];
      const flood = await Promise.all(Array.from({ length: 40 }, () =>
        request(server, { method: 'GET', path: `${API}?history`, auth: false, headers: { Authorization: wrong() } }).then((r) => r.status)));
      assert.ok(checked(flood) <= 10, flood.join(' '));
      const body = JSON.stringify({ options: ['-G', '3'] });
      const forged = `${cookie.slice(0, -1)}${cookie.endsWith('0') ? '1' : '0'}`;
      for (const c of [undefined, forged])
        assert.equal((await request(server, { body, headers: { ...JSON_TYPE, ...(c ? { Cookie: c } : {}) } })).status, 429, `cookie ${c}`);
      assert.equal(fs.existsSync(path.join(DIR, 'port.log')), false, 'a stopped login moved the arm');
      const t0 = Date.now();
      const moved = await request(server, { body, headers: { ...JSON_TYPE, Cookie: cookie } });
      assert.deepEqual([moved.status, moved.json && moved.json.status], [200, 0], moved.text);
      assert.ok(Date.now() - t0 < 5000, `${Date.now() - t0} ms`);
      assert.deepEqual(counters(), [3, 0, 0, 0, 0, 0]);
    }],
    ['failures for 720 other names from 72 other addresses never free the operator\'s count', async () => {
      await fresh();
      const operator = [];
      for (let round = 0; round < 3; round++) {
        for (let i = 0; i < 5; i++) operator.push(await guess(server.user, `10.${round}.0.${i}`));
        for (let a = 0; a < 24; a++)
          await Promise.all(Array.from({ length: 10 }, (_, n) => guess(`other-${round}-${a}-${n}`, `10.9.${round}.${a}`)));
      }
      assert.ok(checked(operator) <= 10, operator.join(' '));
    }],
    ['60 parallel guesses from one address get at most 10 checks', async () => {
      await fresh();
      const statuses = await Promise.all(Array.from({ length: 60 }, () => guess(server.user, '10.7.7.7')));
      assert.ok(checked(statuses) <= 10, statuses.join(' '));
    }],
  ];
  for (const [name, row] of logins) it(name, row);

  const stops = [
    ['a STOP by a name that is not UTF-8 latches, ends the run, and is stored escaped', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      const latin = Buffer.from([0x6a, 0xf6, 0x72, 0x67]); // Latin-1 "jörg"
      const hash = spawnSync('htpasswd', ['-nbB', '-C', '5', 'x', 'latin-pw'], { encoding: 'utf8' }).stdout.trim().slice(2);
      fs.appendFileSync(HTPASSWD, Buffer.concat([latin, Buffer.from(`:${hash}\n`)]));
      const auth = basicOf(Buffer.concat([latin, Buffer.from(':latin-pw')]));
      const shown = 'j\\xF6rg';
      try {
        // About 2.6 s of steps.
        const moving = jsonPost(server, { options: ['-S', '1600', '-X', '3600'] });
        for (let r, end = Date.now() + 10000; !(r && r.json.run); await sleep(20)) {
          assert.ok(Date.now() < end, 'the move never started');
          r = await request(server, { method: 'GET' });
        }
        const stop = await request(server, { body: '{"stop":true}', auth: false, headers: { ...JSON_TYPE, Authorization: auth } });
        assert.deepEqual([stop.status, stop.json.stopped, stop.json.stopped_by, stop.json.run_stopped], [200, true, shown, true], stop.text);
        assert.notEqual((await moving).json.status, 0, 'the move ran to its end');
        assert.equal(JSON.parse(read('stop-latch.json')).by, shown);
        assert.ok(historyLines().some((e) => e.user === shown && e.request.stop), 'no STOP entry by the name');
        const who = await request(server, { method: 'GET', path: `${API}?whoami`, auth: false, headers: { Authorization: auth } });
        assert.deepEqual([who.status, who.json.user], [200, shown]);
      } finally {
        writePasswords();
      }
    }],
    ['a STOP racing a clear answers 200 only when it latched', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      for (let i = 0; i < 40; i++) {
        const [stop, clear] = await Promise.all([jsonPost(server, { stop: true }, { auth: false }), jsonPost(server, { clear: true })]);
        assert.deepEqual([stop.status, stop.json.stopped, clear.status], [200, true, 200], `${i}: ${stop.text} ${clear.text}`);
      }
    }],
    ['a flood of STOPs keeps the moves in the history, and back still works', async () => {
      reset([0, 0, 0, 0, 0, 0]);
      assert.equal((await jsonPost(server, { options: ['-G', '7'] })).json.status, 0);
      for (let batch = 0; batch < 15; batch++)
        await Promise.all(Array.from({ length: 20 }, () => jsonPost(server, { stop: true }, { auth: false })));
      for (let i = 0; i < 60; i++) {
        await jsonPost(server, { clear: true });
        await jsonPost(server, { stop: true }, { auth: false });
      }
      const lines = historyLines();
      const anonymous = lines.filter((e) => e.user === 'not logged in');
      assert.ok(anonymous.length <= 50, `${anonymous.length} entries without a login in ${lines.length}`);
      assert.equal(anonymous.reduce((n, e) => n + 1 + (e.repeats || 0), 0), 360, 'STOPs lost from the count');
      assert.ok(lines.some((e) => e.request.options && e.status === 200), 'the move was pushed out');
      await jsonPost(server, { clear: true });
      const back = await jsonPost(server, { back: true });
      assert.equal(back.status, 200, back.text);
      assert.deepEqual(counters(), [0, 0, 0, 0, 0, 0]);
    }],
  ];
  for (const [name, row] of stops)
    it(name, async () => {
      await fresh(); // the guesses above stopped the operator's name
      await row();
    });
});
