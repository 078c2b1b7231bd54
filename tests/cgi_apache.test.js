// armctl-cgi behind a real Apache, over HTTP, in front of the simulated
// controller with real step delays: concurrent moves, bad requests, a lock
// held by another program, a refusal's reason, and a stop during a move.
// Environment: ARMCTL_CGI (the CGI built for the simulated controller),
// ARMCTL_CGI_STATE_DIR (that controller's state directory), ARMCTL_TRACE.
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { startApache, request, jsonPost, writeState, BUSY_WAIT_MS } = require('./apache_server.js');

const CGI = process.env.ARMCTL_CGI;
const DIR = process.env.ARMCTL_CGI_STATE_DIR;
const TRACE = process.env.ARMCTL_TRACE;

const positionText = (c) => c.map((v) => `${v} `).join('') + '\n';
const readState = (name) => fs.readFileSync(path.join(DIR, name), 'utf8');
// The process id at the start of lock.dat's holder mark (GET no longer shows it).
function markedHolder() {
  const r = spawnSync('python3', ['-c', 'import os,sys; print(os.getxattr(sys.argv[1], "user.armctl.holder").decode())',
    path.join(DIR, 'lock.dat')], { encoding: 'utf8' });
  return r.status === 0 ? Number(r.stdout.split(' ')[0]) : null;
}
const counters = () => readState('robot_position.dat').trim().split(/\s+/).map(Number);
const portLog = path.join(DIR, 'port.log');

function reset(c) {
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', positionText(c));
  fs.rmSync(portLog, { force: true });
}

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

describe('armctl-cgi behind Apache', { concurrency: false, timeout: 170000 }, () => {
  let server;
  before(async () => {
    assert.ok(CGI && DIR && TRACE, 'set ARMCTL_CGI, ARMCTL_CGI_STATE_DIR and ARMCTL_TRACE');
    reset([0, 0, 0, 0, 0, 0]);
    server = await startApache({ cgi: CGI, stateDir: DIR });
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
    const started = Date.now();
    const answers = await Promise.all(Array.from({ length: 200 }, () => jsonPost(server, { options: ['-G', '1'] })));
    const seconds = (Date.now() - started) / 1000;
    console.log(`# 200 concurrent one-step moves through Apache: ${seconds.toFixed(1)} s`);
    const statuses = answers.map((a) => `${a.status}/${a.json && a.json.status}`);
    assert.deepEqual([...new Set(statuses)], ['200/0']);
    assert.deepEqual(counters(), [200, 0, 0, 0, 0, 0]);
    assert.deepEqual(portSteps()['5'], { forward: 200, backward: 0 });
    assert.equal(readState('lock.dat'), '0\n');
  });

  it('moves nothing for a bad request', async () => {
    reset([5, 0, 0, 0, 0, 0]);
    const json = { 'Content-Type': 'application/json' };
    const move = JSON.stringify({ options: ['-G', '1'] });
    const cases = [
      ['no login', { headers: json, body: move, auth: false }, 401],
      ['wrong password', { headers: Object.assign({ Authorization: `Basic ${Buffer.from(`${server.user}:x`).toString('base64')}` }, json), body: move, auth: false }, 401],
      ['stop without login', { headers: json, body: '{"stop": true}', auth: false }, 401],
      ['PUT', { method: 'PUT', headers: json, body: move }, 405],
      ['DELETE', { method: 'DELETE' }, 405],
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
      if (status !== 401) assert.equal(typeof r.json.error, 'string', `${name}: no JSON error`);
      else assert.equal(r.headers['www-authenticate'], 'Basic realm="armctl"', name);
    }
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
    let holder = null;
    for (let i = 0; i < 200 && holder === null; i++) {
      await new Promise((res) => setTimeout(res, 20));
      const state = (await request(server, { method: 'GET', auth: false })).json;
      assert.equal(state.lock.holder, undefined, 'GET shows the holder');
      if (state.lock.held) holder = markedHolder();
    }
    assert.ok(holder, 'the run never held the lock');
    await new Promise((res) => setTimeout(res, 200));
    const sent = process.hrtime.bigint(); // CLOCK_MONOTONIC, as the port log's times
    const stop = await jsonPost(server, { stop: true });
    assert.equal(stop.status, 200, stop.text);
    assert.equal(stop.json.pid, holder);
    const done = await moving;
    assert.equal(done.json.status, 143, done.text);
    const made = portSteps()['2'];
    assert.ok(made.backward > 0 && made.backward < 3600, `steps ${made.backward}`);
    assert.equal(made.forward, 0);
    assert.deepEqual(counters(), [0, 0, 0, 0, 0, 1600 - made.backward]);
    assert.deepEqual(done.json.counters, counters());
    assert.equal(readState('lock.dat'), '0\n');
    const cgiStart = BigInt(stop.json.received_ns);
    const last = lastWriteNs();
    console.log(`# stop: request sent to last port write ${Number(last - sent) / 1e6} ms; ` +
      `CGI start to last port write ${Number(last - cgiStart) / 1e6} ms`);
    const again = await jsonPost(server, { stop: true });
    assert.equal(again.status, 409, 'a stop with no run under way');
  });
});
