// Example page: opens a document picked by the user in the word processor,
// saves it, fetches it back and shows the events the word processor sends.
import { DocEditor, base64ToBlob, fromBase64, succeeded } from './ormid-page.js';

// The bridge's id follows from the public key in its manifest; ?ext= overrides it.
const DEFAULT_EXTENSION_ID = 'nhipdoifmhiejfbjpikpbppgkchfgblj';
const extensionId = new URLSearchParams(location.search).get('ext') || DEFAULT_EXTENSION_ID;
const bridge = new DocEditor({ extensionId });
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
  log(brief(answer), succeeded(answer) ? '' : 'error');
  return answer;
}

function documentName() {
  const name = $('name').value.trim();
  if (!name) throw new Error('Pick a file or type a document name first');
  return name;
}

// The steps tests/browser drives the page through, on window.ormidExample.
const editor = {
  openDocument: (name, bytes) => bridge.open(name, bytes),
  saveDocument: (name) => bridge.save(name),
  async getDocument(name) {
    const answer = await bridge.get(name);
    return { answer, bytes: fromBase64(answer.contentFile) };
  },
  closeDocument: (name, isRemoveFile) => bridge.close(name, { isRemoveFile }),
};

async function run(action) {
  try {
    await action();
  } catch (e) {
    log(e.code ? `${e.code}: ${e.message}` : e.message, 'error');
  }
}

$('file').addEventListener('change', () => {
  const file = $('file').files[0];
  if (file) $('name').value = file.name;
});

$('open').addEventListener('click', () => run(async () => {
  const file = $('file').files[0];
  if (!file) throw new Error('Pick a file to open');
  report(await bridge.open(documentName(), file));
}));

$('save').addEventListener('click', () => run(async () => report(await bridge.save(documentName()))));

$('get').addEventListener('click', () => run(async () => {
  const name = documentName();
  const answer = report(await bridge.get(name));
  if (succeeded(answer)) {
    const link = $('download');
    if (link.href) URL.revokeObjectURL(link.href);
    const blob = base64ToBlob(answer.contentFile);
    link.href = URL.createObjectURL(blob);
    link.download = name;
    link.textContent = `Download ${name} (${blob.size} bytes)`;
    link.hidden = false;
  }
}));

$('close').addEventListener('click', () => run(async () =>
  report(await bridge.close(documentName(), { isRemoveFile: $('remove').checked }))));

for (const command of ['documentSaveEvent', 'documentCloseEvent']) {
  bridge.on(command, (event) => {
    events.push(event);
    log(`event ${event.command}: ${event.workingDirectory || ''}${event.nameFile || ''}`, 'event');
  });
}
bridge.on('disconnected', (error) => log(`${error.code}: ${error.message}`, 'error'));

window.ormidExample = { bridge, editor, events };

// Connect at once so events reach this page even before its first request.
bridge.connect().then(
  () => { $('state').textContent = `Bridge extension ${extensionId} found.`; },
  (error) => { $('state').textContent = error.message; });
