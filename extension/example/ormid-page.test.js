// node --test: the page library against a fake Chromium runtime and a fake
// window with the content-script relay.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { DocEditor, base64ToBlob, blobToBase64, fromBase64, toBase64 } from './ormid-page.js';

const flush = (ms = 20) => new Promise((resolve) => setTimeout(resolve, ms));
const HOST_MISSING = 'Native host disconnected: Specified native messaging host not found.';

// Chromium: ports from chrome.runtime.connect; drop() fires onDisconnect with lastError set.
function chromium() {
  const runtime = { lastError: undefined, ports: [] };
  runtime.connect = (extensionId) => {
    const port = { extensionId, sent: [], open: true, onMessage: [], onDisconnect: [] };
    port.onMessage.addListener = (f) => port.onMessage.push(f);
    port.onDisconnect.addListener = (f) => port.onDisconnect.push(f);
    port.postMessage = (m) => {
      if (!port.open) throw new Error('Attempting to use a disconnected port object');
      port.sent.push(structuredClone(m));
    };
    port.disconnect = () => { port.open = false; };
    runtime.ports.push(port);
    return port;
  };
  const port = () => runtime.ports.at(-1);
  return {
    options: { extensionId: 'ext', chrome: { runtime } },
    runtime,
    connections: () => runtime.ports.length,
    sent: () => runtime.ports.flatMap((p) => p.sent),
    deliver: (m) => port().onMessage.forEach((f) => f(structuredClone(m))),
    drop(reason) {
      port().open = false;
      runtime.lastError = reason && { message: reason };
      port().onDisconnect.forEach((f) => f(port()));
      runtime.lastError = undefined;
    },
  };
}

// Firefox: no chrome.runtime.connect; the relay answers window messages as the content script does.
function firefox({ relay = true } = {}) {
  const listeners = new Set();
  const posted = [];
  const win = {
    location: { origin: 'http://127.0.0.1:8000' },
    addEventListener: (type, f) => listeners.add(f),
    removeEventListener: (type, f) => listeners.delete(f),
    postMessage(data, origin) {
      assert.equal(origin, win.location.origin);
      posted.push(structuredClone(data));
      setTimeout(() => dispatch(structuredClone(data)));  // every listener, the sender's too
    },
  };
  const dispatch = (data, source = win) => [...listeners].forEach((f) => f({ data, source, origin: win.location.origin }));
  let hellos = 0;
  if (relay) {
    listeners.add(({ data }) => {
      if (data.ormidBridge === 'hello') { hellos += 1; win.postMessage({ ormidBridge: 'ready' }, win.location.origin); }
    });
  }
  return {
    options: { extensionId: 'ext', chrome: { runtime: {} }, window: win, relayTimeout: 200 },
    dispatch,
    connections: () => hellos,
    sent: () => posted.filter((d) => d.ormidBridge === 'to-extension').map((d) => d.message),
    deliver: (m) => dispatch({ ormidBridge: 'from-extension', message: m }),
    drop: (reason) => dispatch({ ormidBridge: 'disconnected', reason }),
  };
}

async function answerLast(h, answer) {
  await flush();
  h.deliver({ kind: 'answer', ticket: h.sent().at(-1).ticket, answer });
}

// Which of the promises are still waiting.
async function waiting(promises) {
  const marks = promises.map((p) => Promise.race([p.then(() => false, () => false), flush(20).then(() => true)]));
  return Promise.all(marks);
}

for (const [name, harness] of [['port', chromium], ['relay', firefox]]) {
  describe(`over the ${name}`, () => {
    test('each command reaches the extension as the host expects it, and its answer settles that call', async () => {
      const h = harness();
      const editor = new DocEditor(h.options);
      const calls = [
        [editor.open('a.docx', new Uint8Array([0, 251, 255])), { command: 'openDocument', nameFile: 'a.docx', contentFile: 'APv/' }],
        [editor.create('b.docx', { workingDirectory: '/w/' }), { command: 'createDocument', nameFile: 'b.docx', workingDirectory: '/w/' }],
        [editor.saveAndGet('a.docx', { timeout: 5000 }), { command: 'saveAndGetDocument', nameFile: 'a.docx' }],
        [editor.close('a.docx', { isRemoveFile: true }), { command: 'closeDocument', nameFile: 'a.docx', isRemoveFile: true }],
        [editor.closeEditor(), { command: 'closeEditor' }],
      ];
      await flush();
      const sent = h.sent();
      assert.deepEqual(sent.map((m) => [m.kind, m.request]), calls.map(([, request]) => ['request', request]));
      assert.equal(new Set(sent.map((m) => m.ticket)).size, calls.length);
      // Answered last to first; an error answer is an answer too.
      const answers = sent.map((m, i) => ({ command: m.request.command, status: { result: i % 2 ? 'error' : 'success' } }));
      for (let i = sent.length - 1; i >= 0; i--) h.deliver({ kind: 'answer', ticket: sent[i].ticket, answer: answers[i] });
      assert.deepEqual(await Promise.all(calls.map(([p]) => p)), answers);
      assert.equal(h.connections(), 1);
    });

    test('events reach the subscribers of their command until they unsubscribe', async () => {
      const h = harness();
      const editor = new DocEditor(h.options);
      const seen = [];
      const stop = editor.on('documentSaveEvent', (e) => seen.push(['save', e.nameFile]));
      editor.on('documentCloseEvent', (e) => seen.push(['close', e.nameFile]));
      await editor.connect();
      h.deliver({ kind: 'event', event: { command: 'documentSaveEvent', nameFile: 'a' } });
      h.deliver({ kind: 'event', event: { command: 'documentCloseEvent', nameFile: 'b' } });
      await flush();
      stop();
      h.deliver({ kind: 'event', event: { command: 'documentSaveEvent', nameFile: 'c' } });
      await flush();
      assert.deepEqual(seen, [['save', 'a'], ['close', 'b']]);
    });

    test('a disconnect rejects every waiting call, and the next call connects again', async () => {
      const h = harness();
      const editor = new DocEditor(h.options);
      const heard = [];
      editor.on('disconnected', (error) => heard.push(error.code));
      const pending = [editor.save('a'), editor.get('b')];
      await flush();
      h.drop('the extension was reloaded');
      for (const p of pending) await assert.rejects(p, { name: 'DocEditorError', code: 'disconnected' });
      assert.deepEqual(heard, ['disconnected']);
      const next = editor.save('a');
      await answerLast(h, { status: { result: 'success' } });
      assert.equal(succeededOf(await next), true);
      assert.equal(h.connections(), 2);
    });

    test('a time-out rejects its own call only, and its late answer is dropped', async () => {
      const h = harness();
      const editor = new DocEditor({ ...h.options, timeout: 1000 });
      const slow = assert.rejects(editor.get('a', { timeout: 30 }), { code: 'timeout' });
      const other = editor.save('b');
      await flush();
      const [first, second] = h.sent();
      await slow;
      h.deliver({ kind: 'answer', ticket: first.ticket, answer: { status: { result: 'success' }, n: 1 } });
      h.deliver({ kind: 'answer', ticket: second.ticket, answer: { status: { result: 'success' }, n: 2 } });
      assert.equal((await other).n, 2);
    });
  });
}

const succeededOf = (answer) => answer.status.result === 'success';

test('failures to reach the host reject with the code a page can act on', async () => {
  // Starts a call, then fails the way the case says; what it returns must reject.
  const after = (fail) => async (h, editor) => {
    const call = editor.save('a');
    await flush();
    await fail(h);
    return [call];
  };
  const cases = [
    ['connect throws', chromium, (h, editor) => {
      h.runtime.connect = () => { throw new Error('Invalid extension id'); };
      return [editor.save('a')];
    }, 'not-installed'],
    ['port refused', chromium, after((h) => h.drop('Could not establish connection. Receiving end does not exist.')), 'not-installed'],
    ['port refuses the origin', chromium, after((h) => h.drop('The origin http://x is not allowed')), 'origin-not-allowed'],
    ['port closed without a word', chromium, async (h, editor) => {
      const first = await after((h) => { h.runtime.ports[0].open = false; })(h, editor);
      return [...first, editor.save('b')];  // the one that finds the port closed fails the other too
    }, 'disconnected'],
    ['no relay', () => firefox({ relay: false }), (h, editor) => [editor.save('a'), editor.connect()], 'not-installed'],
    ['relay refuses the origin', firefox, after((h) => h.drop('origin not allowed')), 'origin-not-allowed'],
    ['host not installed', chromium, after((h) => answerLast(h, { status: { result: 'error', description: HOST_MISSING } })), 'host-not-installed'],
  ];
  for (const [what, harness, fail, code] of cases) {
    const h = harness();
    const editor = new DocEditor({ ...h.options, timeout: 500 });
    for (const p of await fail(h, editor)) {
      await assert.rejects(p, (e) => e.code === code || assert.fail(`${what}: ${e.code} ${e.message}`));
    }
  }
});

test('the page hears only the relay, in its own window', async () => {
  const h = firefox();
  const a = new DocEditor(h.options);
  const b = new DocEditor(h.options);  // another client on the same page shares the relay
  const calls = [a.save('x'), b.save('x')];
  await flush();
  const [toA, toB] = h.sent();
  const answer = { status: { result: 'success' } };
  h.dispatch({ ormidBridge: 'from-extension', message: { kind: 'answer', ticket: toA.ticket, answer } }, {});
  h.dispatch({ ormidBridge: 'disconnected', reason: 'forged' }, {});
  h.dispatch({ kind: 'answer', ticket: toA.ticket, answer });
  h.dispatch({ ormidBridge: 'to-extension', message: { kind: 'answer', ticket: toA.ticket, answer } });
  h.dispatch('text');
  assert.deepEqual(await waiting(calls), [true, true]);
  h.deliver({ kind: 'answer', ticket: toB.ticket, answer });
  assert.deepEqual(await waiting(calls), [true, false]);
  h.deliver({ kind: 'answer', ticket: toA.ticket, answer });
  await Promise.all(calls);
});

test('document bytes survive base64 both ways, as arrays and as blobs', async () => {
  const bytes = Uint8Array.from({ length: 0x8000 * 2 + 3 }, (_, i) => (i * 7) % 256);
  assert.deepEqual(fromBase64(toBase64(bytes.buffer)), bytes);
  assert.deepEqual(fromBase64(await blobToBase64(base64ToBlob(toBase64(bytes)))), bytes);
  assert.equal(fromBase64(undefined).length, 0);
});
