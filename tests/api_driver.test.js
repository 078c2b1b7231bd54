// One driver at a time, behind a real Apache in front of the simulated
// controller: another operator's moves refused and moving nothing while
// STOP latches, the take-over (an instructor's at once, anyone else's asked,
// given or refused), and a drive let go when the driver's page is gone.
// Environment: as tests/api_apache.test.js.
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, followEvents, writeState, writeSettings, writePasswords, API } =
  require('./apache_server.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const counters = () => fs.readFileSync(path.join(DIR, 'robot_position.dat'), 'utf8').trim().split(/\s+/).map(Number);
const portLog = path.join(DIR || '', 'port.log');
const sleep = (ms) => new Promise((res) => setTimeout(res, ms));
// The daemon lets an ask or a gone driver's drive go after 30 s; it looks
// at least once a second while a stream is open. Behind the proxy it learns
// of a closed page at its next writes to it, a second or two later.
const GONE_MS = 30000;
const GONE_SLACK_MS = 4000;
const LATE_SLACK_MS = 8000;
const START = [10, 20, 30, 40, 50, 60];

function reset() {
  for (const f of ['port.log', 'stop-latch.json']) fs.rmSync(path.join(DIR, f), { force: true });
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', START.map((v) => `${v} `).join('') + '\n');
  writeSettings('');
}

describe('one driver at a time', { concurrency: false, timeout: 150000 }, () => {
  let a; let b;
  const control = (who, value) => jsonPost(who, Object.assign({ control: value[0] }, value[1] || {}));
  const stateAs = async (who, auth = true) => (await request(who, { method: 'GET', auth })).json;
  before(async () => {
    assert.ok(process.env.ARMCTL_DAEMON && DIR, 'set ARMCTL_DAEMON and ARMCTL_DAEMON_STATE_DIR');
    reset();
    a = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
    b = Object.assign({}, a, { user: 'trainee', password: 'trainee-password' });
    const line = spawnSync('htpasswd', ['-nbB', '-C', '5', b.user, b.password], { encoding: 'utf8' });
    assert.equal(line.status, 0, line.stderr);
    fs.appendFileSync(process.env.ARMCTL_DAEMON_HTPASSWD, line.stdout.trim() + '\n');
  });
  after(async () => {
    writePasswords();
    if (a) await a.stop();
  });

  const rows = [
    ["the driver's alone to move: the other's moves answer 409 naming the driver and move nothing; STOP latches", async () => {
      reset();
      assert.deepEqual((await control(a, ['take'])).json, { control: { driver: 'operator' } });
      try {
        assert.deepEqual([(await stateAs(b)).control, (await stateAs(b, false)).control], [{ driver: 'operator' }, { driven: true }]);
        const held = [{ options: ['-G', '5'] }, { goto: { counters: [0, 0, 0, 0, 0, 0] } }, { back: true },
          { reference: [0, 0, 0, 0, 0, 0] }, { play: 'a sequence' }, { control: 'take' }];
        for (const body of held) {
          const r = await jsonPost(b, body);
          assert.deepEqual([r.status, r.json.driver], [409, 'operator'], `${JSON.stringify(body)}: ${r.text}`);
        }
        assert.deepEqual([fs.existsSync(portLog), counters()], [false, START]);
        assert.equal((await jsonPost(b, { stop: true })).status, 200);
        assert.equal((await stateAs(a)).stopped_by, 'trainee');
        assert.equal((await jsonPost(b, { clear: true })).status, 409, 'the other cleared the driver\'s stop');
        assert.equal((await jsonPost(a, { clear: true })).status, 200);
        assert.equal((await jsonPost(a, { options: ['-G', '5'] })).json.status, 0);
        assert.equal(counters()[0], START[0] + 5);
      } finally {
        assert.deepEqual((await control(a, ['release'])).json, { control: null });
      }
      assert.equal((await stateAs(b)).control, null);
      assert.equal((await jsonPost(b, { options: ['-G', '1'] })).json.status, 0, 'nobody drives: anyone moves');
    }],
    ['taking over: an instructor at once and in the history; anyone else asks, and is given or refused', async () => {
      reset();
      const steps = [
        // who, request, status, the driver then, the asker then
        [a, ['take'], 200, 'operator', undefined],
        [b, ['take', { from: 'nobody' }], 409, 'operator', undefined],
        [b, ['take', { from: 'operator' }], 202, 'operator', 'trainee'],
        [b, ['give', { to: 'trainee' }], 409, 'operator', 'trainee'],
        [a, ['give', { to: 'trainee' }], 200, 'trainee', undefined],
        [a, ['take', { from: 'trainee' }], 202, 'trainee', 'operator'],
        [b, ['refuse'], 200, 'trainee', undefined],
        ['instructors = operator\n'],
        [a, ['take', { from: 'trainee' }], 200, 'operator', undefined],
      ];
      try {
        for (const [who, value, status, driver, asker] of steps) {
          if (typeof who === 'string') { writeSettings(who); continue; }
          const r = await control(who, value);
          const seen = (await stateAs(a)).control;
          assert.deepEqual([r.status, seen.driver, seen.asked_by], [status, driver, asker], `${who.user} ${value}: ${r.text}`);
          if (asker) assert.ok(Math.abs(Date.parse(seen.asked_at) - Date.now()) < 5000, seen.asked_at);
        }
        const [newest] = (await request(a, { method: 'GET', path: `${API}?history` })).json.history;
        assert.deepEqual([newest.user, newest.request, newest.status], ['operator', { control: 'take', from: 'trainee' }, 200]);
      } finally {
        await control((await stateAs(a)).control.driver === 'operator' ? a : b, ['release']);
      }
    }],
    ["an unanswered ask is refused, and the drive let go, 30 s after the driver's page went away", async () => {
      reset();
      assert.equal((await control(a, ['take'])).status, 200);
      const page = await followEvents(a, { auth: true });
      let closed;
      try {
        assert.equal((await control(b, ['take', { from: 'operator' }])).status, 202);
        await sleep(GONE_MS + GONE_SLACK_MS);
        // The ask is refused; the open stream kept the drive through the driver's silence.
        assert.deepEqual([(await stateAs(b)).control, page.events.at(-1).state.control],
          [{ driver: 'operator' }, { driver: 'operator' }]);
      } finally {
        page.close();
        closed = Date.now();
      }
      await sleep(GONE_MS - GONE_SLACK_MS);
      assert.deepEqual((await stateAs(b)).control, { driver: 'operator' }, 'let go too early');
      while ((await stateAs(b)).control !== null && Date.now() - closed < GONE_MS + LATE_SLACK_MS) await sleep(250);
      const took = Date.now() - closed;
      console.log(`# the drive let go ${took} ms after the driver's page closed`);
      assert.ok(took < GONE_MS + LATE_SLACK_MS, `still driven ${took} ms after the page closed`);
    }],
  ];
  for (const [name, row] of rows) it(name, row);
});
