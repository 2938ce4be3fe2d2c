// Content script on the pages allowed to use the bridge (the same origins as
// externally_connectable). Firefox has no externally_connectable, so a page
// there cannot open a port to the extension; it posts to its own window
// instead, and this script carries each message over a port to the background
// and the background's messages back. It works the same in Chromium, so a page
// may use it everywhere.
//
//   page -> relay: {ormidBridge: 'to-extension', message}   (what the page would post on the port)
//                  {ormidBridge: 'hello'}                   (answered with {ormidBridge: 'ready'})
//   relay -> page: {ormidBridge: 'from-extension', message} (each message of the port)
//                  {ormidBridge: 'disconnected', reason}
'use strict';

(() => {
  let port = null;

  function toPage(data) {
    // Only this page's own origin may read what the extension says.
    window.postMessage(data, location.origin);
  }

  function dropPort(reason) {
    port = null;
    toPage({ ormidBridge: 'disconnected', reason });
  }

  // Opened on the page's first hello or message, so that pages that never
  // use the bridge do not wake the background up.
  function connect() {
    if (port) return port;
    const opened = chrome.runtime.connect({ name: 'ormid-page' });
    opened.onMessage.addListener((message) => toPage({ ormidBridge: 'from-extension', message }));
    opened.onDisconnect.addListener((closed) => {
      if (port !== opened) return;
      const error = closed.error || chrome.runtime.lastError;
      dropPort((error && error.message) || 'the extension went away');
    });
    port = opened;
    return port;
  }

  window.addEventListener('message', (event) => {
    // Messages from other windows (frames, openers) and our own posts to the
    // page are not requests.
    if (event.source !== window || event.origin !== location.origin) return;
    const data = event.data;
    if (data === null || typeof data !== 'object') return;
    try {
      if (data.ormidBridge === 'hello') {
        connect();
        toPage({ ormidBridge: 'ready' });
      } else if (data.ormidBridge === 'to-extension') {
        connect().postMessage(data.message);
      }
    } catch (e) {
      // The extension was reloaded or removed under the page, or the message
      // could not be sent: the page must not wait for an answer.
      const broken = port;
      port = null;
      if (broken) {
        try { broken.disconnect(); } catch (ignored) { /* already gone */ }
      }
      dropPort(e.message);
    }
  });
})();
