// Types of ormid-page.js, the page side of the document editor bridge.

export const DEFAULT_TIMEOUT: number;
export const DEFAULT_RELAY_TIMEOUT: number;

export type ErrorCode = 'not-installed' | 'host-not-installed' | 'origin-not-allowed' | 'disconnected' | 'timeout';

/** Why a request made no round trip; host errors are answers, not this. */
export class DocEditorError extends Error {
  readonly code: ErrorCode;
}

export interface Status {
  result: 'success' | 'error';
  description?: string;
}

export interface Request {
  command: string;
  nameFile?: string;
  workingDirectory?: string;
  contentFile?: string;
  isRemoveFile?: boolean;
  messageId?: string;
  contentId?: string;
  destination?: string;
  [member: string]: unknown;
}

/** The host's complete answer: the request's members echoed, and its status. */
export interface Answer {
  status: Status;
  command?: string;
  nameFile?: string;
  workingDirectory?: string;
  messageId?: string;
  contentId?: string;
  destination?: string;
  /** The document, base64, in answers to get and saveAndGet. */
  contentFile?: string;
  isRemoveFile?: boolean;
  [member: string]: unknown;
}

export interface DocumentEvent {
  command: 'documentSaveEvent' | 'documentCloseEvent';
  destination: string;
  nameFile: string;
  workingDirectory: string;
  status: Status;
}

export interface CallOptions {
  /** Milliseconds for this call; 0 waits for ever. */
  timeout?: number;
  workingDirectory?: string;
  messageId?: string;
  contentId?: string;
}

export interface CloseOptions extends CallOptions {
  /** Delete the file once the document is closed. */
  isRemoveFile?: boolean;
}

/** A message on the port between page and extension, either way. */
export type PortMessage =
  | { kind: 'request'; ticket: string; request: Request }
  | { kind: 'answer'; ticket: string; answer: Answer }
  | { kind: 'event'; event: DocumentEvent }
  | { kind: 'disconnected'; reason: string };

export interface TransportSink {
  message(message: PortMessage): void;
  /** The connection is gone; every call still waiting rejects with this error. */
  disconnect(error: DocEditorError): void;
}

export interface ConnectedTransport {
  /** Throws when the message cannot be sent. */
  post(message: PortMessage): void;
  close(): void;
}

/** Connects, or rejects with a DocEditorError. */
export type Transport = (sink: TransportSink) => Promise<ConnectedTransport>;

export interface DocEditorOptions {
  extensionId?: string;
  /** Per-call time-out in milliseconds (default 60000); 0 waits for ever. */
  timeout?: number;
  /** Replaces the transport the browser offers. */
  transport?: Transport;
  /** Stand-ins for the page's globals `chrome` and `window`. */
  chrome?: { runtime?: { connect?: Function; lastError?: { message?: string } } };
  window?: Window;
  /** How long the content-script relay has to answer hello (default 1000 ms). */
  relayTimeout?: number;
}

export interface EventMap {
  documentSaveEvent: DocumentEvent;
  documentCloseEvent: DocumentEvent;
  /** The page lost the extension, or the extension lost the host (which it restarts on the next request). */
  disconnected: DocEditorError;
}

export class DocEditor {
  constructor(options?: DocEditorOptions);
  /** Resolves once the extension can be reached; events flow from then on. */
  connect(): Promise<void>;
  /** Ends the connection; waiting calls reject with `disconnected`. */
  disconnect(): void;
  /** Subscribes; returns the function that unsubscribes. */
  on<K extends keyof EventMap>(name: K, listener: (value: EventMap[K]) => void): () => void;
  request(request: Request, options?: { timeout?: number }): Promise<Answer>;
  /** content: base64 text, bytes or a Blob. */
  open(nameFile: string, content: string | Uint8Array | ArrayBuffer | Blob, options?: CallOptions): Promise<Answer>;
  create(nameFile: string, options?: CallOptions): Promise<Answer>;
  save(nameFile: string, options?: CallOptions): Promise<Answer>;
  get(nameFile: string, options?: CallOptions): Promise<Answer>;
  saveAndGet(nameFile: string, options?: CallOptions): Promise<Answer>;
  close(nameFile: string, options?: CloseOptions): Promise<Answer>;
  remove(nameFile: string, options?: CallOptions): Promise<Answer>;
  openEditor(options?: CallOptions): Promise<Answer>;
  closeEditor(options?: CallOptions): Promise<Answer>;
}

export function portTransport(runtime: NonNullable<DocEditorOptions['chrome']>['runtime'], extensionId: string): Transport;
export function relayTransport(window: Window, readyTimeout?: number): Transport;
export function chooseTransport(options?: DocEditorOptions): Transport;

export function succeeded(answer: Answer | null | undefined): boolean;
export function toBase64(bytes: Uint8Array | ArrayBuffer): string;
export function fromBase64(text: string | undefined): Uint8Array;
export function blobToBase64(blob: Blob): Promise<string>;
export function base64ToBlob(text: string | undefined, type?: string): Blob;
