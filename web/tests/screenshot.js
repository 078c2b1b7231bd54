// Takes the README's picture of the page: headless Chromium through Apache and
// armctld in front of the simulated controller (web/screenshot.sh sets the
// environment), with two poses taught, a sequence, the history shown and a
// clicked tip target planned. Usage: node tests/screenshot.js <out.png>
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { installPage, launchBrowser } = require('./support.js');
const { startApache, jsonPost, writeState } = require('../../tests/apache_server.js');

const DIR = process.env.ARMCTL_DAEMON_STATE_DIR;
const START = [0, -500, 0, 0, 1000, 0];
// The taught place, from the start, and the tip target clicked on the picture.
const TO_PLACE = ['-H', '400', '-V', '300'];
const CLICKED = { x: 12, y: -3 };

async function teach(server) {
  const steps = [
    { save_pose: 'pick' },
    { options: TO_PLACE },
    { save_pose: 'place' },
    {
      save_sequence: {
        name: 'pick and place',
        steps: [
          { pose: 'pick', pause_ms: 500 },
          { pose: 'place', pause_ms: 500 },
        ],
        repeat: 3,
      },
    },
    { goto: { pose: 'pick' } },
  ];
  for (const body of steps) {
    const r = await jsonPost(server, body);
    if (r.status !== 200) throw new Error(`${JSON.stringify(body)}: HTTP ${r.status} ${r.text}`);
  }
}

// Clicks the picture where the arm point `p` is drawn: the shoulder pivot is
// the first point of the drawn arm, and the view box maps onto the picture's box.
async function clickArmPoint(page, p) {
  const at = await page.evaluate(({ x, y }) => {
    window.scrollTo(0, 0);
    const view = document.getElementById('arm-view');
    const r = view.getBoundingClientRect();
    const vb = view.viewBox.baseVal;
    const k = Math.min(r.width / vb.width, r.height / vb.height);
    const pivot = document.getElementById('arm-path').points.getItem(0);
    return {
      x: r.x + (r.width - vb.width * k) / 2 + (pivot.x + x - vb.x) * k,
      y: r.y + (r.height - vb.height * k) / 2 + (pivot.y - y - vb.y) * k,
    };
  }, p);
  await page.mouse.click(at.x, at.y);
}

async function main() {
  const [out] = process.argv.slice(2);
  if (!out || !DIR || !process.env.ARMCTL_DAEMON)
    throw new Error('usage: web/screenshot.sh <build directory of the tests preset> [out.png]');
  // The daemon's state directory is the test build's scratch: it starts empty.
  for (const f of fs.readdirSync(DIR)) fs.rmSync(path.join(DIR, f), { recursive: true, force: true });
  installPage(DIR);
  writeState(DIR, 'lock.dat', '0\n');
  writeState(DIR, 'robot_position.dat', START.map((c) => `${c} `).join('') + '\n');
  const server = await startApache({ daemon: process.env.ARMCTL_DAEMON, stateDir: DIR });
  const browser = await launchBrowser({ httpCredentials: { username: server.user, password: server.password } });
  try {
    await teach(server);
    const page = await browser.newPage();
    await page.setViewportSize({ width: 1366, height: 1000 });
    await page.goto(server.url);
    await page.waitForFunction(
      () => document.body.dataset.state === 'ok' && document.querySelectorAll('#sequences tbody tr').length > 0,
    );
    await page.click('#history-load');
    await page.waitForFunction(() => document.querySelectorAll('#history tbody tr').length > 0);
    await clickArmPoint(page, CLICKED);
    await page.waitForFunction(() => document.getElementById('plan').dataset.state === 'allowed');
    // The bar stays at the top of the viewport: the picture is of one screen.
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: out });
  } finally {
    await browser.closeAll();
    await server.stop();
  }
}

main().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
