// Page side of the document editor bridge: a small client a web application
// can copy. It keeps one port to the bridge extension, sends requests with a
// ticket and resolves each with its complete answer; document events from the
// word processor reach the listeners given to onEvent.
'use strict';

class OrmidDocEditor {
  constructor(extensionId) {
    this.extensionId = extensionId;
    this.port = null;
    this.tickets = new Map();
    this.nextTicket = 1;
    this.eventListeners = [];
    this.disconnectListeners = [];
  }

  static available() {
    return typeof chrome !== 'undefined' && chrome.runtime && typeof chrome.runtime.connect === 'function';
  }

  connect() {
    if (this.port) return this.port;
    if (!OrmidDocEditor.available()) {
      throw new Error('The bridge extension is not installed or does not allow this page');
    }
    const port = chrome.runtime.connect(this.extensionId, { name: 'ormid-page' });
    port.onMessage.addListener((message) => this.onPortMessage(message));
    port.onDisconnect.addListener(() => {
      this.port = null;
      const reason = (chrome.runtime.lastError && chrome.runtime.lastError.message) || 'the extension went away';
      for (const [, resolve] of this.tickets) {
        resolve({ status: { result: 'error', description: `Bridge disconnected: ${reason}` } });
      }
      this.tickets.clear();
      this.disconnectListeners.forEach((listener) => listener(reason));
    });
    this.port = port;
    return port;
  }

  onPortMessage(message) {
    if (!message || typeof message !== 'object') return;
    if (message.kind === 'answer') {
      const resolve = this.tickets.get(message.ticket);
      if (resolve) {
        this.tickets.delete(message.ticket);
        resolve(message.answer);
      }
    } else if (message.kind === 'event') {
      this.eventListeners.forEach((listener) => listener(message.event));
    } else if (message.kind === 'disconnected') {
      this.disconnectListeners.forEach((listener) => listener(message.reason));
    }
  }

  onEvent(listener) {
    this.eventListeners.push(listener);
  }

  onDisconnect(listener) {
    this.disconnectListeners.push(listener);
  }

  // Resolves with the host's answer; split answers arrive already joined.
  request(request) {
    const port = this.connect();
    const ticket = this.nextTicket++;
    return new Promise((resolve) => {
      this.tickets.set(ticket, resolve);
      port.postMessage({ kind: 'request', ticket, request });
    });
  }

  openDocument(nameFile, bytes, extra = {}) {
    return this.request({ ...extra, command: 'openDocument', nameFile, contentFile: OrmidDocEditor.toBase64(bytes) });
  }

  createDocument(nameFile, extra = {}) {
    return this.request({ ...extra, command: 'createDocument', nameFile });
  }

  saveDocument(nameFile, extra = {}) {
    return this.request({ ...extra, command: 'saveDocument', nameFile });
  }

  // Resolves with { answer, bytes }; bytes is empty when the answer has no content.
  async getDocument(nameFile, extra = {}, command = 'getDocument') {
    const answer = await this.request({ ...extra, command, nameFile });
    const bytes = typeof answer.contentFile === 'string' ? OrmidDocEditor.fromBase64(answer.contentFile) : new Uint8Array(0);
    return { answer, bytes };
  }

  saveAndGetDocument(nameFile, extra = {}) {
    return this.getDocument(nameFile, extra, 'saveAndGetDocument');
  }

  closeDocument(nameFile, isRemoveFile = false, extra = {}) {
    return this.request({ ...extra, command: 'closeDocument', nameFile, isRemoveFile });
  }

  removeDocument(nameFile, extra = {}) {
    return this.request({ ...extra, command: 'removeDocument', nameFile });
  }

  static succeeded(answer) {
    return Boolean(answer && answer.status && answer.status.result === 'success');
  }

  static toBase64(bytes) {
    // btoa takes a binary string; build it in slices to stay within argument limits.
    let binary = '';
    const step = 0x8000;
    for (let i = 0; i < bytes.length; i += step) {
      binary += String.fromCharCode.apply(null, bytes.subarray(i, i + step));
    }
    return btoa(binary);
  }

  static fromBase64(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }
}

window.OrmidDocEditor = OrmidDocEditor;
