// The held jog behind Apache, in front of the simulated controller with its
// real delays: a jog moves while held, and stops on its release, on the
// dead-man when the holds stop, or at its joint's range; what the port saw
// (armctl-trace), the position file, the answer and the history agree. One table.
// Environment: as tests/api_apache.test.js.
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, writeState, writeSettings, writePasswords, basic, API } = require('./apache_server.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const portLog = path.join(DIR || '', 'port.log');
const sleep = (ms) => new Promise((res) => setTimeout(res, ms));
const nowNs = () => process.hrtime.bigint();
const counters = () => fs.readFileSync(path.join(DIR, 'robot_position.dat'), 'utf8').trim().split(/\s+/).map(Number);

// armctl-daemon-sim waits 250 us twice a write cycle (tests/CMakeLists.txt);
// a step of counter 5 (letter S, motor 2) is one cycle.
const DELAY_NS = 250000;
const STEPS_PER_S = 1e9 / (2 * DELAY_NS);
const HOLD_EVERY_MS = 50;
// What the daemon promises: a release ends the run at its next step, the
// dead-man 300 ms after the last hold (watched every 20 ms); with room for a busy machine.
const RELEASE_BOUND_MS = 100;
const DEAD_MAN_MS = 300;
const DEAD_MAN_BOUND_MS = 400;
const S_LIMIT = 1600; // counter 5's upper end

function reset(c) {
  for (const f of ['lock.dat', 'port.log', 'stop-latch.json']) fs.rmSync(path.join(DIR, f), { force: true });
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', c.map((v) => `${v} `).join('') + '\n');
  writeSettings('');
}

// Motor 2's forward steps on the port, from armctl-trace's table.
function motor2Forward() {
  if (!fs.existsSync(portLog)) return 0;
  const r = spawnSync(process.env.ARMCTL_TRACE, [portLog], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  const m = r.stdout.match(/^\s+2\s+(\d+)\s+(\d+)\s+\d+\s+\d+/m);
  return m ? Number(m[1]) : 0;
}
const lastWriteNs = () => fs.readFileSync(portLog, 'utf8').trim().split('\n').map((l) => BigInt(l.split(' ')[0]))
  .reduce((a, b) => (b > a ? b : a), 0n);
const newestJog = async (server) =>
  (await request(server, { method: 'GET', path: `${API}?history` })).json.history.find((e) => e.request.jog);

describe('a held jog behind Apache', { concurrency: false, timeout: 120000 }, () => {
  let server;
  before(async () => {
    reset([0, 0, 0, 0, 0, 0]);
    server = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
  });
  after(async () => server && server.stop());

  // start: counter 5 before; holdMs: how long holds are sent; then "release"
  // or "silence" (no more holds) or "stop"; the end expected; the steps' range, from
  // the time that the holds allow (on a busy machine the simulated delays
  // run long: half the rate at least); and when the port's last write comes
  // after letting go (moving until then, and no longer than promised).
  const within = (s) => [Math.floor(0.5 * s * STEPS_PER_S), Math.ceil(1.1 * s * STEPS_PER_S)];
  const rows = [
    { name: 'held 1 s, released', start: -2000, holdMs: 1000, then: 'release', ended: 'released',
      steps: within(1), lastWrite: [0, RELEASE_BOUND_MS] },
    { name: 'released at once: stops within the bound', start: -2000, holdMs: 0, then: 'release', ended: 'released',
      steps: [0, 0.1 * STEPS_PER_S], lastWrite: [-Infinity, RELEASE_BOUND_MS] },
    { name: 'holds stop: the dead-man ends it', start: -2000, holdMs: 300, then: 'silence', ended: 'dead-man',
      steps: within(0.3 + DEAD_MAN_MS / 1000), lastWrite: [DEAD_MAN_MS - HOLD_EVERY_MS, DEAD_MAN_BOUND_MS] },
    { name: 'STOP ends it', start: -2000, holdMs: 300, then: 'stop', ended: 'stopped',
      steps: within(0.3), lastWrite: [0, RELEASE_BOUND_MS] },
    { name: 'held past the range: ends at its end', start: S_LIMIT - 100, holdMs: 600, then: 'release', ended: 'limit',
      steps: [100, 100], lastWrite: [-Infinity, 0] },
  ];
  for (const row of rows) {
    it(row.name, async () => {
      reset([0, 0, 0, 0, 0, row.start]);
      const before = await newestJog(server);
      const asked = nowNs();
      const started = await jsonPost(server, { jog: { counter: 5, direction: '+' } });
      const startMs = Number(nowNs() - asked) / 1e6;
      assert.equal(started.status, 200, started.text);
      const id = started.json.jog;
      let lastHeld = nowNs();
      for (const end = Date.now() + row.holdMs; Date.now() < end; await sleep(HOLD_EVERY_MS)) {
        const held = await jsonPost(server, { hold: id });
        if (held.status === 404) break; // ended by itself
        assert.equal(held.status, 200, held.text);
        lastHeld = nowNs();
      }
      let letGo = nowNs();
      if (row.then === 'silence') {
        await sleep(DEAD_MAN_BOUND_MS * 2);
        letGo = lastHeld;
        assert.equal((await jsonPost(server, { hold: id })).status, 404, 'the dead-man left it running');
      }
      if (row.then === 'stop') assert.equal((await jsonPost(server, { stop: true })).status, 200);
      const end = await jsonPost(server, { release: id });
      if (row.then === 'stop') assert.equal((await jsonPost(server, { clear: true })).status, 200);
      assert.equal(end.status, 200, end.text);
      const steps = motor2Forward();
      const afterLetGo = steps ? Number(lastWriteNs() - letGo) / 1e6 : 0;
      console.log(`# ${row.name}: started in ${startMs.toFixed(1)} ms, ${steps} steps, the last port write ${afterLetGo.toFixed(1)} ms after letting go`);
      assert.deepEqual(counters(), [0, 0, 0, 0, 0, row.start + steps]);
      assert.deepEqual([end.json.ended, end.json.released, end.json.steps, end.json.counters],
        [row.ended, row.ended === 'released', steps, counters()]);
      assert.ok(steps >= row.steps[0] && steps <= row.steps[1], `${steps} steps, not within ${row.steps}`);
      if (steps) assert.ok(afterLetGo >= row.lastWrite[0] && afterLetGo <= row.lastWrite[1],
        `the last port write ${afterLetGo} ms after letting go, not within ${row.lastWrite}`);
      const entry = await newestJog(server);
      assert.notDeepEqual(entry, before);
      assert.deepEqual([entry.request, entry.status, entry.ended, entry.steps, entry.before[5], entry.after],
        [{ jog: { counter: 5, direction: '+' } }, 200, row.ended, steps, row.start, counters()]);
    });
  }
  it('a jog is refused as a move is: latched, or with no step allowed', async () => {
    reset([0, 0, 0, 0, 0, S_LIMIT]);
    const none = await jsonPost(server, { jog: { counter: 5, direction: '+' } });
    assert.deepEqual([none.status, none.json.reason && none.json.reason.counter], [422, 5], none.text);
    assert.equal((await jsonPost(server, { stop: true })).status, 200);
    assert.equal((await jsonPost(server, { jog: { counter: 5, direction: '-' } })).status, 409);
    assert.equal((await jsonPost(server, { clear: true })).status, 200);
    assert.equal(fs.existsSync(portLog), false);
  });
  it("a jog is its operator's to hold and release; an unknown one is not found", async () => {
    reset([0, 0, 0, 0, 0, -2000]);
    const added = spawnSync('htpasswd', ['-bB', '-C', '5', process.env.ARMCTL_DAEMON_HTPASSWD, 'other', 'other-pw']);
    assert.equal(added.status, 0, String(added.stderr));
    try {
      const id = (await jsonPost(server, { jog: { counter: 5, direction: '+' } })).json.jog;
      const asOther = (value) => jsonPost(server, value, { auth: false,
        headers: { 'Content-Type': 'application/json', Authorization: basic('other', 'other-pw') } });
      const statuses = [await asOther({ hold: id }), await asOther({ release: id }), await jsonPost(server, { hold: id + 1000 })]
        .map((r) => r.status);
      const end = await jsonPost(server, { release: id });
      assert.deepEqual([statuses, end.status, end.json.ended], [[403, 403, 404], 200, 'released']);
    } finally {
      writePasswords();
    }
  });
});
