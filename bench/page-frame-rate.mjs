// Opens a remote-screen page in headless Chromium, connects it, and counts the frames the page
// paints: on every animation frame a script in the page reads a small strip of the page's canvas
// where the scrolling text passes, and counts the frame as painted when the strip differs from the
// previous one. Used by bench_browser_vs_novnc for our viewer page and for noVNC's page alike.
//
//   node page-frame-rate.mjs --modules DIR --kind ambrel|novnc --url URL [--code CODE]
//                            --width W --height H [--chromium PATH]
//
// `--modules` is the folder whose node_modules holds playwright-core. Prints "connected WxH" (the
// canvas's size) once the canvas shows a picture, then every 100 ms "painted=N frames=F at=MS
// sockets=S": frames painted and animation frames seen since then, the page's clock in
// milliseconds, and the WebSockets the page opened so far. Ends when its standard input closes.
import { createRequire } from 'node:module';
import path from 'node:path';
import { parseArgs } from 'node:util';

const { values: args } = parseArgs({
  options: {
    modules: { type: 'string' },
    kind: { type: 'string' },
    url: { type: 'string' },
    code: { type: 'string', default: '' },
    width: { type: 'string' },
    height: { type: 'string' },
    chromium: { type: 'string', default: process.env.CHROMIUM || '/usr/bin/chromium' },
  },
});
if (!args.modules || !args.url || !args.width || !args.height || !['ambrel', 'novnc'].includes(args.kind)) {
  console.error('usage: page-frame-rate.mjs --modules DIR --kind ambrel|novnc --url URL [--code CODE] '
    + '--width W --height H');
  process.exit(2);
}
const { chromium } = createRequire(path.resolve(args.modules, 'package.json'))('playwright-core');
const width = Number(args.width);
const height = Number(args.height);
// Where each page keeps the canvas it paints the remote screen into.
const canvasSelector = args.kind === 'ambrel' ? 'canvas#screen' : '#screen canvas';

let finished = false;
let resolveEnd;
const ended = new Promise((resolve) => { resolveEnd = resolve; });
const end = () => { finished = true; resolveEnd(); };
process.stdin.on('end', end);
process.stdin.on('error', end);
process.stdin.resume();
process.on('SIGTERM', end);

const browser = await chromium.launch({
  executablePath: args.chromium,
  // Run as root in a container, where Chromium's sandbox cannot start.
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
let status = 0;
try {
  // The window as large as the remote screen, so neither page has to scale the picture down.
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width, height } });
  const page = await context.newPage();
  // Every WebSocket the page opens: one for the whole run, unless the page starts afresh.
  let sockets = 0;
  page.on('websocket', () => { ++sockets; });
  page.on('pageerror', (error) => console.log(`page error: ${error.message}`));
  await page.goto(args.url);
  if (args.kind === 'ambrel') {
    await page.fill('#code', args.code);
    await page.click('#connect');
  }
  // The canvas takes the picture's size with the first picture.
  await page.waitForFunction((selector) => {
    const canvas = document.querySelector(selector);
    return canvas !== null && canvas.width >= 64 && canvas.height >= 64;
  }, canvasSelector, { timeout: 60_000 });

  await page.evaluate((selector) => {
    const counts = { painted: 0, frames: 0 };
    window.frameCounts = counts;
    const canvas = document.querySelector(selector);
    const context = canvas.getContext('2d');
    // Eight columns (one glyph cell) a little way in from the left, where every line has text,
    // and 64 rows about a third of the way down: three lines of text, so a scroll of even one row
    // changes it.
    const x = Math.floor(canvas.width * 0.12);
    const y = Math.floor(canvas.height * 0.3);
    let previous = null;
    const tick = () => {
      const strip = context.getImageData(x, y, 8, 64).data;
      if (previous !== null) {
        // A change well beyond a video codec's noise on a still picture.
        for (let i = 0; i < strip.length; i += 4) {
          if (Math.abs(strip[i] - previous[i]) > 40 || Math.abs(strip[i + 1] - previous[i + 1]) > 40 ||
              Math.abs(strip[i + 2] - previous[i + 2]) > 40) {
            ++counts.painted;
            break;
          }
        }
      }
      previous = strip;
      ++counts.frames;
      requestAnimationFrame(tick);
    };
    requestAnimationFrame(tick);
    return `${canvas.width}x${canvas.height}`;
  }, canvasSelector).then((size) => console.log(`connected ${size}`));

  while (!finished) {
    const counts = await page.evaluate(() => ({ ...window.frameCounts, at: performance.now() }));
    console.log(`painted=${counts.painted} frames=${counts.frames} at=${counts.at.toFixed(1)} sockets=${sockets}`);
    await Promise.race([ended, new Promise((resolve) => setTimeout(resolve, 100))]);
  }
} catch (error) {
  console.log(`FAILED: ${error.message}`);
  status = 1;
} finally {
  await browser.close();
}
process.exit(status);
