// The page's jog controls and stop in headless Chromium, through Apache and
// armctl-cgi, in front of the simulated controller with real step delays.
// Environment: ARMCTL_CGI, ARMCTL_CGI_STATE_DIR (see tests/cgi_apache.test.js).
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { installPage, launchBrowser } = require('./support.js');
const { startApache, request, writeState } = require('../../tests/apache_server.js');

const DIR = process.env.ARMCTL_CGI_STATE_DIR;
const WAIT_MS = 15000;
const positionText = (c) => c.map((v) => `${v} `).join('') + '\n';
const counters = () => fs.readFileSync(path.join(DIR, 'robot_position.dat'), 'utf8').trim().split(/\s+/).map(Number);

function look(page) {
  return page.evaluate(() => ({
    counters: [...document.getElementById('counters').tBodies[0].rows].map((r) => Number(r.dataset.value)),
    tip: document.getElementById('tip') ? Number(document.getElementById('tip').getAttribute('cx')) : null,
    status: document.getElementById('answer').dataset.status,
    expected: document.getElementById('answer').dataset.expected,
    answer: document.getElementById('answer').textContent,
    held: document.getElementById('lock').dataset.held,
    latched: document.getElementById('latch').dataset.latched,
    latch: document.getElementById('latch-text').textContent,
    marks: Object.fromEntries([...document.querySelectorAll('#jog button')].map((b) => [b.dataset.letter, b.dataset.refused])),
    why: Object.fromEntries([...document.querySelectorAll('#jog button')].map((b) => [b.dataset.letter, b.disabled && b.title])),
  }));
}

async function until(page, want, what) {
  const deadline = Date.now() + WAIT_MS;
  let seen;
  while (Date.now() < deadline) {
    seen = await look(page);
    if (want(seen)) return seen;
    await page.waitForTimeout(50);
  }
  assert.fail(`page did not show ${what} within ${WAIT_MS} ms; it showed ${JSON.stringify(seen)}`);
}

describe('the page drives the arm through armctl-cgi', { concurrency: false, timeout: 150000 }, () => {
  let server, browser, page;
  before(async () => {
    assert.ok(process.env.ARMCTL_CGI && DIR, 'set ARMCTL_CGI and ARMCTL_CGI_STATE_DIR');
    installPage(DIR);
    fs.rmSync(path.join(DIR, 'stop-latch.json'), { force: true });
    writeState(DIR, 'lock.dat', '0\n');
    writeState(DIR, 'robot_position.dat', positionText([0, 0, 0, 0, 0, 0]));
    server = await startApache({ cgi: process.env.ARMCTL_CGI, stateDir: DIR });
    browser = await launchBrowser({ httpCredentials: { username: server.user, password: server.password } });
    page = await browser.newPage();
    await page.goto(server.url);
    await until(page, (s) => s.counters.length === 6, 'the counters');
  });
  after(async () => {
    if (browser) await browser.closeAll();
    if (server) await server.stop();
  });

  it('jogs the shoulder and shows the arm move', async () => {
    const start = await look(page);
    await page.fill('#jog-count-4', '300');
    await page.click('#jog-H');
    const seen = await until(page, (s) => s.status === '0' && s.counters[4] === 300, 'the jog done');
    assert.deepEqual(counters(), [0, 0, 0, 0, 300, 0]);
    assert.notEqual(seen.tip, start.tip, 'the tip did not move');
  });

  it('marks a refusal before sending and shows the server\'s reason', async () => {
    await page.fill('#jog-count-0', '900');
    const marked = await until(page, (s) => s.marks.G === '1', 'G marked refused');
    assert.equal(marked.marks.B, '1', 'B 900 is beyond -800 too');
    assert.equal(marked.marks.H, '0');
    await page.click('#jog-G');
    const seen = await until(page, (s) => s.status === '88', 'the refusal');
    assert.equal(seen.expected, 'refused');
    assert.match(seen.answer, /-G 900 refused: range must be <= 800; it would be 900, beyond by 100/);
    assert.deepEqual(counters(), [0, 0, 0, 0, 300, 0]);
  });

  it('stops a long move', async () => {
    writeState(DIR, 'robot_position.dat', positionText([0, 0, 0, 0, 300, 1600]));
    await until(page, (s) => s.counters[5] === 1600, 'the new counters');
    await page.fill('#jog-count-5', '3600');
    await page.click('#jog-X');
    for (let i = 0; i < 100; i++) {
      const r = await request(server, { method: 'GET', auth: false });
      if (r.json.lock.held) break;
      await page.waitForTimeout(20);
    }
    await page.click('#stop');
    const seen = await until(page, (s) => s.status === '143', 'the stopped move');
    const c = counters();
    assert.ok(c[5] < 1600 && c[5] > -2000, `counter 5 at ${c[5]}`);
    assert.match(seen.answer, new RegExp(`Counters: 0, 0, 0, 0, 300, ${c[5]}`));
  });

  it('shows the STOP latch, holds a jog while it lasts, and clears it', async () => {
    await page.click('#stop');
    const latched = await until(page, (s) => s.latched === '1', 'the latch');
    assert.match(latched.latch, /STOPPED by operator at \d{4}-\d\d-\d\dT/);
    const before = counters();
    await page.fill('#jog-count-4', '10');
    await until(page, (s) => /^latched: stopped by operator at /.test(s.why.N), 'the jog held by the latch');
    assert.deepEqual(counters(), before);
    await page.click('#clear');
    await until(page, (s) => s.latched === '0', 'the latch cleared');
    assert.equal((await request(server, { method: 'GET', auth: false })).json.stopped, false);
    await page.click('#jog-N');
    await until(page, (s) => s.status === '0' && s.counters[4] === before[4] - 10, 'the jog after the clear');
  });
});
