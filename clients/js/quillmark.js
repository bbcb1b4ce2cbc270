// Quillmark client: lists the user's certificates and signs with one of them through the
// Quillmark agent on 127.0.0.1:7681, over HTTP or WebSocket, and turns the ways this can fail
// into errors a page can explain to its user. One ES module, no dependencies.

/** What went wrong, as QuillmarkError.code. */
export const ErrorCode = Object.freeze({
  agentNotRunning: "agentNotRunning",
  localNetworkBlocked: "localNetworkBlocked",
  permissionPending: "permissionPending",
  siteRefused: "siteRefused",
  pinCancelled: "pinCancelled",
  noDialog: "noDialog",
  tokenMissing: "tokenMissing",
  wrongPin: "wrongPin",
  timeout: "timeout",
  agentError: "agentError",
});

export class QuillmarkError extends Error {
  constructor(code, message, { howToUndo = null, agentErrorCode = null,
                               agentMessage = null, cause = undefined } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "QuillmarkError";
    this.code = code;
    this.howToUndo = howToUndo;
    this.agentErrorCode = agentErrorCode;
    this.agentMessage = agentMessage;
  }
}

// The secure-mode key and IV an agent is built with unless its builder chose others.
const DEFAULT_PAYLOAD_KEY_HEX = "10a4e3ae1fc35be7bb511778af1b9a6abf943d7bab2682788d0acfd0e3a24bc5";
const DEFAULT_PAYLOAD_IV_HEX = "4d90a7eb5cff26731e0633e86d030937";

// The names browsers have given the permission to reach this device, newest first.
const PERMISSION_NAMES = ["loopback-network", "local-network-access", "local-network"];

// What the agent's status reports as the site's last failure, as an error code.
const FAILURE_CODES = {
  refusedByUser: ErrorCode.siteRefused,
  pinCancelled: ErrorCode.pinCancelled,
  noDialog: ErrorCode.noDialog,
  notFound: ErrorCode.tokenMissing,
  wrongPin: ErrorCode.wrongPin,
};

const MESSAGES = {
  agentNotRunning: "The Quillmark agent does not answer: start it (QuillmarkXp or " +
    "quillmarkd) and try again.",
  localNetworkBlocked: "The browser blocks this page from reaching the Quillmark agent on " +
    "this computer.",
  permissionPending: "The browser has not yet let this page reach the Quillmark agent: " +
    "answer its question (\"access other apps and services on this device\") with Allow. If " +
    "no question shows, try again from a button, or check that the agent is running.",
  siteRefused: "The Quillmark agent was told not to serve this site.",
  pinCancelled: "The PIN dialog was cancelled.",
  noDialog: "The Quillmark agent could not show its dialog (consent or PIN) on this desktop.",
  tokenMissing: "The certificate's key or token is not there: plug in the token and try again.",
  wrongPin: "The token refused the PIN.",
  timeout: "The Quillmark agent did not answer in time.",
};

const UNDO = {
  chromium: "Click the site-information icon left of the address, set \"Access other apps and " +
    "services on this device\" to Allow, and reload the page. Where the setting cannot be " +
    "changed, ask the administrator to allow this site by policy (LoopbackNetworkAllowedForUrls).",
  firefox: "Click the blocked-permission icon in the address bar (or the site-information icon), " +
    "clear the block on \"Access this device\", and reload the page. Where the setting cannot " +
    "be changed, ask the administrator to allow this site by policy (LocalNetworkAccess).",
  insecurePage: "This page is not served over https, and the browser lets only secure pages " +
    "reach this computer: open the portal's https:// address, or ask the administrator to " +
    "allow this site by policy.",
  siteRefused: "The agent forgets a refusal when it restarts; or allow the site in the agent's " +
    "window (Trang web bị từ chối).",
};

const utf8 = new TextEncoder();

/** Base64 of bytes, as the agent's replies and certificate chains carry them. */
export function bytesToBase64(bytes) {
  let binary = "";
  for (const byte of bytes) binary += String.fromCharCode(byte);
  return btoa(binary);
}

/** The bytes of Base64 text. */
export function base64ToBytes(text) {
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

function hexToBytes(hex) {
  return Uint8Array.from(hex.match(/../g), (pair) => parseInt(pair, 16));
}

function parseReply(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

function isLoopbackHost(hostname) {
  return hostname === "localhost" || hostname.endsWith(".localhost") || hostname === "[::1]" ||
    /^127\.\d+\.\d+\.\d+$/.test(hostname);
}

function isFirefox() {
  return typeof navigator !== "undefined" && /Firefox\//.test(navigator.userAgent);
}

// Whether this page is held to the browser's local network rules: a page of this computer
// reaches the agent freely.
function pageIsLoopback() {
  return typeof location !== "undefined" && isLoopbackHost(location.hostname);
}

function timeoutError() {
  return new QuillmarkError(ErrorCode.timeout, MESSAGES.timeout);
}

// A request whose connection failed: browsers do not tell the page why.
class NetworkFailure extends Error {}

// HTTP: each request is POSTed as a string body, a simple request that needs no preflight.
class HttpChannel {
  constructor(url, timeoutMs) {
    this.url = url;
    this.timeoutMs = timeoutMs;
    // Tells Chromium the request is meant for this device, whose permission then applies to
    // it; browsers that do not know the member ignore it.
    this.extra = isLoopbackHost(new URL(url).hostname) ? { targetAddressSpace: "loopback" } : {};
  }

  async request(request) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), this.timeoutMs);
    try {
      let response;
      try {
        response = await fetch(this.url, {
          method: "POST",
          body: JSON.stringify(request),
          signal: abort.signal,
          ...this.extra,
        });
      } catch (error) {
        if (abort.signal.aborted) throw timeoutError();
        throw new NetworkFailure(error.message);
      }
      const text = await response.text().catch((error) => {
        throw abort.signal.aborted ? timeoutError() : new NetworkFailure(error.message);
      });
      const reply = parseReply(text);
      if (!reply) throw new QuillmarkError(ErrorCode.agentError, "The agent's reply is not JSON.");
      return reply;
    } finally {
      clearTimeout(timer);
    }
  }

  close() {}
}

// WebSocket, sub-protocol "signature": the agent greets with {"action":"start"} and then
// answers the requests in order, without ids, so replies are matched by order.
class WebSocketChannel {
  constructor(url, timeoutMs) {
    this.url = url;
    this.timeoutMs = timeoutMs;
    this.socket = null;
    this.opening = null;
    this.waiting = []; // one {resolve, reject} per request sent, oldest first
  }

  open() {
    if (this.socket && this.socket.readyState === WebSocket.OPEN) return Promise.resolve();
    if (!this.opening) {
      this.opening = this.connect().finally(() => {
        this.opening = null;
      });
    }
    return this.opening;
  }

  connect() {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(this.url, "signature");
      const timer = setTimeout(() => {
        socket.close();
        reject(timeoutError());
      }, this.timeoutMs);
      socket.onerror = socket.onclose = () => {
        clearTimeout(timer);
        reject(new NetworkFailure("cannot connect to " + this.url));
      };
      socket.onmessage = (event) => {
        clearTimeout(timer);
        if (parseReply(event.data)?.action !== "start") {
          socket.close();
          return reject(new QuillmarkError(ErrorCode.agentError,
                                           "The agent sent no start message."));
        }
        socket.onmessage = (next) => this.onReply(next.data);
        socket.onerror = null;
        socket.onclose = () => this.failWaiting(
          new QuillmarkError(ErrorCode.agentNotRunning, "The agent closed the connection."));
        this.socket = socket;
        resolve();
      };
    });
  }

  async request(request) {
    await this.open();
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        // After a lost reply none of the later ones can be matched: start over.
        this.failWaiting(timeoutError());
        this.close();
      }, this.timeoutMs);
      this.waiting.push({
        resolve: (reply) => { clearTimeout(timer); resolve(reply); },
        reject: (error) => { clearTimeout(timer); reject(error); },
      });
      this.socket.send(JSON.stringify(request));
    });
  }

  onReply(text) {
    const next = this.waiting.shift();
    if (!next) return;
    const reply = parseReply(text);
    if (reply) next.resolve(reply);
    else next.reject(new QuillmarkError(ErrorCode.agentError, "The agent's reply is not JSON."));
  }

  failWaiting(error) {
    for (const next of this.waiting.splice(0)) next.reject(error);
  }

  close() {
    if (!this.socket) return;
    this.socket.onclose = null;
    this.socket.close();
    this.socket = null;
  }
}

export class QuillmarkClient {
  /**
   * @param {object} options transport "http" (default) or "websocket"; url of the agent
   *   (default http://127.0.0.1:7681); timeoutMs for one reply (default 120000, for the PIN);
   *   payloadKeyHex and payloadIvHex, the secure-mode key and IV the agent was built with.
   */
  constructor({
    transport = "http",
    url = "http://127.0.0.1:7681",
    timeoutMs = 120000,
    payloadKeyHex = DEFAULT_PAYLOAD_KEY_HEX,
    payloadIvHex = DEFAULT_PAYLOAD_IV_HEX,
  } = {}) {
    if (transport !== "http" && transport !== "websocket")
      throw new TypeError(`transport must be "http" or "websocket", not ${transport}`);
    this.transport = transport;
    this.http = new HttpChannel(url, timeoutMs);
    this.webSocket = transport === "websocket"
      ? new WebSocketChannel(url.replace(/^http/, "ws"), timeoutMs) : null;
    this.payloadKeyHex = payloadKeyHex;
    this.payloadIv = hexToBytes(payloadIvHex);
    this.payloadKey = null;
    this.connected = false;
  }

  /** First contact: a CORS fetch of status (the request browsers ask the user about), then
   * the WebSocket if that is the transport. Call it from a user gesture (a click). */
  async connect() {
    const reply = await this.send(this.http, { action: "status" });
    if (this.webSocket) await this.classified(() => this.webSocket.open());
    this.connected = true;
    return reply;
  }

  /** { version, site, lastFailure } as the agent answers, for this page's site only. */
  async status() {
    if (!this.connected) return this.connect();
    return this.send(this.webSocket ?? this.http, { action: "status" });
  }

  /** "granted", "prompt", "denied" or "unsupported": the browser's permission for this page to
   * reach this device, under the names browsers have used for it. */
  async permissionState() {
    if (typeof navigator === "undefined" || !navigator.permissions) return "unsupported";
    for (const name of PERMISSION_NAMES) {
      try {
        return (await navigator.permissions.query({ name })).state;
      } catch {
        // Not a name this browser knows: try the next.
      }
    }
    return "unsupported";
  }

  /** The agent's certificates: [{ name, serialNumber, certChains: [Base64 DER, leaf first] }].
   * A store that failed part way gives the certificates listed before the failure. */
  async getCerts() {
    const reply = await this.send(await this.channel(), { action: "getCerts" });
    const certs = reply.certs ?? [];
    // Only consent can keep a site from the list, so only its failures can explain one.
    if (reply.error && !certs.length)
      throw await this.agentFailure(reply, ["refusedByUser", "noDialog"]);
    return certs;
  }

  /** Signs data (Uint8Array, ArrayBuffer or string, as UTF-8) with the certificate of that
   * serialNumber. Resolves to the bytes the agent made, deciphered in secure mode: the
   * PKCS #1 v1.5 signature ("raw"), or a DER CMS SignedData message ("cms"). Over WebSocket
   * the agent always works in secure mode. */
  async sign({ serial, data, format = "raw", secure = false }) {
    const bytes = typeof data === "string" ? utf8.encode(data) : new Uint8Array(data);
    const enciphered = secure || this.transport === "websocket";
    // Over WebSocket the agent reads dataBase64 from the request text up to the following
    // ","cms": keep the members compact and in this order.
    const request = {
      action: "sign",
      serialNumber: serial,
      secure: enciphered,
      dataBase64: bytesToBase64(enciphered ? await this.cipher("encrypt", bytes) : bytes),
      cms: format === "cms",
    };
    const reply = await this.send(await this.channel(), request);
    if (!reply.signedData) {
      // The agent explains a key it could not have (refused, PIN cancelled or wrong, no
      // dialog, no token) and a serial it did not find (a reply without error); nothing else.
      const explained = reply.error === undefined || reply.error === "Get private key error";
      throw await this.agentFailure(reply, explained ? Object.keys(FAILURE_CODES) : []);
    }
    const signed = base64ToBytes(reply.signedData);
    return enciphered ? this.cipher("decrypt", signed) : signed;
  }

  close() {
    this.webSocket?.close();
    this.connected = false;
  }

  async channel() {
    if (!this.connected) await this.connect();
    return this.webSocket ?? this.http;
  }

  async send(channel, request) {
    return this.classified(() => channel.request(request));
  }

  async classified(attempt) {
    try {
      return await attempt();
    } catch (error) {
      if (error instanceof NetworkFailure) throw await this.networkFailure(error.message);
      // A request waits for the browser's question as long as it is not answered.
      if (error.code === ErrorCode.timeout && (await this.pageStanding()) === "prompt")
        throw new QuillmarkError(ErrorCode.permissionPending, MESSAGES.permissionPending);
      throw error;
    }
  }

  // The permission this page needs to reach the agent; a page of this computer needs none.
  async pageStanding() {
    return pageIsLoopback() ? "granted" : this.permissionState();
  }

  // Why the agent could not be reached. Browsers report a blocked request, an unanswered
  // prompt and a closed port alike, so the page's standing tells them apart. Chromium
  // blocks pages that are not secure contexts outright; Firefox asks about them too. Firefox
  // holds a request while its question waits, and its policy lifts the question without
  // changing the permission's state: there, a request that failed in the "prompt" state
  // found the port closed. The browser's own words go with the error, as its cause.
  async networkFailure(browserWords) {
    const state = await this.pageStanding();
    const insecure = typeof isSecureContext !== "undefined" && !isSecureContext &&
      !pageIsLoopback() && !isFirefox();
    if (insecure || state === "denied") {
      const howToUndo = insecure ? UNDO.insecurePage : isFirefox() ? UNDO.firefox : UNDO.chromium;
      return new QuillmarkError(ErrorCode.localNetworkBlocked, MESSAGES.localNetworkBlocked,
                                { howToUndo, cause: browserWords });
    }
    const code = state === "prompt" && !isFirefox() ? ErrorCode.permissionPending
      : ErrorCode.agentNotRunning;
    return new QuillmarkError(code, MESSAGES[code], { cause: browserWords });
  }

  // The agent answers a refusal, a cancelled PIN and a dialog not shown alike: its status
  // tells which, among the failures that request could have had.
  async agentFailure(reply, possibleFailures) {
    const agent = {
      agentErrorCode: reply.errorCode ?? null,
      agentMessage: reply.error ?? "no signature in the reply",
    };
    let status = null;
    try {
      if (possibleFailures.length)
        status = await this.send(this.webSocket ?? this.http, { action: "status" });
    } catch {
      // The reply's own words are all there is.
    }
    let code = ErrorCode.agentError;
    if (status?.site === "refused") code = ErrorCode.siteRefused;
    else if (possibleFailures.includes(status?.lastFailure))
      code = FAILURE_CODES[status.lastFailure];
    const agentWords = agent.agentErrorCode === null ? agent.agentMessage
      : `${agent.agentMessage} (code ${agent.agentErrorCode})`;
    const message = MESSAGES[code] ?? `The agent failed: ${agentWords}`;
    const howToUndo = code === ErrorCode.siteRefused ? UNDO.siteRefused : null;
    return new QuillmarkError(code, message, { howToUndo, ...agent });
  }

  async cipher(operation, bytes) {
    if (!this.payloadKey) {
      this.payloadKey = await crypto.subtle.importKey("raw", hexToBytes(this.payloadKeyHex),
                                                      "AES-CBC", false, ["encrypt", "decrypt"]);
    }
    // AES-256-CBC with PKCS #7 padding, which is how WebCrypto's AES-CBC pads.
    return new Uint8Array(await crypto.subtle[operation]({ name: "AES-CBC", iv: this.payloadIv },
                                                         this.payloadKey, bytes));
  }
}
