// Quillmark client: lists the user's certificates, with what a page shows and filters them on,
// and signs data or XML documents with one of them through the Quillmark agent on
// 127.0.0.1:7681, over HTTP or WebSocket, and turns the ways this can fail into errors a page
// can explain to its user, in Vietnamese or English. One ES module, no dependencies.

/** This library's version, the same as the agent's it ships with. */
export const VERSION = "1.0.4";

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
  invalidXml: "invalidXml",
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

// What the user reads, in each locale: the errors' messages, and in undo what lifts a block.
// Browser settings are quoted in the words of that browser in that language, where known.
const TEXTS = {
  vi: {
    agentNotRunning: "Chương trình ký số Quillmark không phản hồi: hãy mở QuillmarkXp hoặc " +
      "quillmarkd rồi thử lại.",
    localNetworkBlocked: "Trình duyệt đang chặn trang này kết nối tới chương trình ký số " +
      "Quillmark trên máy tính này.",
    permissionPending: "Trình duyệt chưa cho phép trang này kết nối tới chương trình ký số " +
      "Quillmark: hãy trả lời câu hỏi của trình duyệt (\"Truy cập các ứng dụng và dịch vụ khác " +
      "trên thiết bị này\") bằng \"Cho phép\". Nếu không thấy câu hỏi nào, hãy bấm nút để thử " +
      "lại, hoặc kiểm tra xem chương trình ký số đã chạy chưa.",
    siteRefused: "Trang web này đã bị từ chối trong chương trình ký số Quillmark.",
    pinCancelled: "Bạn đã hủy hộp thoại nhập mã PIN.",
    noDialog: "Chương trình ký số Quillmark không hiển thị được hộp thoại (xác nhận hoặc nhập " +
      "mã PIN) trên màn hình này.",
    tokenMissing: "Không tìm thấy khóa của chứng thư số hoặc USB token: hãy cắm token vào máy " +
      "rồi thử lại.",
    wrongPin: "Mã PIN không đúng: token đã từ chối mã PIN này.",
    timeout: "Chương trình ký số Quillmark không phản hồi trong thời gian chờ.",
    invalidXml: (reason) => "Không thể ký tài liệu XML: chương trình ký số Quillmark không " +
      `chấp nhận tài liệu này (${reason}).`,
    agentFailed: (error, code) => `Chương trình ký số Quillmark báo lỗi: ${error}` +
      (code === null ? "" : ` (mã ${code})`),
    notJson: "Phản hồi của chương trình ký số Quillmark không phải là JSON.",
    noStart: "Chương trình ký số Quillmark không gửi thông điệp bắt đầu.",
    closed: "Chương trình ký số Quillmark đã đóng kết nối.",
    noSignature: "phản hồi không có chữ ký",
    cannotConnect: (url) => `không kết nối được tới ${url}`,
    undo: {
      chromium: "Bấm vào biểu tượng thông tin trang web ở bên trái địa chỉ, đặt \"Truy cập các " +
        "ứng dụng và dịch vụ khác trên thiết bị này\" thành \"Cho phép\" rồi tải lại trang. Nếu " +
        "không thay đổi được cài đặt này, hãy đề nghị quản trị viên cho phép trang web này bằng " +
        "chính sách (LoopbackNetworkAllowedForUrls).",
      firefox: "Bấm vào biểu tượng quyền bị chặn trên thanh địa chỉ (hoặc biểu tượng thông tin " +
        "trang web), bỏ chặn \"Access this device\" rồi tải lại trang. Nếu không thay đổi được " +
        "cài đặt này, hãy đề nghị quản trị viên cho phép trang web này bằng chính sách " +
        "(LocalNetworkAccess).",
      insecurePage: "Trang này không được mở qua https, mà trình duyệt chỉ cho các trang an " +
        "toàn kết nối tới máy tính này: hãy mở địa chỉ https:// của cổng thông tin, hoặc đề " +
        "nghị quản trị viên cho phép trang web này bằng chính sách.",
      siteRefused: "Chương trình ký số quên lệnh từ chối khi được khởi động lại; hoặc cho phép " +
        "lại trang web này trong cửa sổ của chương trình (thẻ \"Trang web bị từ chối\").",
    },
  },
  en: {
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
    invalidXml: (reason) => `The document could not be signed: the Quillmark agent did not ` +
      `accept it (${reason}).`,
    agentFailed: (error, code) => `The agent failed: ${error}` +
      (code === null ? "" : ` (code ${code})`),
    notJson: "The agent's reply is not JSON.",
    noStart: "The agent sent no start message.",
    closed: "The agent closed the connection.",
    noSignature: "no signature in the reply",
    cannotConnect: (url) => `cannot connect to ${url}`,
    undo: {
      chromium: "Click the site-information icon left of the address, set \"Access other apps " +
        "and services on this device\" to Allow, and reload the page. Where the setting cannot " +
        "be changed, ask the administrator to allow this site by policy " +
        "(LoopbackNetworkAllowedForUrls).",
      firefox: "Click the blocked-permission icon in the address bar (or the site-information " +
        "icon), clear the block on \"Access this device\", and reload the page. Where the " +
        "setting cannot be changed, ask the administrator to allow this site by policy " +
        "(LocalNetworkAccess).",
      insecurePage: "This page is not served over https, and the browser lets only secure " +
        "pages reach this computer: open the portal's https:// address, or ask the " +
        "administrator to allow this site by policy.",
      siteRefused: "The agent forgets a refusal when it restarts; or allow the site in the " +
        "agent's window (Trang web bị từ chối).",
    },
  },
};

const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder();

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

// Data to sign as bytes: a string as its UTF-8.
function toBytes(data) {
  return typeof data === "string" ? utf8.encode(data) : new Uint8Array(data);
}

// Certificates are read with a small DER reader: just what a page shows and filters on.
const OID_COMMON_NAME = "2.5.4.3";
const OID_ORGANIZATION = "2.5.4.10";
const OID_USER_ID = "0.9.2342.19200300.100.1.1";
const OID_KEY_USAGE = "2.5.29.15";
const SEQUENCE = 0x30;
const SET = 0x31;

// The keyUsage bits, first to last, as RFC 5280 names them.
const KEY_USAGES = ["digitalSignature", "nonRepudiation", "keyEncipherment", "dataEncipherment",
  "keyAgreement", "keyCertSign", "cRLSign", "encipherOnly", "decipherOnly"];

// The details of a certificate that cannot be read.
const NO_DETAILS = Object.freeze({ subject: null, issuer: null, taxCode: null,
  personalId: null, notBefore: null, notAfter: null, validNow: null, keyUsage: null });

// The DER elements one after another in bytes, each as its tag and its contents.
function derElements(bytes) {
  const elements = [];
  let offset = 0;
  while (offset < bytes.length) {
    if (offset + 2 > bytes.length) throw new Error("DER cut short");
    const tag = bytes[offset];
    let length = bytes[offset + 1];
    offset += 2;
    if (length & 0x80) {
      const count = length & 0x7f; // 0 is BER's indefinite length, not DER
      if (count < 1 || count > 4 || offset + count > bytes.length) throw new Error("DER length");
      length = 0;
      for (const byte of bytes.subarray(offset, offset + count)) length = length * 256 + byte;
      offset += count;
    }
    if (offset + length > bytes.length) throw new Error("DER cut short");
    elements.push({ tag, contents: bytes.subarray(offset, offset + length) });
    offset += length;
  }
  return elements;
}

// The elements inside a constructed element, which must have that tag.
function derInside(element, tag) {
  if (element?.tag !== tag) throw new Error(`DER tag ${element?.tag} where ${tag} belongs`);
  return derElements(element.contents);
}

function derOid({ tag, contents }) {
  if (tag !== 0x06) throw new Error("DER OID expected");
  const arcs = [];
  let arc = 0;
  for (const byte of contents) {
    arc = arc * 128 + (byte & 0x7f);
    if (byte & 0x80) continue;
    arcs.push(arc);
    arc = 0;
  }
  const first = Math.min(Math.floor(arcs[0] / 40), 2); // the first byte holds two arcs
  return [first, arcs[0] - first * 40, ...arcs.slice(1)].join(".");
}

// Big-endian code units of 1 (Latin-1), 2 (UTF-16) or 4 (UTF-32) bytes, as text.
function codeUnitsText(bytes, size) {
  let text = "";
  for (let i = 0; i + size <= bytes.length; i += size) {
    let unit = 0;
    for (let j = 0; j < size; j++) unit = unit * 256 + bytes[i + j];
    text += size === 4 ? String.fromCodePoint(unit) : String.fromCharCode(unit);
  }
  return text;
}

// A directory string as text; null for a value that is no string.
function derText({ tag, contents }) {
  switch (tag) {
    case 0x0c: return fromUtf8.decode(contents); // UTF8String
    case 0x1e: return codeUnitsText(contents, 2); // BMPString
    case 0x1c: return codeUnitsText(contents, 4); // UniversalString
    // PrintableString, IA5String, VisibleString; TeletexString as Latin-1, as OpenSSL has it.
    case 0x13: case 0x16: case 0x1a: case 0x14: return codeUnitsText(contents, 1);
    default: return null;
  }
}

// UTCTime (years 1950 to 2049) or GeneralizedTime, in UTC as RFC 5280 has them; a fraction of a
// second, which RFC 5280 leaves out, is read all the same.
function derTime({ tag, contents }) {
  const form = tag === 0x17 ? /^(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)Z$/
    : tag === 0x18 ? /^(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(?:[.,](\d+))?Z$/ : null;
  const parts = form?.exec(codeUnitsText(contents, 1));
  if (!parts) throw new Error("DER time");
  const [year, month, day, hour, minute, second] = parts.slice(1, 7).map(Number);
  const fullYear = tag === 0x18 ? year : year < 50 ? 2000 + year : 1900 + year;
  const milliseconds = Number((parts[7] ?? "").slice(0, 3).padEnd(3, "0"));
  return new Date(Date.UTC(fullYear, month - 1, day, hour, minute, second, milliseconds));
}

// A Name's attributes, every RDN's in order, as { type (an OID), value (text or null) }.
function nameAttributes(name) {
  return derInside(name, SEQUENCE).flatMap((rdn) => derInside(rdn, SET).map((attribute) => {
    const [type, value] = derInside(attribute, SEQUENCE);
    return { type: derOid(type), value: value ? derText(value) : null };
  }));
}

function nameParts(attributes) {
  const first = (type) => attributes.find((attribute) => attribute.type === type)?.value ?? null;
  return { commonName: first(OID_COMMON_NAME), organization: first(OID_ORGANIZATION) };
}

// Vietnamese CAs put the holder's tax code ("MST:") and personal id number ("CCCD:", or the
// older "CMND:") in the subject's UID attributes, as many of them as it takes.
function holderIds(attributes) {
  const ids = { taxCode: null, personalId: null };
  for (const { type, value } of attributes) {
    const id = type === OID_USER_ID && /^\s*(MST|CCCD|CMND)\s*:\s*(.*?)\s*$/i.exec(value ?? "");
    if (!id || !id[2]) continue;
    ids[id[1].toUpperCase() === "MST" ? "taxCode" : "personalId"] ??= id[2];
  }
  return ids;
}

// The names of the bits set in the keyUsage extension; none without it.
function keyUsageNames(extensions) {
  if (!extensions) return [];
  for (const extension of derInside(derInside(extensions, 0xa3)[0], SEQUENCE)) {
    const parts = derInside(extension, SEQUENCE); // extnID, critical (optional), extnValue
    if (derOid(parts[0]) !== OID_KEY_USAGE) continue;
    const [bits] = derElements(parts[parts.length - 1].contents); // a BIT STRING
    if (bits?.tag !== 0x03) throw new Error("keyUsage is no BIT STRING");
    // Its first byte counts the unused bits of the last; bit 0 is the first byte's highest.
    return KEY_USAGES.filter((_, bit) => bits.contents[1 + (bit >> 3)] & (0x80 >> (bit & 7)));
  }
  return [];
}

// What a page shows of a certificate (Base64 DER), at that time.
function readCertificate(base64, now) {
  const [certificate] = derElements(base64ToBytes(base64));
  const fields = derInside(derInside(certificate, SEQUENCE)[0], SEQUENCE);
  if (fields[0]?.tag === 0xa0) fields.shift(); // the version, absent from version 1
  const [, , issuer, validity, subject, , ...optional] = fields;
  const [notBefore, notAfter] = derInside(validity, SEQUENCE).map(derTime);
  if (!notAfter) throw new Error("validity without notAfter");
  const subjectAttributes = nameAttributes(subject);
  return {
    subject: nameParts(subjectAttributes),
    issuer: nameParts(nameAttributes(issuer)),
    ...holderIds(subjectAttributes),
    notBefore,
    notAfter,
    validNow: notBefore <= now && now <= notAfter,
    keyUsage: keyUsageNames(optional.find((field) => field.tag === 0xa3)),
  };
}

// A certificate that cannot be read keeps its place in the list, with null details.
function certificateDetails(base64, now) {
  try {
    return readCertificate(base64, now);
  } catch {
    return NO_DETAILS;
  }
}

// Text compared as people read it: Vietnamese letters typed composed or not, in any case.
function folded(text) {
  return text.normalize("NFC").toLowerCase();
}

function issuedBy(cert, issuerPart) {
  const commonName = cert.issuer?.commonName;
  return commonName != null && folded(commonName).includes(issuerPart);
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

function timeoutError(texts) {
  return new QuillmarkError(ErrorCode.timeout, texts.timeout);
}

// A request whose connection failed: browsers do not tell the page why.
class NetworkFailure extends Error {}

// HTTP: each request is POSTed as a string body, a simple request that needs no preflight.
class HttpChannel {
  constructor(url, timeoutMs, texts) {
    this.url = url;
    this.timeoutMs = timeoutMs;
    this.texts = texts;
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
        if (abort.signal.aborted) throw timeoutError(this.texts);
        throw new NetworkFailure(error.message);
      }
      const text = await response.text().catch((error) => {
        throw abort.signal.aborted ? timeoutError(this.texts) : new NetworkFailure(error.message);
      });
      const reply = parseReply(text);
      if (!reply) throw new QuillmarkError(ErrorCode.agentError, this.texts.notJson);
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
  constructor(url, timeoutMs, texts) {
    this.url = url;
    this.timeoutMs = timeoutMs;
    this.texts = texts;
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
        reject(timeoutError(this.texts));
      }, this.timeoutMs);
      socket.onerror = socket.onclose = () => {
        clearTimeout(timer);
        reject(new NetworkFailure(this.texts.cannotConnect(this.url)));
      };
      socket.onmessage = (event) => {
        clearTimeout(timer);
        if (parseReply(event.data)?.action !== "start") {
          socket.close();
          return reject(new QuillmarkError(ErrorCode.agentError, this.texts.noStart));
        }
        socket.onmessage = (next) => this.onReply(next.data);
        socket.onerror = null;
        socket.onclose = () => this.failWaiting(
          new QuillmarkError(ErrorCode.agentNotRunning, this.texts.closed));
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
        this.failWaiting(timeoutError(this.texts));
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
    else next.reject(new QuillmarkError(ErrorCode.agentError, this.texts.notJson));
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
   *   payloadKeyHex and payloadIvHex, the secure-mode key and IV the agent was built with;
   *   locale of the errors' messages, "vi" (default) or "en".
   */
  constructor({
    transport = "http",
    url = "http://127.0.0.1:7681",
    timeoutMs = 120000,
    payloadKeyHex = DEFAULT_PAYLOAD_KEY_HEX,
    payloadIvHex = DEFAULT_PAYLOAD_IV_HEX,
    locale = "vi",
  } = {}) {
    if (transport !== "http" && transport !== "websocket")
      throw new TypeError(`transport must be "http" or "websocket", not ${transport}`);
    if (locale !== "vi" && locale !== "en")
      throw new TypeError(`locale must be "vi" or "en", not ${locale}`);
    this.transport = transport;
    this.texts = TEXTS[locale];
    this.http = new HttpChannel(url, timeoutMs, this.texts);
    this.webSocket = transport === "websocket"
      ? new WebSocketChannel(url.replace(/^http/, "ws"), timeoutMs, this.texts) : null;
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

  /** The agent's certificates: [{ name, serialNumber, certChains: [Base64 DER, leaf first],
   * subject, issuer, taxCode, personalId, notBefore, notAfter, validNow, keyUsage }], the
   * details read from the leaf (all null for one that cannot be read). The filters, all
   * optional, must all match: validNow true, taxCode, issuer (text within its common name, any
   * case), keyUsage (a bit that must be set). A store that failed part way gives the
   * certificates listed before the failure. */
  async getCerts({ validNow = false, taxCode = null, issuer = null, keyUsage = null } = {}) {
    if (keyUsage !== null && !KEY_USAGES.includes(keyUsage))
      throw new TypeError(`keyUsage must be one of ${KEY_USAGES.join(", ")}, not ${keyUsage}`);
    const reply = await this.send(await this.channel(), { action: "getCerts" });
    const certs = reply.certs ?? [];
    // Only consent can keep a site from the list, so only its failures can explain one.
    if (reply.error && !certs.length)
      throw await this.agentFailure(reply, ["refusedByUser", "noDialog"]);
    const now = new Date();
    const issuerPart = issuer === null ? null : folded(issuer);
    return certs.map((cert) => ({ ...cert, ...certificateDetails(cert.certChains?.[0], now) }))
      .filter((cert) => (!validNow || cert.validNow === true) &&
        (taxCode === null || cert.taxCode === taxCode) &&
        (issuerPart === null || issuedBy(cert, issuerPart)) &&
        (keyUsage === null || (cert.keyUsage ?? []).includes(keyUsage)));
  }

  /** Signs data (Uint8Array, ArrayBuffer or string, as UTF-8) with the certificate of that
   * serialNumber. Resolves to the bytes the agent made, deciphered in secure mode: the
   * PKCS #1 v1.5 signature ("raw"), or a DER CMS SignedData message ("cms"). Over WebSocket
   * the agent always works in secure mode. */
  async sign({ serial, data, format = "raw", secure = false }) {
    // Over WebSocket the agent reads dataBase64 from the request text up to the following
    // ","cms": keep the members compact and in this order.
    return this.signed("sign", serial, secure, "dataBase64", toBytes(data),
                       { cms: format === "cms" });
  }

  /** Signs an XML document (string, or its bytes) with an enveloped XML signature made with the
   * certificate of that serial, and resolves to the signed document's text. referenceId: the
   * Id of the element to sign (the whole document without it); parentPath: where the
   * Signature goes (the root without it); signatureId: the Signature's Id; signingTime: false
   * leaves out the signed time of signing the agent adds otherwise; exclusive: exclusive
   * canonicalization; secure as for sign(). */
  async signXml(xml, { serial, referenceId, parentPath, signatureId, signingTime,
                       exclusive = false, secure = false } = {}) {
    // The agent takes the options it is given and its defaults for the others.
    const options = Object.fromEntries(Object.entries({ referenceId, parentPath, signatureId,
      signingTime }).filter(([, value]) => value !== undefined && value !== null));
    if (exclusive) options.canonicalization = "exclusive";
    const signed = await this.signed("signXml", serial, secure, "xmlBase64", toBytes(xml), options);
    return fromUtf8.decode(signed);
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
        throw new QuillmarkError(ErrorCode.permissionPending, this.texts.permissionPending);
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
      const { undo } = this.texts;
      const howToUndo = insecure ? undo.insecurePage : isFirefox() ? undo.firefox : undo.chromium;
      return new QuillmarkError(ErrorCode.localNetworkBlocked, this.texts.localNetworkBlocked,
                                { howToUndo, cause: browserWords });
    }
    const code = state === "prompt" && !isFirefox() ? ErrorCode.permissionPending
      : ErrorCode.agentNotRunning;
    return new QuillmarkError(code, this.texts[code], { cause: browserWords });
  }

  // Sends bytes to be signed as the member of an action's request, enciphered in secure mode
  // (always over WebSocket), and resolves to the reply's signedData, deciphered likewise.
  async signed(action, serial, secure, member, bytes, options) {
    const enciphered = secure || this.transport === "websocket";
    const request = {
      action,
      serialNumber: serial,
      secure: enciphered,
      [member]: bytesToBase64(enciphered ? await this.cipher("encrypt", bytes) : bytes),
      ...options,
    };
    const reply = await this.send(await this.channel(), request);
    if (!reply.signedData) throw await this.signFailure(reply);
    const signed = base64ToBytes(reply.signedData);
    return enciphered ? this.cipher("decrypt", signed) : signed;
  }

  // The agent explains a key it could not have (refused, PIN cancelled or wrong, no dialog,
  // no token) and a serial it did not find (a reply without error); it gives its reason for
  // a document it would not sign; it explains nothing else.
  async signFailure(reply) {
    const refusal = "invalid XML: ";
    if (typeof reply.error === "string" && reply.error.startsWith(refusal)) {
      const reason = reply.error.slice(refusal.length);
      return new QuillmarkError(ErrorCode.invalidXml, this.texts.invalidXml(reason),
                                { agentErrorCode: reply.errorCode ?? null, agentMessage: reason });
    }
    const explained = reply.error === undefined || reply.error === "Get private key error";
    return this.agentFailure(reply, explained ? Object.keys(FAILURE_CODES) : []);
  }

  // The agent answers a refusal, a cancelled PIN and a dialog not shown alike: its status
  // tells which, among the failures that request could have had.
  async agentFailure(reply, possibleFailures) {
    const agent = {
      agentErrorCode: reply.errorCode ?? null,
      agentMessage: reply.error ?? this.texts.noSignature,
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
    const message = code === ErrorCode.agentError
      ? this.texts.agentFailed(agent.agentMessage, agent.agentErrorCode) : this.texts[code];
    const howToUndo = code === ErrorCode.siteRefused ? this.texts.undo.siteRefused : null;
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
