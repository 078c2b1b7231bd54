// The page in headless Chromium over a served state directory (the test
// server answers the API's state GET and stream from its files): first one
// the test writes by hand, then how the page follows the server's stream,
// then the simulated controller's own (ARMCTL and ARMCTL_STATE_DIR; both
// state files and the page are put there).
'use strict';

const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const A = require('../arm.js');
const {
  installPage,
  linesAgree,
  scratchDir,
  startServer,
  launchBrowser,
  positionText,
  until: untilShown,
} = require('./support.js');

const WAIT_MS = 10000; // several polls of the page
// The page's own timings: when a picture is stale, how often it polls.
const pageConstant = (name) =>
  Number(new RegExp(`\\b${name} = (\\d+);`).exec(fs.readFileSync(path.join(__dirname, '../core.js'), 'utf8'))[1]);
const STALE_MS = pageConstant('STALE_MS');
const POLL_MS = pageConstant('POLL_MS');
const TEST_MS = 90000;

// Everything a reader of the page can see, in one look.
function look(page) {
  return page.evaluate(() => {
    const text = (id) => document.getElementById(id).textContent;
    const rows = (id) => [...document.getElementById(id).tBodies[0].rows];
    const tip = document.getElementById('tip');
    const armPath = document.getElementById('arm-path');
    return {
      state: document.body.dataset.state,
      badge: document.getElementById('badge').dataset.state,
      badgeText: text('badge-text'),
      held: document.getElementById('lock').dataset.held,
      lockText: text('lock'),
      note: text('pose-note'),
      freshness: text('freshness'),
      error: document.getElementById('error').hidden ? null : text('error'),
      armParts: document.getElementById('arm').childElementCount,
      tip: tip ? [Number(tip.getAttribute('cx')), -Number(tip.getAttribute('cy'))] : null,
      path: armPath ? armPath.getAttribute('points') : null,
      report: rows('report').map((r) => r.dataset.line),
      counters: rows('counters').map((r) => Number(r.dataset.value)),
      limits: rows('limits').map((r) => r.dataset.status),
      overlay: text('overlay'),
      armOpacity: Number(getComputedStyle(document.getElementById('arm')).opacity),
      tablesOpacity: Math.max(
        ...[...document.querySelectorAll('.side tbody')].map((t) => Number(getComputedStyle(t).opacity)),
      ),
    };
  });
}

const until = (page, want, what) => untilShown(look, page, want, what, WAIT_MS);
const sameReport = (shown, lines) => shown.length === 5 && shown.every((l, i) => linesAgree(l, lines[i]));

function expectPose(seen, counters) {
  const pose = A.poseOf(counters);
  assert.deepEqual(seen.report, A.reportLines(pose));
  assert.deepEqual(seen.counters, counters);
  // The tip is drawn at the shoulder pivot, atop the base, plus the resultant.
  assert.ok(Math.abs(seen.tip[0] - pose.total.x) < 1e-3, `tip x ${seen.tip[0]}`);
  assert.ok(Math.abs(seen.tip[1] - (A.BASE_LENGTH + pose.total.y)) < 1e-3, `tip y ${seen.tip[1]}`);
}

describe('the page over a state directory written by hand', { concurrency: false, timeout: 4 * TEST_MS }, () => {
  let dir, server, browser, page;
  const write = (name, text) => fs.writeFileSync(path.join(dir, name), text);

  before(async () => {
    dir = scratchDir('armctl-web-state-');
    installPage(dir);
    write('lock.dat', '0\n');
    write('robot_position.dat', positionText([0, 0, 0, 0, 0, 0]));
    server = await startServer(dir);
    browser = await launchBrowser();
    page = await browser.newPage();
    await page.goto(server.url);
  });

  after(async () => {
    if (browser) await browser.closeAll();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  it('draws the arm of the position file', { timeout: TEST_MS }, async () => {
    const seen = await until(page, (s) => s.state === 'ok', 'a pose');
    expectPose(seen, [0, 0, 0, 0, 0, 0]);
    assert.deepEqual(seen.report, ['0,9.5,9.5,0', '7.5,0,7.5,0', '7.5,0,7.5,0', '4.5,0,4.5,0', '19.5,0,19.5,0']);
    assert.equal(seen.held, '0');
    assert.equal(seen.error, null);
    assert.match(seen.freshness, /^Live from the arm's server, last state \S+$/);
    const shown = await page.evaluate(() =>
      ['pose-name', 'sequence-name', 'sequence-repeat', 'step-pause', 'jog-count-0']
        .map((id) => document.getElementById(id))
        .map((e) => (e.type === 'text' ? e.maxLength : Number(e.max))),
    );
    assert.deepEqual(
      shown,
      ['max_name_length', 'max_name_length', 'max_repeat', 'max_pause_ms', 'max_count'].map((k) => A.REQUESTS[k]),
    );
  });

  it('redraws when the position file changes', { timeout: TEST_MS }, async () => {
    const before_ = await look(page);
    write('robot_position.dat', positionText([0, -500, 0, 0, 1000, 0]));
    const seen = await until(page, (s) => s.counters[4] === 1000, 'the new counters');
    expectPose(seen, [0, -500, 0, 0, 1000, 0]);
    assert.equal(seen.report[4], '17.3882,2.7983,17.6119,9.14229');
    assert.notEqual(seen.path, before_.path);
  });

  it('marks the guards that a pose is beyond', { timeout: TEST_MS }, async () => {
    // Shoulder 12.21, elbow 64.8, wrist 148.74 degrees: bends 52.59 and 83.94
    // against 50 and 80, tip height 1.59 + 6.79 + 2.34 = 10.7 against 10.
    write('robot_position.dat', positionText([0, 2000, 3700, 0, 300, 0]));
    const seen = await until(page, (s) => s.counters[1] === 2000, 'the new counters');
    const limits = A.limitsOf(A.poseOf([0, 2000, 3700, 0, 300, 0]));
    assert.ok(!limits.elbowBend.within && !limits.wristBend.within && !limits.tipHeight.withinAbove);
    // Rows: tip < 10, tip > -10, tip > -10.5, shoulder angle, elbow bend, wrist bend.
    assert.deepEqual(seen.limits, ['beyond', 'within', 'within', 'within', 'beyond', 'beyond']);
  });

  it('follows the lock file', { timeout: TEST_MS }, async () => {
    const cases = [
      ['1\n', '1', /held/],
      ['0\n', '0', /free/],
      ['-3', '1', /held/],
      ['garbage\n', 'unknown', /no number/],
      [null, 'unknown', /missing/],
      ['0\n', '0', /free/],
    ];
    for (const [text, held, words] of cases) {
      if (text === null) fs.rmSync(path.join(dir, 'lock.dat'));
      else write('lock.dat', text);
      const seen = await until(
        page,
        (s) => s.held === held && words.test(s.lockText),
        `lock ${held} for ${JSON.stringify(text)}`,
      );
      // While a run holds the lock the drawn pose is the one before the run.
      assert.equal(seen.note !== '', held === '1', `note "${seen.note}"`);
      assert.equal(seen.state, 'ok');
    }
  });

  it(
    'shows what the controller reads from a malformed position file, and an error for a missing one',
    { timeout: TEST_MS },
    async () => {
      // The server answers the counters as the controller scans them (six %d
      // conversions, each stopping the later ones when it finds no number).
      const cases = [
        ['1 2 x 4 5 6\n', [1, 2, 0, 0, 0, 0]],
        ['1 2 3\n', [1, 2, 3, 0, 0, 0]],
        ['', [0, 0, 0, 0, 0, 0]],
        ['1 2 3 4 5 6 7\n', [1, 2, 3, 4, 5, 6]],
        ['1 99999999999 3 4 5 6\n', [1, 0, 0, 0, 0, 0]],
        [null, /missing/],
      ];
      for (const [text, want] of cases) {
        write('robot_position.dat', positionText([0, -500, 0, 0, 1000, 0]));
        await until(page, (s) => s.state === 'ok' && s.counters[1] === -500, 'a pose first');
        if (text === null) fs.rmSync(path.join(dir, 'robot_position.dat'));
        else write('robot_position.dat', text);
        if (Array.isArray(want)) {
          expectPose(await until(page, (s) => s.counters[1] !== -500, `the counters of ${JSON.stringify(text)}`), want);
          continue;
        }
        const seen = await until(page, (s) => s.state === 'error', `an error for ${JSON.stringify(text)}`);
        assert.match(seen.error, /robot_position\.dat/);
        assert.match(seen.error, want);
        assert.equal(seen.armParts, 0, 'arm still drawn');
        assert.equal(seen.tip, null);
        assert.deepEqual(seen.report, []);
        assert.deepEqual(seen.counters, []);
        assert.match(seen.overlay, /No picture/);
      }
      write('robot_position.dat', positionText([0, 0, 0, 0, 200, 0]));
      const seen = await until(page, (s) => s.state === 'ok', 'a pose again');
      expectPose(seen, [0, 0, 0, 0, 200, 0]);
    },
  );

  it('marks the picture stale when the server stops answering', { timeout: TEST_MS }, async () => {
    await until(page, (s) => s.state === 'ok', 'a current pose');
    server.answer = false;
    try {
      const seen = await until(page, (s) => s.state === 'stale', 'a stale picture');
      assert.match(seen.freshness, /^STALE: last good read \S+, \d+ s ago/);
      assert.match(seen.overlay, /STALE/);
      assert.ok(seen.armOpacity < 1, 'stale arm drawn at full strength');
      assert.ok(seen.tablesOpacity < 1, 'stale numbers shown at full strength');
      assert.equal(seen.held, 'unknown');
    } finally {
      server.answer = true;
    }
    const seen = await until(page, (s) => s.state === 'ok', 'a current pose again');
    assert.equal(seen.overlay, '');
    assert.equal(seen.armOpacity, 1);
  });
});

// What armctld keeps in memory and serves with the state: a run of the
// front end moving, and the end of its last run.
const MOVING_RUN = {
  option: 1,
  options: 1,
  letter: 'H',
  steps: 3000,
  expected: [0, 0, 0, 0, 1500, 0],
  elapsed_s: 1,
  estimate_s: 9,
  left_s: 8,
  by: 'operator',
};
const lastRun = (status, meaning) => ({ status, meaning, at: '2026-12-11T10:00:00Z' });
const GUARD_REFUSED = lastRun(88, 'a guard refused a move');
const MOVED = [0, -500, 0, 0, 1000, 0];

describe("the page follows the arm's server", { concurrency: false, timeout: 4 * TEST_MS }, () => {
  let dir, server, browser, page;
  const write = (name, text) => fs.writeFileSync(path.join(dir, name), text);
  const moveArm = () => write('robot_position.dat', positionText(MOVED));

  before(async () => {
    dir = scratchDir('armctl-web-stream-');
    installPage(dir);
    server = await startServer(dir);
    browser = await launchBrowser();
    page = await browser.newPage();
  });

  after(async () => {
    if (browser) await browser.closeAll();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  // How the server streams, what it keeps, what shows first, what changes,
  // what must show then and within how long, and whether the page polled.
  const cases = [
    {
      what: 'draws a change from the stream at once, polling nothing',
      change: moveArm,
      want: (s) => s.counters[4] === MOVED[4] && /^Live/.test(s.freshness),
      withinMs: 1000,
      polls: false,
    },
    {
      what: 'polls the state while the stream is refused, and still draws a change',
      events: 503,
      change: moveArm,
      want: (s) => s.counters[4] === MOVED[4] && /^Read \S+, \d+ s ago/.test(s.freshness),
      polls: true,
    },
    {
      what: 'polls the state when the open stream ends and the server refuses it anew',
      change: () => {
        server.events = 503;
        for (const r of server.streams) r.end();
        moveArm();
      },
      want: (s) => s.counters[4] === MOVED[4] && /^Read \S+, \d+ s ago/.test(s.freshness),
      polls: true,
    },
    {
      what: "shows FAULT with the server's last run",
      change: () => (server.extra.last_run = GUARD_REFUSED),
      want: (s) => s.badge === 'FAULT' && /status 88, a guard refused a move/.test(s.badgeText),
      polls: false,
    },
    {
      what: 'leaves FAULT when the last run ended well',
      extra: { last_run: GUARD_REFUSED },
      first: (s) => s.badge === 'FAULT',
      change: () => (server.extra.last_run = lastRun(0, 'done')),
      want: (s) => s.badge === 'IDLE',
      polls: false,
    },
    {
      what: 'marks the picture STALE when the stream falls silent while a run moves',
      events: 'once',
      extra: { run: MOVING_RUN },
      first: (s) => s.badge === 'MOVING',
      want: (s) => s.state === 'stale' && /^STALE: last good read/.test(s.freshness),
      polls: false,
    },
    {
      what: 'keeps a quiet stream current while no run moves',
      events: 'once',
      change: () => page.waitForTimeout(STALE_MS + 1500),
      want: (s) => s.state === 'ok' && /^Live/.test(s.freshness),
      polls: false,
    },
  ];
  for (const c of cases) {
    it(c.what, { timeout: TEST_MS }, async () => {
      write('lock.dat', '0\n');
      write('robot_position.dat', positionText([0, 0, 0, 0, 0, 0]));
      Object.assign(server, { events: c.events || 'stream', extra: { ...c.extra } });
      await page.goto(server.url);
      await until(page, c.first || ((s) => s.state === 'ok'), 'the first state');
      server.stateGets = 0;
      if (c.change) await c.change();
      await untilShown(look, page, c.want, c.what, c.withinMs || WAIT_MS);
      // Long enough for a poll to come, if the page polls.
      await page.waitForTimeout(POLL_MS + 500);
      assert.equal(server.stateGets > 0, c.polls, `${server.stateGets} polls of the state`);
    });
  }

  // The test server refuses the range letters beyond their limits from the
  // position file's counters: -G and -B keep counter 0 within -800…800.
  it('marks the jog buttons that the server expects to refuse, for the count and the counters', async () => {
    const range = (letter, rule, value, beyond) =>
      `${letter} expected to be refused: range must be ${rule}; it would be ${value}, beyond by ${beyond}`;
    const cases = [
      [[0, 0, 0, 0, 0, 0], 900, [range('B', '>= -800', -900, 100), range('G', '<= 800', 900, 100)]],
      [[0, 0, 0, 0, 0, 0], 100, []],
      [[750, 0, 0, 0, 0, 0], 100, [range('G', '<= 800', 850, 50)]],
      [[-750, 0, 0, 0, 0, 0], 50, []],
      [[-750, 0, 0, 0, 0, 0], 51, [range('B', '>= -800', -801, 1)]],
    ];
    Object.assign(server, { events: 'stream', extra: {} });
    write('robot_position.dat', positionText(cases[0][0]));
    await page.goto(server.url);
    // The marked buttons' tooltips, once the server's verdicts on row 0 are in.
    const marked = () =>
      page.$$eval('#jog button', (bs) =>
        bs.some((b) => b.dataset.counter === '0' && b.dataset.judged !== '1')
          ? ['row 0 not judged yet']
          : bs
              .filter((b) => b.dataset.refused === '1')
              .map((b) => `${b.dataset.letter} ${b.title}`)
              .sort(),
      );
    for (const [counters, count, titles] of cases) {
      write('robot_position.dat', positionText(counters));
      // Only new counters, when the count stays: the verdict follows the state too.
      if ((await page.inputValue('#jog-count-0')) !== String(count)) await page.fill('#jog-count-0', String(count));
      const want = (m) => m.join('\n') === titles.join('\n');
      await untilShown(marked, page, want, `${titles.length} marked at ${counters} and ${count}`, WAIT_MS);
    }
  });
});

describe(
  "the page over the simulated controller's state directory",
  { concurrency: false, timeout: 4 * TEST_MS },
  () => {
    const CONTROLLER = process.env.ARMCTL;
    const STATE_DIR = process.env.ARMCTL_STATE_DIR;
    let server, browser, page;
    const write = (name, text) => fs.writeFileSync(path.join(STATE_DIR, name), text);

    // The run's last "-Q" report and its summary line of counters.
    function parseRun(stdout) {
      const lines = stdout.split('\n').filter((l) => l !== '');
      return { report: lines.slice(-6, -1), counters: lines.at(-1).split(',').map(Number) };
    }

    function run(args) {
      const r = spawnSync(CONTROLLER, args, { encoding: 'utf8', timeout: 20000 });
      assert.equal(r.error, undefined, String(r.error));
      return Object.assign(parseRun(r.stdout), { status: r.status });
    }

    before(async () => {
      assert.ok(
        CONTROLLER && STATE_DIR,
        'set ARMCTL and ARMCTL_STATE_DIR to a simulated controller and its state directory',
      );
      installPage(STATE_DIR);
      write('lock.dat', '0\n');
      write('robot_position.dat', positionText([0, 0, 0, 0, 0, 0]));
      server = await startServer(STATE_DIR);
      browser = await launchBrowser();
      page = await browser.newPage();
      await page.goto(server.url);
    });

    after(async () => {
      if (browser) await browser.closeAll();
      if (server) await server.stop();
    });

    it('shows every pose the controller reports', { timeout: TEST_MS }, async () => {
      const runs = [
        ['-H', '200', '-Q'],
        ['-V', '300', '-E', '250', '-Q'],
        ['-G', '40', '-T', '60', '-S', '80', '-Q'],
        ['-N', '900', '-Q'],
        ['-F', '700', '-W', '150', '-Q'],
        ['-H', '3000', '-Q'], // refused: the tip would rise past 10
      ];
      for (const args of runs) {
        const done = run(args);
        assert.ok(done.status === 0 || done.status === 88, `status ${done.status}`);
        const seen = await until(
          page,
          (s) => s.counters.join(',') === done.counters.join(','),
          `counters ${done.counters}`,
        );
        assert.ok(
          sameReport(seen.report, done.report),
          `after ${args.join(' ')}: page ${seen.report.join(' | ')}; controller ${done.report.join(' | ')}`,
        );
      }
    });

    it('shows a run waiting on the lock, then its result', { timeout: TEST_MS }, async () => {
      const start = await until(page, (s) => s.state === 'ok' && s.held === '0', 'a free lock');
      write('lock.dat', '1\n'); // another run holds it
      const child = spawn(CONTROLLER, ['-H', '100', '-Q'], { stdio: ['ignore', 'pipe', 'inherit'] });
      let stdout = '';
      child.stdout.on('data', (d) => (stdout += d));
      const ended = new Promise((resolve) => child.on('close', resolve));
      try {
        const waiting = await until(page, (s) => s.held === '1', 'the lock held');
        assert.match(waiting.note, /pose before the run/);
        assert.deepEqual(waiting.counters, start.counters);
        write('lock.dat', '0\n');
        const status = await Promise.race([ended, new Promise((r) => setTimeout(() => r('timeout'), WAIT_MS))]);
        assert.equal(status, 0, 'controller run');
      } finally {
        if (child.exitCode === null) child.kill();
      }
      const done = parseRun(stdout);
      const seen = await until(
        page,
        (s) => s.held === '0' && s.counters.join(',') === done.counters.join(','),
        "the run's result",
      );
      assert.ok(
        sameReport(seen.report, done.report),
        `page ${seen.report.join(' | ')}; controller ${done.report.join(' | ')}`,
      );
      assert.equal(seen.note, '');
    });
  },
);
