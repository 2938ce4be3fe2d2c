// Page side of the document editor bridge, as an ES module.
//
// A page creates one DocEditor and calls its commands; each returns a promise
// of the host's complete answer (parts already joined by the extension). An
// answer whose status is an error still resolves: it is the host's word. A
// promise rejects, with a DocEditorError and its `code`, only when the request
// could not make the round trip:
//   not-installed       no extension reachable from this page: none installed,
//                       or one that does not allow this origin (the browser
//                       hides an extension from the origins it does not list)
//   host-not-installed  the extension is there, but no host is installed for it
//   origin-not-allowed  the extension is there but refuses this page's origin
//   disconnected        the connection went away before the answer came
//   timeout             no answer within the call's time-out
//
// Two ways to the extension, chosen by the browser: a port from
// chrome.runtime.connect(extensionId), which Chromium offers pages whose origin
// the extension lists as externally connectable; elsewhere (Firefox) the
// extension's content script relays window messages to such a port.

export const DEFAULT_TIMEOUT = 60000;
export const DEFAULT_RELAY_TIMEOUT = 1000;

export class DocEditorError extends Error {
  constructor(code, message, cause) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'DocEditorError';
    this.code = code;
  }
}

// What the browser says when the extension is not there for this page.
const NOT_INSTALLED = /receiving end does not exist|could not establish connection/i;
// What the extension says when the browser found no host for it.
const HOST_MISSING = /native messaging host not found|no such native application|native messaging host is forbidden|is not installed|not registered for this extension/i;

// A disconnect's reason as an error with its code.
function classify(reason) {
  const text = String(reason || 'the connection ended');
  if (/origin/i.test(text)) return new DocEditorError('origin-not-allowed', `This page's origin is not allowed: ${text}`);
  if (HOST_MISSING.test(text)) return new DocEditorError('host-not-installed', `The document editor host is not installed: ${text}`);
  if (NOT_INSTALLED.test(text)) return new DocEditorError('not-installed', `The document editor bridge is not installed, or does not serve this page: ${text}`);
  return new DocEditorError('disconnected', `Disconnected from the document editor bridge: ${text}`);
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// The port Chromium gives pages to an externally connectable extension.
export function portTransport(runtime, extensionId) {
  return (sink) => {
    let port;
    try {
      port = runtime.connect(extensionId, { name: 'ormid-page' });
    } catch (e) {
      return Promise.reject(new DocEditorError('not-installed', `The document editor bridge cannot be reached: ${e.message}`, e));
    }
    port.onMessage.addListener((message) => sink.message(message));
    port.onDisconnect.addListener(() => sink.disconnect(classify(runtime.lastError && runtime.lastError.message)));
    return Promise.resolve({ post: (message) => port.postMessage(message), close: () => port.disconnect() });
  };
}

const FROM_RELAY = new Set(['ready', 'from-extension', 'disconnected']);

// The extension's content script, reached with window messages to this page's own origin.
export function relayTransport(win, readyTimeout = DEFAULT_RELAY_TIMEOUT) {
  return (sink) => new Promise((resolve, reject) => {
    const origin = win.location.origin;
    let ready = false;
    const post = (data) => win.postMessage(data, origin);
    const close = () => win.removeEventListener('message', onMessage);
    const timer = setTimeout(() => {
      close();
      reject(new DocEditorError('not-installed', 'The document editor bridge is not installed, or does not serve this page'));
    }, readyTimeout);
    function onMessage(event) {
      const data = event.data;
      if (event.source !== win || !isObject(data) || !FROM_RELAY.has(data.ormidBridge)) return;
      if (data.ormidBridge === 'ready') {
        if (ready) return;
        ready = true;
        clearTimeout(timer);
        resolve({ post: (message) => post({ ormidBridge: 'to-extension', message }), close });
      } else if (ready && data.ormidBridge === 'from-extension') {
        sink.message(data.message);
      } else if (ready) {
        close();
        sink.disconnect(classify(data.reason));
      }
    }
    win.addEventListener('message', onMessage);
    try {
      post({ ormidBridge: 'hello' });
    } catch (e) {
      clearTimeout(timer);
      close();
      reject(new DocEditorError('not-installed', `The document editor bridge cannot be reached: ${e.message}`, e));
    }
  });
}

export function chooseTransport({ extensionId, chrome = globalThis.chrome, window = globalThis.window, relayTimeout } = {}) {
  const runtime = chrome && chrome.runtime;
  if (runtime && typeof runtime.connect === 'function') return portTransport(runtime, extensionId);
  if (window && typeof window.postMessage === 'function') return relayTransport(window, relayTimeout);
  return () => Promise.reject(new DocEditorError('not-installed', 'No way to reach the document editor bridge from here'));
}

export class DocEditor {
  // options: extensionId, timeout (ms, per call; 0 waits for ever), and
  // either transport (see ormid-page.d.ts) or chrome / window / relayTimeout
  // for the one the browser offers.
  constructor(options = {}) {
    this.timeout = options.timeout ?? DEFAULT_TIMEOUT;
    this.transport = options.transport || chooseTransport(options);
    this.link = null;        // promise of the connected transport
    this.calls = new Map();  // ticket -> { resolve, reject, timer }
    this.listeners = new Map();
    // Tickets name their client: several clients on one page share the relay.
    this.ticketPrefix = `${Date.now().toString(36)}-${Math.random().toString(36).slice(2, 8)}-`;
    this.sequence = 0;
  }

  // Resolves once the extension can be reached; requests connect by themselves,
  // a page connects first to hear events before its first request.
  connect() {
    return this.linked().then(() => undefined);
  }

  // The connected transport, connecting when there is none.
  linked() {
    if (!this.link) {
      const link = Promise.resolve().then(() => this.transport({
        message: (message) => { if (this.link === link) this.onMessage(message); },
        disconnect: (error) => { if (this.link === link) this.drop(error); },
      }));
      this.link = link;
      link.catch(() => { if (this.link === link) this.link = null; });
    }
    return this.link;
  }

  // Ends the connection; calls still waiting reject with `disconnected`.
  disconnect() {
    const link = this.link;
    if (!link) return;
    this.drop(new DocEditorError('disconnected', 'Disconnected by the page'));
    link.then((transport) => transport.close(), () => {});
  }

  drop(error) {
    this.link = null;
    for (const ticket of [...this.calls.keys()]) this.settle(ticket, null, error);
    this.emit('disconnected', error);
  }

  settle(ticket, answer, error) {
    const call = this.calls.get(ticket);
    if (!call) return;
    this.calls.delete(ticket);
    clearTimeout(call.timer);
    if (error) call.reject(error);
    else call.resolve(answer);
  }

  onMessage(message) {
    if (!isObject(message)) return;
    if (message.kind === 'answer') {
      const answer = message.answer;
      const status = isObject(answer) && isObject(answer.status) ? answer.status : {};
      // The extension answers for a host it cannot start; a missing host is no answer.
      const missing = status.result === 'error' && HOST_MISSING.test(status.description);
      this.settle(message.ticket, answer, missing ? classify(status.description) : null);
    } else if (message.kind === 'event' && isObject(message.event)) {
      this.emit(message.event.command, message.event);
    } else if (message.kind === 'disconnected') {
      // The extension lost the host; it starts a new one for the next request.
      this.emit('disconnected', classify(message.reason));
    }
  }

  // name: a host event (documentSaveEvent, documentCloseEvent) or
  // 'disconnected'; returns the function that unsubscribes.
  on(name, listener) {
    if (!this.listeners.has(name)) this.listeners.set(name, new Set());
    const set = this.listeners.get(name);
    const entry = (value) => listener(value);  // the same listener may subscribe twice
    set.add(entry);
    return () => set.delete(entry);
  }

  emit(name, value) {
    for (const listener of [...(this.listeners.get(name) || [])]) {
      try {
        listener(value);
      } catch (e) {
        if (typeof globalThis.reportError === 'function') globalThis.reportError(e);
        else console.error(e);
      }
    }
  }

  // Sends any request; options.timeout overrides the client's.
  request(request, { timeout = this.timeout } = {}) {
    this.sequence += 1;
    const ticket = this.ticketPrefix + this.sequence;
    const answered = new Promise((resolve, reject) => {
      const call = { resolve, reject, timer: null };
      if (timeout > 0 && timeout < Infinity) {
        call.timer = setTimeout(() => this.settle(ticket, null,
          new DocEditorError('timeout', `No answer to ${request.command} within ${timeout} ms`)), timeout);
      }
      this.calls.set(ticket, call);
    });
    this.linked().then((transport) => {
      if (!this.calls.has(ticket)) return;
      try {
        transport.post({ kind: 'request', ticket, request });
      } catch (e) {
        // A port that cannot take a message is gone, and with it every answer it owed.
        const error = new DocEditorError('disconnected', `The request could not be sent: ${e.message}`, e);
        this.settle(ticket, null, error);
        if (this.link) this.drop(error);
      }
    }, (error) => this.settle(ticket, null, error));
    return answered;
  }

  // Document commands: options holds request members (workingDirectory,
  // messageId, contentId, isRemoveFile for close) and a per-call timeout.
  command(command, nameFile, options = {}) {
    const { timeout, ...members } = options;
    const request = { ...members, command };
    if (nameFile !== undefined) request.nameFile = nameFile;
    return this.request(request, timeout === undefined ? {} : { timeout });
  }

  // content: base64 text, bytes (Uint8Array or ArrayBuffer) or a Blob.
  async open(nameFile, content, options = {}) {
    let contentFile = content;
    if (typeof Blob !== 'undefined' && content instanceof Blob) contentFile = await blobToBase64(content);
    else if (typeof content !== 'string') contentFile = toBase64(content);
    return this.command('openDocument', nameFile, { ...options, contentFile });
  }

  create(nameFile, options) { return this.command('createDocument', nameFile, options); }
  save(nameFile, options) { return this.command('saveDocument', nameFile, options); }
  get(nameFile, options) { return this.command('getDocument', nameFile, options); }
  saveAndGet(nameFile, options) { return this.command('saveAndGetDocument', nameFile, options); }
  close(nameFile, options) { return this.command('closeDocument', nameFile, options); }
  remove(nameFile, options) { return this.command('removeDocument', nameFile, options); }
  openEditor(options) { return this.command('openEditor', undefined, options); }
  closeEditor(options) { return this.command('closeEditor', undefined, options); }
}

export function succeeded(answer) {
  return Boolean(answer && answer.status && answer.status.result === 'success');
}

// Base64 of bytes (Uint8Array or ArrayBuffer), as contentFile carries them.
export function toBase64(bytes) {
  const view = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  // btoa takes a binary string; build it in slices to stay within argument limits.
  let binary = '';
  for (let i = 0; i < view.length; i += 0x8000) {
    binary += String.fromCharCode.apply(null, view.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

// The bytes of base64 text, such as an answer's contentFile (none for none).
export function fromBase64(text) {
  const binary = atob(text || '');
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export async function blobToBase64(blob) {
  return toBase64(await blob.arrayBuffer());
}

export function base64ToBlob(text, type = 'application/octet-stream') {
  return new Blob([fromBase64(text)], { type });
}
