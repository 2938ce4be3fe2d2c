// Example page: opens a document picked by the user in the word processor,
// saves it, fetches it back and shows the events the word processor sends.
'use strict';

// The bridge's id follows from the public key in its manifest; ?ext= overrides it.
const DEFAULT_EXTENSION_ID = 'nhipdoifmhiejfbjpikpbppgkchfgblj';
const extensionId = new URLSearchParams(location.search).get('ext') || DEFAULT_EXTENSION_ID;
const editor = new OrmidDocEditor(extensionId);
const events = [];

const $ = (id) => document.getElementById(id);

function log(text, kind) {
  const line = document.createElement('div');
  if (kind) line.className = kind;
  line.textContent = `${new Date().toLocaleTimeString()}  ${text}`;
  $('log').appendChild(line);
  $('log').scrollTop = $('log').scrollHeight;
}

// Long base64 is shortened so the log stays readable.
function brief(answer) {
  return JSON.stringify(answer, (key, value) =>
    typeof value === 'string' && value.length > 80 ? `${value.slice(0, 40)}… (${value.length} chars)` : value);
}

function report(answer) {
  log(brief(answer), OrmidDocEditor.succeeded(answer) ? '' : 'error');
  return answer;
}

function documentName() {
  const name = $('name').value.trim();
  if (!name) throw new Error('Pick a file or type a document name first');
  return name;
}

async function run(action) {
  try {
    await action();
  } catch (e) {
    log(e.message, 'error');
  }
}

$('file').addEventListener('change', () => {
  const file = $('file').files[0];
  if (file) $('name').value = file.name;
});

$('open').addEventListener('click', () => run(async () => {
  const file = $('file').files[0];
  if (!file) throw new Error('Pick a file to open');
  const bytes = new Uint8Array(await file.arrayBuffer());
  report(await editor.openDocument(documentName(), bytes));
}));

$('save').addEventListener('click', () => run(async () => report(await editor.saveDocument(documentName()))));

$('get').addEventListener('click', () => run(async () => {
  const name = documentName();
  const { answer, bytes } = await editor.getDocument(name);
  report(answer);
  if (OrmidDocEditor.succeeded(answer)) {
    const link = $('download');
    if (link.href) URL.revokeObjectURL(link.href);
    link.href = URL.createObjectURL(new Blob([bytes]));
    link.download = name;
    link.textContent = `Download ${name} (${bytes.length} bytes)`;
    link.hidden = false;
  }
}));

$('close').addEventListener('click', () => run(async () =>
  report(await editor.closeDocument(documentName(), $('remove').checked))));

editor.onEvent((event) => {
  events.push(event);
  log(`event ${event.command}: ${event.workingDirectory || ''}${event.nameFile || ''}`, 'event');
});
editor.onDisconnect((reason) => log(`disconnected: ${reason}`, 'error'));

if (OrmidDocEditor.available()) {
  // Connect at once so events reach this page even before its first request.
  try {
    editor.connect();
    $('state').textContent = `Bridge extension ${extensionId} found.`;
  } catch (e) {
    $('state').textContent = e.message;
  }
} else {
  $('state').textContent = 'The bridge extension is not installed or does not allow this page.';
}

window.ormidExample = { editor, events };
