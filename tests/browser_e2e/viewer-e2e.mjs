// Drives the host's viewer page in headless Chromium, as a person would: a wrong access code first
// (the page must say so, and the host must answer 403), then the right one; the picture must show
// what the host's screen shows, then clicks, the wheel, typing and a paste go to the host; then the
// page disconnects, reconnects on request, and fingers tap the picture, zoom it and tap again.
// Last, once it prints "waiting for the host to go", the caller stops the host: the page must say
// so and fail to reconnect.
//
//   node viewer-e2e.mjs --url https://127.0.0.1:5896/ --code CODE --colour R,G,B [--screenshot FILE]
//
// The host's screen is expected to hold a solid rectangle of that colour over its left half and
// black on the right. Progress goes to standard output, one line per step; the exit status is 0
// when every step passed. The X side (pointer and keys) is checked by the caller.
import { chromium } from 'playwright-core';
import { parseArgs } from 'node:util';
import https from 'node:https';

const { values: args } = parseArgs({
  options: {
    url: { type: 'string' },
    code: { type: 'string' },
    colour: { type: 'string' },
    screenshot: { type: 'string' },
    chromium: { type: 'string', default: process.env.CHROMIUM || '/usr/bin/chromium' },
  },
});
if (!args.url || !args.code || !args.colour) {
  console.error('usage: viewer-e2e.mjs --url URL --code CODE --colour R,G,B [--screenshot FILE]');
  process.exit(2);
}
const colour = args.colour.split(',').map(Number);
const black = [0, 0, 0];
// Video is lossy and colours go through YUV: allow for that, but not for a different colour.
const TOLERANCE = 48;
const STEP_TIMEOUT = 30_000;

function step(text) { console.log(text); }

function near(pixel, expected) {
  return pixel.every((value, i) => Math.abs(value - expected[i]) <= TOLERANCE);
}

// Reads canvas pixels at fractions of the picture.
async function pixels(page, points) {
  return page.evaluate((points) => {
    const canvas = document.getElementById('screen');
    if (!canvas || canvas.width < 32) return null;
    const context = canvas.getContext('2d');
    return points.map(([fx, fy]) => {
      const data = context.getImageData(Math.floor(fx * canvas.width), Math.floor(fy * canvas.height), 1, 1).data;
      return [data[0], data[1], data[2]];
    });
  }, points);
}

// Waits until the left half shows the colour and the right half black.
async function waitForPicture(page) {
  const deadline = Date.now() + STEP_TIMEOUT;
  let last = null;
  while (Date.now() < deadline) {
    last = await pixels(page, [[0.25, 0.25], [0.25, 0.75], [0.75, 0.25], [0.9, 0.9]]);
    if (last && near(last[0], colour) && near(last[1], colour) && near(last[2], black) && near(last[3], black)) {
      return last;
    }
    await page.waitForTimeout(100);
  }
  throw new Error(`the canvas never showed the host's screen; last pixels ${JSON.stringify(last)}`);
}

// The host's own answer to a WebSocket upgrade with `code`, outside the browser: its status line.
function upgradeStatus(code) {
  const url = new URL('/ws?code=' + encodeURIComponent(code), args.url);
  return new Promise((resolve, reject) => {
    const request = https.request(url, {
      rejectUnauthorized: false,
      headers: { Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
        'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==' },
    });
    request.on('response', (response) => { response.resume(); resolve(response.statusCode); });
    request.on('upgrade', (response, socket) => { socket.destroy(); resolve(response.statusCode); });
    request.on('error', reject);
    request.end();
  });
}

async function messageText(page) {
  return (await page.locator('#message').textContent()) || '';
}

const browser = await chromium.launch({
  executablePath: args.chromium,
  // The test runs as root in a container, where Chromium's sandbox cannot start.
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
let failed = false;
const context = await browser.newContext({
  ignoreHTTPSErrors: true,   // the host's certificate is self-signed
  viewport: { width: 1280, height: 720 },
  hasTouch: true,             // a mouse and a touch screen, as on a tablet or a touch laptop
});
await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(args.url).origin });
const page = await context.newPage();
try {
  const statuses = [];
  page.on('response', (response) => {
    const url = new URL(response.url());
    if (url.pathname === '/ws') statuses.push(response.status());
  });
  page.on('console', (message) => {
    if (message.type() === 'error') step(`page console: ${message.text()}`);
  });
  page.on('pageerror', (error) => { step(`page error: ${error.message}`); failed = true; });

  const response = await page.goto(args.url);
  if (!response || response.status() !== 200) throw new Error(`the page loaded with ${response && response.status()}`);
  if (!(await page.evaluate(() => window.isSecureContext))) throw new Error('the page is not a secure context');
  step('page loaded');

  // A wrong code: the page says so, and the host refused it with 403.
  await page.fill('#code', 'wrong-code-234');
  await page.click('#connect');
  await page.waitForFunction(() => /did not accept/.test(document.getElementById('message').textContent),
    null, { timeout: STEP_TIMEOUT });
  if (!statuses.includes(403)) throw new Error(`no 403 for the wrong code; saw ${JSON.stringify(statuses)}`);
  const direct = await upgradeStatus('wrong-code-234');
  if (direct !== 403) throw new Error(`the host answered a WebSocket upgrade with a wrong code with ${direct}`);
  if (!(await page.isVisible('#start')) || (await page.isVisible('#viewer'))) throw new Error('the viewer opened for a wrong code');
  step(`wrong code rejected: "${await messageText(page)}"`);

  // The right code, typed the way a person might: lower case with the dashes.
  await page.fill('#code', args.code.toLowerCase());
  await page.click('#connect');
  const seen = await waitForPicture(page);
  step(`picture shown: ${JSON.stringify(seen)}`);

  // A click three quarters across and half-way down, then typing.
  const box = await page.locator('#screen').boundingBox();
  await page.mouse.move(box.x + box.width * 0.75, box.y + box.height * 0.5, { steps: 4 });
  await page.mouse.down();
  await page.mouse.up();
  await page.mouse.click(box.x + box.width * 0.75, box.y + box.height * 0.5, { button: 'right' });
  await page.mouse.wheel(0, 200);   // two notches down
  await page.keyboard.press('KeyH');
  await page.keyboard.press('KeyI');
  await page.keyboard.press('Shift+KeyA');
  // Text without key events, as an input method or an on-screen keyboard delivers it.
  await page.keyboard.insertText('$');
  // A paste of this device's clipboard with Ctrl+V: typed on the host without Ctrl.
  await page.evaluate(() => navigator.clipboard.writeText('ok'));
  await page.keyboard.press('Control+KeyV');
  // An input method's composition: only the text it commits is typed.
  const ime = await context.newCDPSession(page);
  await ime.send('Input.imeSetComposition', { text: 'y', selectionStart: 1, selectionEnd: 1 });
  await ime.send('Input.imeSetComposition', { text: 'ye', selectionStart: 2, selectionEnd: 2 });
  await ime.send('Input.insertText', { text: 'yes' });
  await page.keyboard.press('Enter');
  step('input sent');
  if (args.screenshot) await page.screenshot({ path: args.screenshot });

  // Disconnecting leaves the code form with a way back; reconnecting shows the picture again.
  await page.click('#disconnect');
  await page.waitForFunction(() => /Disconnected/.test(document.getElementById('message').textContent),
    null, { timeout: STEP_TIMEOUT });
  step('disconnected');
  await page.click('#connect');
  await waitForPicture(page);
  step('reconnected');

  // A finger's tap is a left click where it touched.
  const again = await page.locator('#screen').boundingBox();
  await page.touchscreen.tap(again.x + again.width * 0.6, again.y + again.height * 0.75);
  step('tapped');

  // Two fingers spreading to twice their distance about the picture's centre zoom it twice
  // (the centre stays put); a tap is then a click where the zoomed picture shows.
  const cdp = await context.newCDPSession(page);
  const centre = { x: again.x + again.width / 2, y: again.y + again.height / 2 };
  const fingers = (type, spread) => cdp.send('Input.dispatchTouchEvent', {
    type,
    touchPoints: type === 'touchEnd' ? [] : [
      { id: 0, x: centre.x - spread, y: centre.y }, { id: 1, x: centre.x + spread, y: centre.y }],
  });
  await fingers('touchStart', 50);
  for (let spread = 55; spread <= 100; spread += 5) await fingers('touchMove', spread);
  await fingers('touchEnd');
  // 0.1 of the unzoomed picture right of and below the centre is 0.2 of it on the screen now.
  await page.touchscreen.tap(centre.x + 0.2 * again.width, centre.y + 0.2 * again.height);
  step('zoomed and tapped');

  // The caller stops the host now: the page says the connection closed, and a reconnection finds
  // nobody there.
  step('waiting for the host to go');
  await page.waitForFunction(() => /connection to the host closed/.test(document.getElementById('message').textContent),
    null, { timeout: 60_000 });
  step(`host gone: "${await messageText(page)}"`);
  await page.click('#connect');
  await page.waitForFunction(() => /could not be reached/.test(document.getElementById('message').textContent),
    null, { timeout: STEP_TIMEOUT });
  step(`reconnection refused: "${await messageText(page)}"`);
} catch (error) {
  failed = true;
  step(`FAILED: ${error.message}`);
  if (args.screenshot) await page.screenshot({ path: args.screenshot }).catch(() => {});
} finally {
  await browser.close();
}
process.exit(failed ? 1 : 0);
