// The panel's layout, accessibility, joint names and STOP key in headless
// Chromium over a served state directory, at a desktop's and a tablet's size.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it, before, after } = require('node:test');

const A = require('../arm.js');
const { installPage, scratchDir, startServer, launchBrowser, positionText, until } = require('./support.js');

const VIEWPORTS = [
  { width: 1366, height: 768 },
  { width: 390, height: 844 },
];
const TOUCH_PX = 44;
const COUNTERS = [0, 500, 300, 0, 300, 0];
const WAIT_MS = 10000;

// STOP's box, and whether it is the element on top at its centre, at one scroll position.
function stopSeen(page, where) {
  return page.evaluate((to) => {
    const max = document.documentElement.scrollHeight - innerHeight;
    window.scrollTo(0, to * max);
    const r = document.getElementById('stop').getBoundingClientRect();
    const top = document.elementFromPoint(r.x + r.width / 2, r.y + r.height / 2);
    return {
      inside: r.top >= 0 && r.left >= 0 && r.bottom <= innerHeight && r.right <= innerWidth,
      onTop: Boolean(top && top.closest('#stop')),
      sideways: document.documentElement.scrollWidth - document.documentElement.clientWidth,
    };
  }, where);
}

describe('the panel', { concurrency: false, timeout: 180000 }, () => {
  let dir, server, browser, page;

  before(async () => {
    dir = scratchDir('armctl-web-panel-');
    installPage(dir);
    fs.writeFileSync(path.join(dir, 'lock.dat'), '0\n');
    fs.writeFileSync(path.join(dir, 'robot_position.dat'), positionText(COUNTERS));
    server = await startServer(dir);
    browser = await launchBrowser();
    page = await browser.newPage();
  });

  after(async () => {
    if (browser) await browser.closeAll();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  const open = async (viewport) => {
    await page.setViewportSize(viewport);
    await page.goto(server.url);
    await until(
      (p) => p.evaluate(() => document.body.dataset.state),
      page,
      (s) => s === 'ok',
      'a pose',
      WAIT_MS,
    );
  };

  for (const viewport of VIEWPORTS) {
    const size = `${viewport.width}×${viewport.height}`;

    it(`keeps STOP on top in the viewport at every scroll position, with no sideways scroll, at ${size}`, async () => {
      await open(viewport);
      for (const where of [0, 0.5, 1]) {
        const seen = await stopSeen(page, where);
        assert.deepEqual(seen, { inside: true, onTop: true, sideways: 0 }, `scrolled to ${where} of the page`);
      }
    });

    it(`has no serious or critical accessibility violation at ${size}`, async () => {
      await open(viewport);
      await page.addScriptTag({ content: require('axe-core').source });
      // The page redraws its tables every second: a check that meets a node
      // taken away meanwhile throws, and is run again.
      const check = () => page.evaluate(async () => (await window.axe.run(document)).violations);
      const found = await check().catch(check);
      const bad = found.filter((v) => ['serious', 'critical'].includes(v.impact));
      assert.deepEqual(
        bad.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`),
        [],
      );
    });
  }

  it('puts STOP, the badge, the picture and jogging first on a tablet, every control a finger wide', async () => {
    await open(VIEWPORTS[1]);
    const seen = await page.evaluate(() => {
      const top = (id) => document.getElementById(id).getBoundingClientRect().top + scrollY;
      const small = [...document.querySelectorAll('button, input, select, summary')]
        .filter((e) => e.getClientRects().length)
        .map((e) => [e.id || e.textContent.trim(), e.getBoundingClientRect()])
        .filter(([, r]) => r.width < 44 || r.height < 44)
        .map(([name, r]) => `${name} ${r.width}×${r.height}`);
      return { order: ['stop', 'badge', 'arm-view', 'jog', 'poses', 'history'].map(top), small };
    });
    assert.deepEqual(
      seen.order,
      [...seen.order].sort((a, b) => a - b),
      `tops ${seen.order}`,
    );
    assert.ok(seen.order[1] < 844 && seen.order[3] < 2 * 844, `tops ${seen.order}`);
    assert.deepEqual(seen.small, [], `controls under ${TOUCH_PX} px`);
  });

  it('names each jog button by its joint and the way the picture shows that joint move', async () => {
    await open(VIEWPORTS[0]);
    // The name a screen reader reads, as the accessibility tree has it.
    const nameOf = async (letter) =>
      (await page.locator(`#jog-${letter}`).ariaSnapshot()).replace(/^- button "(.*)".*$/s, '$1');
    const named = {};
    for (const b of A.COUNTERS) for (const letter of [b.grow, b.shrink]) named[letter] = await nameOf(letter);
    const labels = await page.$$eval('.segment-label', (ts) => ts.map((t) => t.textContent));
    const start = A.poseOf(COUNTERS);
    for (const s of A.SEGMENTS) {
      for (const letter of [A.COUNTERS[s.counter].grow, A.COUNTERS[s.counter].shrink]) {
        const sign = letter === A.COUNTERS[s.counter].grow ? 1 : -1;
        const moved = COUNTERS.map((c, i) => (i === s.counter ? c + sign * 100 : c));
        const rises = A.poseOf(moved)[s.name].y > start[s.name].y;
        assert.equal(named[letter], `${s.name} ${rises ? 'up' : 'down'}`, `-${letter}`);
      }
      assert.ok(labels.includes(s.name), `the picture does not label the ${s.name}`);
    }
    assert.equal(new Set(Object.values(named)).size, 12, `names ${JSON.stringify(named)}`);
  });

  it('sends STOP on Escape wherever the focus is, without asking for a login first', async () => {
    await open(VIEWPORTS[1]);
    for (const focus of ['#jog-count-2', '#pose-name', '#tip-step', 'body']) {
      server.posts.length = 0;
      await page.focus(focus);
      await page.keyboard.press('Escape');
      // An estimate moves nothing and may be asked for at any time.
      const sent = () => server.posts.map((b) => JSON.parse(b)).filter((b) => !('estimate' in b));
      const posts = await until(sent, page, (p) => p.length > 0, `a request after Escape in ${focus}`, WAIT_MS);
      assert.deepEqual(posts, [{ stop: true }]);
    }
  });
});
