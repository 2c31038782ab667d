// The viewer page's own logic, loaded straight out of resources/browser-viewer.html: packet parsing,
// the decoder configuration, key codes and flags (checked against the C++ tables the native side
// uses), geometry and wheel steps. Run with `node --test`.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import vm from 'node:vm';

const root = fileURLToPath(new URL('../../', import.meta.url));
const read = (path) => readFileSync(root + path, 'utf8');

const page = read('resources/browser-viewer.html');
const script = page.match(/<script id="viewer-core">([\s\S]*?)<\/script>/);
assert.ok(script, 'the page keeps its logic in <script id="viewer-core">');
const context = vm.createContext({});
vm.runInContext(script[1], context);
const core = context.ViewerCore;

// Arrays made inside the page's context compare by value here.
const plain = (value) => JSON.parse(JSON.stringify(value));
const bytes = (...list) => Uint8Array.from(list.flat());
const u16 = (n) => [n >> 8, n & 0xff];

const sps = [0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9, 0x40, 0x50];
const pps = [0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0];
const nal = [0, 0, 0, 3, 0x65, 0x88, 0x84];

test('video packets parse like the host writes them', async (t) => {
  const timestamp = [0, 0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06];  // 0x010203040506 µs
  const cases = [
    { name: 'non-keyframe of 9 bytes has an empty payload', input: bytes(0x00, timestamp),
      expect: { isKeyframe: false, isHEVC: false, sets: [], data: [] } },
    { name: 'keyframe with SPS and PPS', input: bytes(0x01, timestamp, 2, u16(sps.length), sps, u16(pps.length), pps, nal),
      expect: { isKeyframe: true, isHEVC: false, sets: [sps, pps], data: nal } },
    { name: 'keyframe with no parameter sets', input: bytes(0x01, timestamp, 0, nal),
      expect: { isKeyframe: true, isHEVC: false, sets: [], data: nal } },
    { name: 'flags 0x03 is an HEVC keyframe', input: bytes(0x03, timestamp, 0),
      expect: { isKeyframe: true, isHEVC: true, sets: [], data: [] } },
    { name: 'flags 0x02 is an HEVC non-keyframe', input: bytes(0x02, timestamp, nal),
      expect: { isKeyframe: false, isHEVC: true, sets: [], data: nal } },
    { name: 'unknown flag bits are ignored', input: bytes(0xf0, timestamp, nal),
      expect: { isKeyframe: false, isHEVC: false, sets: [], data: nal } },
    { name: 'fewer than 9 bytes', input: bytes(0x00, 0, 0, 0, 0, 0, 0, 0), expect: null },
    { name: 'keyframe of exactly 9 bytes', input: bytes(0x01, timestamp), expect: null },
    { name: 'parameter-set length past the end', input: bytes(0x01, timestamp, 1, u16(10), 1, 2, 3), expect: null },
    { name: 'parameter-set length cut short', input: bytes(0x01, timestamp, 1, 0x00), expect: null },
    { name: 'fewer sets than counted', input: bytes(0x01, timestamp, 2, u16(sps.length), sps), expect: null },
  ];
  for (const c of cases) {
    await t.test(c.name, () => {
      const packet = core.parseVideoPacket(c.input);
      if (c.expect === null) return assert.equal(packet, null);
      assert.equal(packet.isKeyframe, c.expect.isKeyframe);
      assert.equal(packet.isHEVC, c.expect.isHEVC);
      assert.equal(packet.timestamp, 0x010203040506);
      assert.deepEqual(Array.from(packet.parameterSets, (s) => Array.from(s)), c.expect.sets);
      assert.deepEqual(Array.from(packet.data), c.expect.data);
      // Views into the message, not copies.
      assert.equal(packet.data.buffer, c.input.buffer);
    });
  }
});

test('timestamps keep full precision up to 2^53 microseconds', () => {
  const packet = core.parseVideoPacket(bytes(0x00, 0x00, 0x1f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff));
  assert.equal(packet.timestamp, Number.MAX_SAFE_INTEGER);
});

test('the decoder configuration is built from the keyframe parameter sets', () => {
  const config = core.h264DecoderConfig([Uint8Array.from(sps), Uint8Array.from(pps)]);
  assert.equal(config.codec, 'avc1.64001f');
  assert.deepEqual(Array.from(config.description), [
    1, 0x64, 0x00, 0x1f, 0xff, 0xe1, ...u16(sps.length), ...sps, 1, ...u16(pps.length), ...pps,
  ]);
  assert.equal(config.optimizeForLatency, true);

  // Several sets of each kind, in any order; sets that are neither SPS nor PPS are left out.
  const sei = Uint8Array.from([0x06, 0x05, 0x01]);
  const pps2 = Uint8Array.from([0x68, 0x01]);
  const many = core.h264DecoderConfig([Uint8Array.from(pps), sei, Uint8Array.from(sps), pps2]);
  assert.deepEqual(Array.from(many.description), [
    1, 0x64, 0x00, 0x1f, 0xff, 0xe1, ...u16(sps.length), ...sps, 2, ...u16(pps.length), ...pps, 0, 2, 0x68, 0x01,
  ]);

  // A baseline stream names its own profile and level.
  const baseline = core.h264DecoderConfig([Uint8Array.from([0x67, 0x42, 0xc0, 0x0a, 0x01]), Uint8Array.from(pps)]);
  assert.equal(baseline.codec, 'avc1.42c00a');

  for (const sets of [[], [sps], [pps], [[0x67, 0x64]], [sps.slice(0, 3), pps]]) {
    assert.equal(core.h264DecoderConfig(sets.map((s) => Uint8Array.from(s))), null, JSON.stringify(sets));
  }
});

// KeyboardEvent.code of each USB HID keyboard usage the native key map knows.
const codeOfUsage = new Map([
  ...'ABCDEFGHIJKLMNOPQRSTUVWXYZ'.split('').map((c, i) => [4 + i, 'Key' + c]),
  ...'1234567890'.split('').map((c, i) => [30 + i, 'Digit' + c]),
  ...['Enter', 'Escape', 'Backspace', 'Tab', 'Space', 'Minus', 'Equal', 'BracketLeft', 'BracketRight',
    'Backslash'].map((c, i) => [40 + i, c]),
  ...['Semicolon', 'Quote', 'Backquote', 'Comma', 'Period', 'Slash', 'CapsLock'].map((c, i) => [51 + i, c]),
  ...Array.from({ length: 12 }, (_, i) => [58 + i, 'F' + (i + 1)]),
  ...['Home', 'PageUp', 'Delete', 'End', 'PageDown', 'ArrowRight', 'ArrowLeft', 'ArrowDown', 'ArrowUp']
    .map((c, i) => [74 + i, c]),
  ...['ControlLeft', 'ShiftLeft', 'AltLeft', 'MetaLeft', 'ControlRight', 'ShiftRight', 'AltRight', 'MetaRight']
    .map((c, i) => [224 + i, c]),
]);

test('browser key codes agree with the native HID key map', () => {
  const source = read('CorvelKit/input/KeyMap.cpp');
  const runs = [...source.matchAll(/addRun\(t\.hid,\s*(\d+),\s*\{([^}]*)\}\)/g)];
  assert.ok(runs.length >= 7, 'KeyMap.cpp still lists its HID table as runs');
  let checked = 0;
  for (const [, first, list] of runs) {
    list.split(',').map((s) => Number(s.trim())).forEach((mac, i) => {
      const usage = Number(first) + i;
      const code = codeOfUsage.get(usage);
      assert.ok(code, `usage ${usage} has a browser key code`);
      assert.equal(core.keyCodeFor(code), mac, `${code} (usage ${usage})`);
      checked++;
    });
  }
  assert.equal(checked, codeOfUsage.size);
});

test('keys beyond the HID table and unknown keys', () => {
  const cases = [
    ['Numpad0', 82], ['Numpad9', 92], ['NumpadEnter', 76], ['NumpadDecimal', 65], ['F13', 105],
    ['F20', 90], ['Insert', 114], ['ContextMenu', 110], ['IntlBackslash', 10], ['OSLeft', 55],
    ['AudioVolumeMute', 74],
    ['', undefined], ['Unidentified', undefined], ['PrintScreen', undefined], ['toString', undefined],
    ['__proto__', undefined],
  ];
  for (const [code, mac] of cases) assert.equal(core.keyCodeFor(code), mac, code);
  // Every code fits the key message's 16 bits and names a distinct key position.
  for (const value of Object.values(core.KEY_CODES)) assert.ok(Number.isInteger(value) && value >= 0 && value <= 0xffff);
});

test('modifier state becomes the flag bits the native side uses', () => {
  const source = read('CorvelKit/protocol/ModifierBits.h');
  const bit = (name) => Number(source.match(new RegExp(`${name} = (0x[0-9a-fA-F]+)`))[1]);
  for (const name of ['capsLock', 'shift', 'control', 'option', 'command', 'function']) {
    assert.equal(core.FLAGS[name], bit(name), name);
  }
  const state = (held) => ({
    shiftKey: held.includes('Shift'), ctrlKey: held.includes('Control'), altKey: held.includes('Alt'),
    metaKey: held.includes('Meta'), getModifierState: (n) => held.includes(n),
  });
  const cases = [
    [[], 0], [['Shift'], 0x20000], [['Control'], 0x40000], [['Alt'], 0x80000], [['Meta'], 0x100000],
    [['Control', 'Meta'], 0x140000], [['CapsLock'], 0x10000], [['Fn'], 0x800000],
    [['Shift', 'Control', 'Alt', 'Meta', 'CapsLock'], 0x1f0000],
  ];
  for (const [held, flags] of cases) assert.equal(core.modifierFlags(state(held)), flags, held.join('+'));
  // Events without getModifierState (older engines) still give the four modifier keys.
  assert.equal(core.modifierFlags({ shiftKey: true, ctrlKey: false, altKey: false, metaKey: true }), 0x120000);
});

test('held modifier keys and their flags', () => {
  const cases = [
    [[], [], 0],
    [[59, 9], [59], 0x40000],                  // Control and V: only Control is a modifier
    [[55, 54], [55, 54], 0x100000],             // both Command keys
    [[56, 58, 63], [56, 58, 63], 0x8a0000],
    [[57, 0], [], 0],                           // Caps Lock is a lock, not a held modifier
  ];
  for (const [codes, held, flags] of cases) {
    assert.deepEqual(plain(core.heldModifiers(codes)), { codes: held, flags }, codes.join(','));
  }
});

test('paste shortcuts stay with the browser', () => {
  const key = (mods, code = 'KeyV') => ({ code, ctrlKey: mods.includes('c'), metaKey: mods.includes('m'),
    altKey: mods.includes('a'), shiftKey: mods.includes('s') });
  assert.equal(core.isPasteShortcut(key('c'), false), true);
  assert.equal(core.isPasteShortcut(key('m'), true), true);
  assert.equal(core.isPasteShortcut(key('m'), false), false);
  assert.equal(core.isPasteShortcut(key('c'), true), false);
  assert.equal(core.isPasteShortcut(key('cs'), false), false);
  assert.equal(core.isPasteShortcut(key('c', 'KeyC'), false), false);
  assert.equal(core.isPasteShortcut(key(''), false), false);
});

test('browser buttons map to the host numbering', () => {
  assert.deepEqual([0, 1, 2, 3, 4, -1].map(core.buttonFor), [0, 2, 1, undefined, undefined, undefined]);
});

test('the picture keeps its shape and pointer positions are fractions of it', () => {
  // Wider area: bars left and right.
  assert.deepEqual(plain(core.fitRect(1000, 500, 1280, 800)), { left: 100, top: 0, width: 800, height: 500 });
  // Taller area (a phone held upright): bars above and below.
  assert.deepEqual(plain(core.fitRect(400, 800, 1600, 900)), { left: 0, top: 287.5, width: 400, height: 225 });
  // Nothing to show yet.
  assert.deepEqual(plain(core.fitRect(400, 800, 0, 0)), { left: 0, top: 0, width: 0, height: 0 });

  const rect = { left: 100, top: 50, width: 800, height: 500 };
  const cases = [
    [500, 300, 0.5, 0.5], [100, 50, 0, 0], [900, 550, 1, 1], [300, 175, 0.25, 0.25],
    [20, 600, 0, 1], [1000, 0, 1, 0],   // outside the picture: clamped to its edges
    [100 + 800 / 3, 50, 0.33333, 0],
  ];
  for (const [x, y, fx, fy] of cases) assert.deepEqual(plain(core.pointerFraction(x, y, rect)), { x: fx, y: fy }, `${x},${y}`);
  assert.deepEqual(plain(core.pointerFraction(5, 5, { left: 0, top: 0, width: 0, height: 0 })), { x: 0, y: 0 });
});

test('pinching zooms about the fingers and keeps the picture filling its area', () => {
  // A picture that fills its area exactly.
  const fit = { left: 0, top: 0, width: 400, height: 300 };
  const area = { width: 400, height: 300 };
  const flat = { scale: 1, x: 0, y: 0 };
  const cases = [
    // Spreading twice as far apart at the centre: the centre stays put.
    [flat, { x: 200, y: 150 }, { x: 200, y: 150 }, 2, { scale: 2, x: -200, y: -150 }],
    // At the top-left corner: the corner stays put.
    [flat, { x: 0, y: 0 }, { x: 0, y: 0 }, 3, { scale: 3, x: 0, y: 0 }],
    // Zoomed, the fingers move 50 pixels left and up: the picture follows them.
    [{ scale: 2, x: -200, y: -150 }, { x: 200, y: 150 }, { x: 150, y: 100 }, 1, { scale: 2, x: -250, y: -200 }],
    // It cannot leave a gap: shifts stop at the picture's edges.
    [{ scale: 2, x: -200, y: -150 }, { x: 200, y: 150 }, { x: 600, y: -400 }, 1, { scale: 2, x: 0, y: -300 }],
    // Closing the fingers far enough returns to the whole picture, never smaller.
    [{ scale: 2, x: -200, y: -150 }, { x: 200, y: 150 }, { x: 200, y: 150 }, 0.25, { scale: 1, x: 0, y: 0 }],
    // Nor larger than the limit.
    [flat, { x: 0, y: 0 }, { x: 0, y: 0 }, 100, { scale: 6, x: 0, y: 0 }],
  ];
  for (const [view, from, to, ratio, expected] of cases) {
    assert.deepEqual(plain(core.pinchView(view, from, to, ratio, fit, area)), expected, JSON.stringify([view, from, to, ratio]));
  }

  // A wide picture on an upright phone: bands above and below it.
  const phoneFit = { left: 0, top: 100, width: 400, height: 300 };
  const phone = { width: 400, height: 500 };
  // Twice the size is taller than the area: it fills it, here without moving.
  assert.deepEqual(plain(core.pinchView(flat, { x: 200, y: 250 }, { x: 200, y: 250 }, 2, phoneFit, phone)),
    { scale: 2, x: -200, y: -150 });
  // Pinched at the picture's top edge, it would leave a band above: it fills the area instead.
  assert.deepEqual(plain(core.pinchView(flat, { x: 200, y: 100 }, { x: 200, y: 100 }, 2, phoneFit, phone)),
    { scale: 2, x: -200, y: -100 });
  // One and a half times is still shorter than the area: it stays in the middle.
  assert.deepEqual(plain(core.pinchView(flat, { x: 200, y: 100 }, { x: 200, y: 100 }, 1.5, phoneFit, phone)),
    { scale: 1.5, x: -100, y: -75 });
});

test('wheel input becomes whole steps, up and left positive', () => {
  const wheel = new core.WheelSteps(100);
  const pixel = 0, line = 1, page = 2;
  const steps = [
    // [deltaX, deltaY, mode, expected]
    [0, 100, pixel, { dx: 0, dy: -1 }],    // one notch down
    [0, -250, pixel, { dx: 0, dy: 2 }],    // up: 2 steps, 50 carried
    [0, -50, pixel, { dx: 0, dy: 1 }],     // the carried 50 completes a step
    [0, 30, pixel, null],                  // turning back drops what was carried
    [0, 30, pixel, null],
    [0, 40, pixel, { dx: 0, dy: -1 }],     // 100 pixels down in small amounts
    [0, 3, line, { dx: 0, dy: -1 }],       // three lines
    [120, 0, pixel, { dx: -1, dy: 0 }],    // right
    [0, 1, page, { dx: 0, dy: -8 }],       // one page of 800 pixels
    [0, NaN, pixel, null],
  ];
  for (const [dx, dy, mode, expected] of steps) {
    const result = wheel.add(dx, dy, mode, 800);
    assert.deepEqual(result === null ? null : plain(result), expected, `${dx},${dy},${mode}`);
  }
});

test('the socket address follows the page origin and carries the normalised code', () => {
  assert.equal(core.socketURL({ protocol: 'https:', host: '192.168.1.20:5896' }, ' abc-def ghj-klm '),
    'wss://192.168.1.20:5896/ws?code=ABCDEFGHJKLM');
  assert.equal(core.socketURL({ protocol: 'http:', host: 'host.local:5896' }, 'a&b=c'), 'ws://host.local:5896/ws?code=A%26B%3DC');
  assert.equal(core.normalizeCode('\tab-c\u00a0d\n'), 'ABCD');
});

test('messages have the shape the host decodes', () => {
  const m = core.messages;
  assert.deepEqual(plain(m.move(0.5, 0.25)), { t: 'move', x: 0.5, y: 0.25 });
  assert.deepEqual(plain(m.button(true, 1, 0.1, 0.2)), { t: 'down', button: 1, x: 0.1, y: 0.2 });
  assert.deepEqual(plain(m.button(false, 0, -1, -1)), { t: 'up', button: 0, x: -1, y: -1 });
  assert.deepEqual(plain(m.scroll(0, -2)), { t: 'scroll', dx: 0, dy: -2 });
  assert.deepEqual(plain(m.key(12, true, 0x140000)), { t: 'key', code: 12, down: true, flags: 0x140000 });
  assert.deepEqual(plain(m.text('ü')), { t: 'text', text: 'ü' });
});

test('the page loads nothing from elsewhere', () => {
  // Everything is inline: the host serves this one file and nothing else.
  const references = [...page.matchAll(/\b(?:src|href|action)\s*=\s*["']([^"']*)["']/g)].map((m) => m[1]);
  for (const reference of references) assert.match(reference, /^data:/, reference);
  assert.doesNotMatch(page, /@import|url\((?!\s*["']?data:)/);
});
