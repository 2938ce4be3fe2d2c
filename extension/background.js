// Service worker of the bridge between web pages and the native document host.
//
// Pages talk to it over a long-lived port (chrome.runtime.connect) or with
// one-shot messages (chrome.runtime.sendMessage). Every request goes to the
// host over a single connectNative port; the host answers each request once,
// in order, and sends document events on its own. Answers that carry a
// document arrive in parts: the worker repeats the request with the same
// messageId until the last part, joins the parts and hands the page the
// complete answer.
//
// The same script is Chromium's service worker and Firefox's background
// script; in Firefox pages reach it through content-relay.js.
'use strict';

const HOST_NAME = 'ormid.doc_editor';
const TO_HOST = 'ormidDocEditorNative';
const TO_PAGE = 'ormidDocEditorWebPage';

let nativePort = null;
// messageId -> { request, parts, resolve }, in the order the requests were sent.
const pending = new Map();
const pagePorts = new Set();
let sequence = 0;
// Counters for whoever debugs the bridge (readable from the worker's console).
const stats = { requests: 0, partRequests: 0, events: 0, disconnects: 0 };
// Chromium refuses to send an extension message over 64 MiB of JSON and drops
// the port with it; a joined answer that large is refused here instead.
// Adjustable from the worker's console.
const limits = { pageMessage: 64 * 1024 * 1024 };

function nextId(prefix) {
  sequence += 1;
  return `${prefix}-${Date.now().toString(36)}-${sequence}`;
}

function isPlainObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// An answer in the host's own shape, for failures that never reach the host.
function errorAnswer(request, description) {
  const answer = { status: { result: 'error', description } };
  if (isPlainObject(request)) {
    for (const key of ['messageId', 'contentId', 'command', 'workingDirectory', 'nameFile']) {
      if (typeof request[key] === 'string') answer[key] = request[key];
    }
  }
  return answer;
}

function broadcast(message) {
  for (const port of pagePorts) {
    try {
      port.postMessage(message);
    } catch (e) {
      pagePorts.delete(port);
    }
  }
}

function finish(messageId, answer) {
  const entry = pending.get(messageId);
  if (!entry) return;
  pending.delete(messageId);
  entry.resolve(answer);
}

function failAll(description) {
  for (const [messageId, entry] of [...pending]) {
    finish(messageId, errorAnswer(entry.request, description));
  }
}

// Says what a page can do about a closed native port: a host that was never
// registered (or not for this extension) needs installing, not retrying.
function describeDisconnect(reason) {
  // Chromium: "Specified native messaging host not found."; Firefox:
  // "No such native application ormid.doc_editor".
  if (/not found|no such native application/i.test(reason)) {
    return `Native host ${HOST_NAME} is not installed: ${reason}`;
  }
  // Chromium: "Access to the specified native messaging host is forbidden.";
  // Firefox: "This extension does not have permission to use native application ...".
  if (/forbidden|does not have permission/i.test(reason)) {
    return `Native host ${HOST_NAME} is not registered for this extension: ${reason}`;
  }
  return `Native host disconnected: ${reason}`;
}

function onNativeDisconnect(port) {
  // Firefox reports the cause on the port, Chromium in lastError.
  const error = (port && port.error) || chrome.runtime.lastError;
  const reason = (error && error.message) || 'the host ended';
  if (port !== nativePort) return;
  nativePort = null;
  stats.disconnects += 1;
  failAll(describeDisconnect(reason));
  broadcast({ kind: 'disconnected', reason });
}

function isEvent(message) {
  return message.destination === TO_PAGE && !('messageId' in message);
}

// A part of a split answer: keep it and ask for the next one, or join them all.
function takePart(messageId, entry, split) {
  if (typeof split.part !== 'string') {
    finish(messageId, errorAnswer(entry.request, 'Malformed split answer'));
    return;
  }
  entry.size += split.part.length;
  // Past the limit the parts are dropped, but still asked for: the host
  // expects the transfer to run to its last part.
  if (entry.size > limits.pageMessage) entry.parts = [];
  else entry.parts.push(split.part);
  if (split.last !== true) {
    // An empty part that is not the last would have us ask forever.
    if (split.part.length === 0) {
      finish(messageId, errorAnswer(entry.request, 'Split answer made no progress'));
      return;
    }
    stats.partRequests += 1;
    nativePort.postMessage(entry.request);
    return;
  }
  if (entry.size > limits.pageMessage) {
    finish(messageId, errorAnswer(entry.request, `Answer too large for the page: ${entry.size} bytes, at most ${limits.pageMessage}`));
    return;
  }
  let complete;
  try {
    complete = JSON.parse(entry.parts.join(''));
  } catch (e) {
    finish(messageId, errorAnswer(entry.request, 'Joined split answer is not JSON'));
    return;
  }
  finish(messageId, isPlainObject(complete) ? complete : errorAnswer(entry.request, 'Joined split answer is not an object'));
}

function onNativeMessage(message) {
  if (!isPlainObject(message)) return;
  if (isEvent(message)) {
    stats.events += 1;
    broadcast({ kind: 'event', event: message });
    return;
  }
  let messageId = message.messageId;
  if (typeof messageId !== 'string' || !pending.has(messageId)) {
    // The host answers in order; an answer it could not tie to its request
    // belongs to the oldest one still waiting.
    const oldest = pending.keys().next();
    if (oldest.done) {
      console.warn('Answer to no pending request', message);
      return;
    }
    messageId = oldest.value;
  }
  const entry = pending.get(messageId);
  if (isPlainObject(message.split)) {
    takePart(messageId, entry, message.split);
  } else {
    finish(messageId, message);
  }
}

function ensureNativePort() {
  if (nativePort) return nativePort;
  nativePort = chrome.runtime.connectNative(HOST_NAME);
  nativePort.onMessage.addListener(onNativeMessage);
  nativePort.onDisconnect.addListener(onNativeDisconnect);
  return nativePort;
}

// Sends one request to the host; resolves with its (complete) answer.
function relay(input) {
  if (!isPlainObject(input)) {
    return Promise.resolve(errorAnswer(null, 'A request must be a JSON object'));
  }
  const request = { ...input };
  if (typeof request.messageId !== 'string' || request.messageId === '') request.messageId = nextId('msg');
  if (typeof request.contentId !== 'string' || request.contentId === '') request.contentId = nextId('content');
  if (request.destination === undefined) request.destination = TO_HOST;
  if (pending.has(request.messageId)) {
    return Promise.resolve(errorAnswer(request, 'A request with this messageId is still waiting for its answer'));
  }
  return new Promise((resolve) => {
    pending.set(request.messageId, { request, parts: [], size: 0, resolve });
    try {
      stats.requests += 1;
      ensureNativePort().postMessage(request);
    } catch (e) {
      finish(request.messageId, errorAnswer(request, `Native host unavailable: ${e.message}`));
    }
  });
}

function servePagePort(port) {
  pagePorts.add(port);
  port.onDisconnect.addListener(() => pagePorts.delete(port));
  port.onMessage.addListener((message) => {
    if (!isPlainObject(message) || message.kind !== 'request') return;
    relay(message.request).then((answer) => {
      if (!pagePorts.has(port)) return;
      try {
        port.postMessage({ kind: 'answer', ticket: message.ticket, answer });
      } catch (e) {
        // The page still waits for this ticket: tell it why instead.
        try {
          port.postMessage({ kind: 'answer', ticket: message.ticket,
                             answer: errorAnswer(message.request, `Answer could not reach the page: ${e.message}`) });
        } catch (again) {
          pagePorts.delete(port);
        }
      }
    });
  });
}

function serveOneShot(message, sender, sendResponse) {
  relay(message).then(sendResponse);
  return true;  // the answer comes asynchronously
}

chrome.runtime.onConnectExternal.addListener(servePagePort);
chrome.runtime.onConnect.addListener(servePagePort);
chrome.runtime.onMessageExternal.addListener(serveOneShot);
chrome.runtime.onMessage.addListener(serveOneShot);

globalThis.ormidRelay = relay;
globalThis.ormidStats = stats;
globalThis.ormidLimits = limits;
globalThis.ormidReady = true;
