// The page's jog controls and stop in headless Chromium, through Apache and
// armctld, in front of the simulated controller with real step delays.
// Environment: ARMCTL_DAEMON, ARMCTL_DAEMON_STATE_DIR (see tests/api_apache.test.js).
'use strict';

const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const { installPage, launchBrowser, positionText, until: untilShown } = require('./support.js');
const { startApache, request, jsonPost, writeState, writePasswords, API } = require('../../tests/apache_server.js');
const A = require('../arm.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const WAIT_MS = 15000;
const counters = () => fs.readFileSync(path.join(DIR, 'robot_position.dat'), 'utf8').trim().split(/\s+/).map(Number);

function look(page) {
  return page.evaluate(() => ({
    counters: [...document.getElementById('counters').tBodies[0].rows].map((r) => Number(r.dataset.value)),
    tip: document.getElementById('tip') ? Number(document.getElementById('tip').getAttribute('cx')) : null,
    status: document.getElementById('answer').dataset.status,
    expected: document.getElementById('answer').dataset.expected,
    answer: document.getElementById('answer').textContent,
    held: document.getElementById('lock').dataset.held,
    badge: document.getElementById('badge').dataset.state,
    expectedNow: document.getElementById('expected').dataset.counters,
    login: document.getElementById('login-state').dataset.login,
    loginText: document.getElementById('login-state').textContent,
    latched: document.getElementById('latch').dataset.latched,
    latch: document.getElementById('latch-text').textContent,
    drive: document.getElementById('drive-state').textContent,
    stopDisabled: document.getElementById('stop').disabled,
    plan: document.getElementById('plan').dataset.state,
    ghostTip: (document.getElementById('ghost-tip') || { dataset: {} }).dataset.tip,
    marks: Object.fromEntries(
      [...document.querySelectorAll('#jog button')].map((b) => [b.dataset.letter, b.dataset.refused]),
    ),
    why: Object.fromEntries(
      [...document.querySelectorAll('#jog button')].map((b) => [b.dataset.letter, b.disabled && b.title]),
    ),
  }));
}

const until = (page, want, what) => untilShown(look, page, want, what, WAIT_MS);

describe('the page drives the arm through armctld', { concurrency: false, timeout: 150000 }, () => {
  let server, browser, page;
  before(async () => {
    assert.ok(process.env.ARMCTL_DAEMON && DIR, 'set ARMCTL_DAEMON and ARMCTL_DAEMON_STATE_DIR');
    installPage(DIR);
    fs.rmSync(path.join(DIR, 'stop-latch.json'), { force: true });
    writeState(DIR, 'lock.dat', '0\n');
    writeState(DIR, 'robot_position.dat', positionText([0, 0, 0, 0, 0, 0]));
    server = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
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

  // Holding the shoulder up by its key and by its button, and letting go.
  const holds = [
    ['ArrowUp', (p) => p.keyboard.down('ArrowUp'), (p) => p.keyboard.up('ArrowUp')],
    [
      'the button',
      async (p) => {
        const box = await p.locator('#jog-H').boundingBox();
        await p.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
        await p.mouse.down();
      },
      (p) => p.mouse.up(),
    ],
  ];
  for (const [how, press, release] of holds)
    it(`holding ${how} moves the shoulder; letting go stops it where the port log says`, async () => {
      const log = path.join(DIR, 'port.log');
      fs.rmSync(log, { force: true });
      const start = counters();
      await page.evaluate(() => document.activeElement && document.activeElement.blur());
      await press(page);
      await until(page, (s) => s.badge !== 'idle' || s.answer.includes('hold'), 'the jog under way');
      await new Promise((res) => setTimeout(res, 500));
      await release(page);
      const seen = await until(page, (s) => /steps/.test(s.answer) && s.counters[4] !== start[4], 'the jog let go');
      const trace = spawnSync(process.env.ARMCTL_TRACE, [log], { encoding: 'utf8' });
      const m = trace.stdout.match(/^\s+6\s+(\d+)\s+(\d+)/m);
      assert.ok(m, trace.stdout + trace.stderr);
      const moved = start.slice();
      moved[4] += Number(m[1]) - Number(m[2]);
      assert.ok(Number(m[1]) > 0 && Number(m[2]) === 0, trace.stdout);
      assert.deepEqual([counters(), seen.counters], [moved, moved]);
      await new Promise((res) => setTimeout(res, 300));
      assert.deepEqual(counters(), moved, 'the shoulder went on after letting go');
      writeState(DIR, 'robot_position.dat', positionText(start)); // as the rows after expect
    });

  it("marks a refusal before sending and shows the server's reason", async () => {
    await page.fill('#jog-count-0', '900');
    // Each letter's verdict is an answer of its own: B 900 is beyond -800 too.
    const marked = await until(page, (s) => s.marks.G === '1' && s.marks.B === '1', 'G and B marked refused');
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
    await until(page, (s) => s.plan === 'allowed', 'the clear previewed');
    await page.click('#plan-go');
    await until(page, (s) => s.latched === '0', 'the latch cleared');
    assert.equal((await request(server, { method: 'GET', auth: false })).json.stopped, false);
    await page.click('#jog-N');
    await until(page, (s) => s.status === '0' && s.counters[4] === before[4] - 10, 'the jog after the clear');
  });

  it('saves a pose, names as the daemon takes them, jogs away and goes back to the pose', async () => {
    // While a run holds the lock the page saves no pose (its counters are from before the run).
    await until(page, (s) => s.held === '0', 'the lock free');
    for (const name of ['x', 'x'.repeat(32), 'x'.repeat(33), 'a/b', 'é', 'home', '']) {
      // The field keeps no more characters than the daemon takes: it sends what it keeps.
      await page.fill('#pose-name', name);
      const [kept, pageTakes] = await page.$eval('#pose-save', (b) => [
        document.getElementById('pose-name').value,
        !b.disabled,
      ]);
      const taken = await jsonPost(server, { save_pose: kept });
      assert.equal(pageTakes, taken.status === 200, `${JSON.stringify(kept)}: the daemon answered ${taken.status}`);
    }
    const saved = counters();
    await page.fill('#pose-name', 'teach 1');
    await page.click('#pose-save');
    await page.fill('#jog-count-1', '200');
    await page.click('#jog-V');
    await until(page, (s) => s.counters[1] === saved[1] + 200, 'the jog away');
    await page.click('#poses button[data-act="go"][data-name="teach 1"]');
    await until(page, (s) => s.plan === 'allowed', 'the move previewed');
    await page.click('#plan-go');
    await until(page, (s) => s.status === '0' && s.counters.join() === saved.join(), 'the arm back at the pose');
    assert.deepEqual(counters(), saved);
  });

  it("goes back to where a history entry started, from the history's timeline", async () => {
    await until(page, (s) => s.held === '0', 'the lock free');
    const start = counters();
    await page.fill('#jog-count-1', '150');
    await page.click('#jog-V');
    await until(page, (s) => s.counters[1] === start[1] + 150, 'the first jog');
    await page.fill('#jog-count-1', '50');
    await page.click('#jog-V');
    await until(page, (s) => s.counters[1] === start[1] + 200, 'the second jog');
    await page.click('#history-load');
    // The older jog's entry: the second "go back here" of the newest first list.
    const back = '#history button[data-act="go"] >> nth=1';
    await page.waitForSelector(back);
    await page.click(back);
    await until(page, (s) => s.plan === 'allowed', 'the move previewed');
    await page.click('#plan-go');
    await until(
      page,
      (s) => s.status === '0' && s.counters.join() === start.join(),
      'the arm where the first jog started',
    );
    assert.deepEqual(counters(), start);
  });

  it('moves the tip to a point clicked on the picture', async () => {
    // The pixel nearest the arm point (15, 4), and the arm point under that
    // pixel, by the drawing's view box and its box on the screen (meet, centred),
    // with the shoulder pivot at the first point of the drawn arm.
    const { px, target } = await page.evaluate(() => {
      window.scrollTo(0, 0);
      const view = document.getElementById('arm-view');
      const r = view.getBoundingClientRect();
      const vb = view.viewBox.baseVal;
      const k = Math.min(r.width / vb.width, r.height / vb.height);
      const o = { x: r.x + (r.width - vb.width * k) / 2, y: r.y + (r.height - vb.height * k) / 2 };
      const pivot = document.getElementById('arm-path').points.getItem(0);
      const at = (u) => ({ x: o.x + (u.x - vb.x) * k, y: o.y + (u.y - vb.y) * k });
      const p = at({ x: pivot.x + 15, y: pivot.y - 4 });
      const click = { x: Math.round(p.x), y: Math.round(p.y) };
      const back = { x: vb.x + (click.x - o.x) / k, y: vb.y + (click.y - o.y) / k };
      return { px: click, target: [back.x - pivot.x, pivot.y - back.y] };
    });
    await page.mouse.click(px.x, px.y);
    const planned = await until(page, (s) => s.plan === 'allowed', 'an allowed plan');
    const ghost = planned.ghostTip.split(',').map(Number);
    assert.ok(
      Math.hypot(ghost[0] - target[0], ghost[1] - target[1]) <= A.TIP_TOLERANCE,
      `ghost tip ${ghost}, target ${target}`,
    );
    await page.click('#plan-go');
    await until(page, (s) => s.status === '0' && s.plan === 'none', 'the move done');
    const tip = A.poseOf(counters()).total;
    assert.ok(Math.hypot(tip.x - target[0], tip.y - target[1]) <= 0.02, `tip ${tip.x},${tip.y}, target ${target}`);
    // Out of reach on the page exactly where the daemon's plan says so, around the wrist's base.
    const pose = A.poseOf(counters());
    for (const [r, deg] of [
      [14.97, 0],
      [15.03, 0],
      [14.97, 40],
      [15.03, 40],
      [15.03, -30],
    ]) {
      const t = [
        pose.wrist.x + r * Math.cos((deg * Math.PI) / 180),
        pose.wrist.y + r * Math.sin((deg * Math.PI) / 180),
      ];
      const plan = await jsonPost(server, { plan: { tip: t } });
      const pageSays = /^out of reach/.test(A.tipTargetProblem(pose, t[0], t[1]));
      assert.equal(pageSays, plan.json.reason === 'out of reach', `${t}: ${plan.text}`);
    }
  });

  it('opened at localhost, names the address to open and claims no login', async () => {
    const other = await browser.newPage();
    await other.goto(server.url.replace('127.0.0.1', 'localhost'));
    await other.waitForFunction(() => /open the page at/.test(document.getElementById('error').textContent));
    const seen = await other.evaluate(() => [
      document.getElementById('error').textContent,
      document.getElementById('login-state').dataset.login,
      document.getElementById('jog-H').disabled,
    ]);
    await other.close();
    assert.ok(
      seen[0].includes(`open the page at ${server.url} (it was opened at http://localhost:${server.port})`),
      seen[0],
    );
    assert.deepEqual(seen.slice(1), ['address', true]);
  });
  // ---- the operator's panel during a long move ------------------------------

  const VIEWPORTS = [
    { width: 1366, height: 768 },
    { width: 390, height: 844 },
  ];
  const MOVE_S = 5;
  const get = (query = '') => request(server, { method: 'GET', path: `${API}${query}`, auth: true });

  // A move of counter 5 from 1600 downward that the daemon estimates at about
  // five seconds, started from the page; resolves once the run holds the lock.
  async function startLongMove() {
    await jsonPost(server, { clear: true });
    writeState(DIR, 'robot_position.dat', positionText([0, 0, 0, 0, 300, 1600]));
    await until(page, (s) => s.counters[5] === 1600 && s.held === '0' && s.latched === '0', 'the start of the move');
    const per1000 = (await jsonPost(server, { estimate: ['-X', '1000'] })).json.estimate_s;
    const count = Math.min(3600, Math.round((MOVE_S / per1000) * 1000));
    await page.fill('#jog-count-5', String(count));
    await page.click('#jog-X');
    for (let i = 0; i < 200 && !(await get()).json.lock.held; i++) await page.waitForTimeout(20);
    return count;
  }

  // The browser sends its login once the daemon has asked for it.
  async function logIn(p) {
    if ((await look(p)).login !== 'in') await p.click('#login');
    await until(p, (s) => s.login === 'in', 'logged in');
  }

  // STOP's box against the viewport, scrolled to the foot of the page.
  const stopInView = () =>
    page.evaluate(() => {
      window.scrollTo(0, document.documentElement.scrollHeight);
      const r = document.getElementById('stop').getBoundingClientRect();
      return r.top >= 0 && r.left >= 0 && r.bottom <= innerHeight && r.right <= innerWidth;
    });

  for (const viewport of VIEWPORTS) {
    it(`keeps STOP in the viewport through a long move at ${viewport.width}×${viewport.height}, and Escape stops it`, async () => {
      await page.setViewportSize(viewport);
      const count = await startLongMove();
      const seen = [];
      for (let i = 0; i < 4; i++) {
        seen.push(await stopInView());
        await page.waitForTimeout(200);
      }
      assert.ok((await get()).json.lock.held, 'the move ended before Escape');
      await page.focus('#jog-count-0');
      await page.keyboard.press('Escape');
      const stopped = await until(page, (s) => s.status === '143', 'the stopped move');
      assert.deepEqual(seen, [true, true, true, true]);
      const c = counters();
      assert.ok(c[5] < 1600 && c[5] > 1600 - count, `counter 5 at ${c[5]}`);
      assert.deepEqual(stopped.counters, c);
      assert.equal((await until(page, (s) => s.badge === 'STOPPED', 'the badge latched')).latched, '1');
    });
  }

  it('shows the run moving on the badge and the expected pose, then settles on the saved counters', async () => {
    await page.setViewportSize(VIEWPORTS[0]);
    const count = await startLongMove();
    const during = [];
    for (let state = await get(); state.json.lock.held; state = await get()) {
      const shown = await look(page);
      during.push({ badge: shown.badge, expected: shown.expectedNow, run: state.json.run });
      await page.waitForTimeout(150);
    }
    const end = 1600 - count;
    const settled = await until(page, (s) => s.status === '0' && s.badge === 'IDLE', 'the run ended');
    assert.ok(
      during.some((d) => d.badge === 'MOVING'),
      `badges ${during.map((d) => d.badge)}`,
    );
    const expected = [...new Set(during.map((d) => d.expected).filter(Boolean))].map((e) => e.split(',').map(Number));
    assert.ok(expected.length >= 2, `expected counters shown: ${JSON.stringify(expected)}`);
    for (const e of expected) {
      assert.deepEqual(e.slice(0, 5), [0, 0, 0, 0, 300]);
      assert.ok(e[5] <= 1600 && e[5] >= end, `expected counter 5 at ${e[5]}`);
    }
    assert.ok(
      during.some((d) => d.run && d.run.options === 1 && d.run.option === 1),
      'GET never served the run',
    );
    assert.deepEqual(counters(), [0, 0, 0, 0, 300, end]);
    assert.deepEqual(settled.counters, counters());
    assert.equal(settled.expectedNow, '');
  });

  it('latches STOP from a browser that has no login', async () => {
    await jsonPost(server, { clear: true });
    const stranger = await launchBrowser();
    try {
      const other = await stranger.newPage();
      await other.goto(server.url);
      await until(other, (s) => s.counters.length === 6, 'the counters');
      await other.click('#stop');
      const seen = await until(other, (s) => s.badge === 'STOPPED', 'the latch');
      assert.equal(seen.latched, '1');
      const state = (await request(server, { method: 'GET', auth: false })).json;
      assert.equal(state.stopped, true);
      assert.equal(state.stopped_by, undefined, 'who stopped is shown to a reader without a login');
      assert.doesNotMatch(seen.latch, /not logged in/);
    } finally {
      await stranger.closeAll();
    }
    await logIn(page);
    // A logged-in reader is told who latched: here, no login at all.
    await until(
      page,
      (s) => s.latched === '1' && /^STOPPED by not logged in at /.test(s.latch),
      "who latched, on the operator's page",
    );
    await jsonPost(server, { clear: true });
  });

  it('tells who is logged in after a reload, and a wrong password from no login', async () => {
    await logIn(page);
    await page.reload();
    const seen = await until(page, (s) => s.login === 'in', 'logged in after the reload');
    assert.match(seen.loginText, new RegExp(`as ${server.user}$`));
    const wrong = await launchBrowser({ httpCredentials: { username: server.user, password: `${server.password}x` } });
    try {
      const other = await wrong.newPage();
      await other.goto(server.url);
      await until(other, (s) => s.login === 'none', 'no login sent yet');
      await other.click('#login');
      await until(other, (s) => s.login === 'wrong', 'the wrong password told');
    } finally {
      await wrong.closeAll();
    }
  });

  it('exports the taught work and imports it into an empty store unchanged', async () => {
    await jsonPost(server, { save_pose: 'export a' });
    await jsonPost(server, {
      save_sequence: {
        name: 'export seq',
        steps: [
          { pose: 'export a', pause_ms: 100 },
          { pose: 'home', pause_ms: 0 },
        ],
        repeat: 2,
      },
    });
    const taught = async () => [(await get('?poses')).json.poses, (await get('?sequences')).json.sequences];
    const before = await taught();
    assert.ok(before[0].length > 1 && before[1].length > 0, JSON.stringify(before));
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#export')]);
    const file = path.join(DIR, '..', 'taught-export.json');
    await download.saveAs(file);
    fs.rmSync(path.join(DIR, 'poses.dat'));
    assert.deepEqual(
      (await get('?poses')).json.poses.map((p) => p.name),
      ['home'],
    );
    await page.setInputFiles('#import-file', file);
    await until(page, (s) => s.plan === 'allowed', 'the import previewed');
    const preview = await page.$eval('#plan-text', (e) => e.textContent);
    for (const p of before[0].filter((x) => !x.builtin))
      assert.ok(preview.includes(p.name), `${p.name} not in ${preview}`);
    await page.click('#plan-go');
    await until(page, (s) => s.plan === 'none' && s.status === 'http-200', 'the import done');
    assert.deepEqual(await taught(), before);
    fs.rmSync(file);
  });
  it("while one page drives, the other's jog is refused naming the driver, and its STOP latches", async () => {
    const trainee = { user: 'trainee', password: 'trainee-password' };
    const line = spawnSync('htpasswd', ['-nbB', '-C', '5', trainee.user, trainee.password], { encoding: 'utf8' });
    fs.appendFileSync(process.env.ARMCTL_DAEMON_HTPASSWD, line.stdout.trim() + '\n');
    const second = await launchBrowser({ httpCredentials: { username: trainee.user, password: trainee.password } });
    try {
      await logIn(page);
      await page.click('#drive-take');
      await until(page, (s) => s.drive === 'You drive', 'the drive taken');
      const other = await second.newPage();
      await other.goto(server.url);
      await logIn(other);
      await other.fill('#jog-count-4', '10');
      const gated = await until(
        other,
        (s) => s.drive === 'operator drives' && s.why.N === 'operator drives',
        'the jog gated',
      );
      assert.equal(gated.stopDisabled, false);
      const before = counters();
      // A page whose gate is stale is refused by the server, which names the driver.
      await other.evaluate(() => {
        const b = document.getElementById('jog-N');
        b.disabled = false;
        b.click();
      });
      const refused = await until(other, (s) => s.status === 'http-409', 'the refusal');
      assert.match(refused.answer, /operator drives/);
      assert.deepEqual(counters(), before);
      await other.click('#stop');
      await until(other, (s) => s.latched === '1', 'the latch');
      assert.equal((await request(server, { method: 'GET' })).json.stopped_by, 'trainee');
    } finally {
      await second.closeAll();
      writePasswords();
      await jsonPost(server, { clear: true });
      await jsonPost(server, { control: 'release' });
    }
  });
});
