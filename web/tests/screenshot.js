// Takes the README's picture of the page: headless Chromium over a scratch
// state directory holding one pose. Usage: node tests/screenshot.js <out.png> [six counters]
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { installPage, scratchDir, startServer, launchBrowser } = require('./support.js');

async function main() {
  const [out, ...given] = process.argv.slice(2);
  if (!out) throw new Error('usage: node tests/screenshot.js <out.png> [six counters]');
  const counters = given.length === 6 ? given : ['120', '-700', '-900', '300', '1100', '-150'];
  const dir = scratchDir('armctl-web-shot-');
  installPage(dir);
  fs.writeFileSync(path.join(dir, 'lock.dat'), '0\n');
  fs.writeFileSync(path.join(dir, 'robot_position.dat'), counters.map((c) => `${c} `).join('') + '\n');
  const server = await startServer(dir);
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    await page.goto(server.url);
    await page.waitForFunction(() => document.body.dataset.state === 'ok', null, { timeout: 15000 });
    await page.screenshot({ path: out, fullPage: true });
  } finally {
    await browser.closeAll();
    await server.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e.message);
  process.exit(1);
});
