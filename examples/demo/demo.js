// The Quillmark demo page: how a web page lists the user's certificates, has the agent sign
// with one of them over HTTP or WebSocket, and checks the signature itself with WebCrypto.
// Plain JavaScript, no framework, no build step. Read it top to bottom.
"use strict";

const config = window.QUILLMARK_CONFIG;

// ---------------------------------------------------------------------------------------
// Bytes, Base64 and hex

const utf8 = new TextEncoder();

function bytesToBase64(bytes) {
  let binary = "";
  for (const byte of bytes) binary += String.fromCharCode(byte);
  return btoa(binary);
}

function base64ToBytes(text) {
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

function hexToBytes(hex) {
  return Uint8Array.from(hex.match(/../g), (pair) => parseInt(pair, 16));
}

// ---------------------------------------------------------------------------------------
// Talking to the agent. Every request is one JSON object with an "action"; every reply is
// a JSON object whose first member is "action". A request the agent cannot serve gets no
// reply at all, so every request here has a time-out.

const REPLY_TIMEOUT_MS = 120000; // signing may wait for the user to type a PIN

// HTTP: POST the request to any path. The body is a string, so this is a simple request
// (no CORS preflight, which the agent answers but which costs a round trip).
async function httpRequest(request) {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), REPLY_TIMEOUT_MS);
  try {
    const response = await fetch(config.httpUrl, {
      method: "POST",
      body: JSON.stringify(request),
      signal: abort.signal,
    });
    return JSON.parse(await response.text());
  } finally {
    clearTimeout(timer);
  }
}

// WebSocket, sub-protocol "signature". The agent greets every connection once with
// { "action" : "start" }, then answers each request message with one reply message, in
// the order of the requests. Replies carry no request id, so they are matched in order.
class AgentSocket {
  static open(url) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(url, "signature");
      const agent = new AgentSocket(socket);
      socket.onerror = () => reject(new Error("cannot connect to " + url));
      socket.onmessage = (event) => {
        if (JSON.parse(event.data).action !== "start")
          return reject(new Error("no start message"));
        socket.onmessage = (event) => agent.onReply(event.data);
        socket.onclose = () => agent.failWaiting(new Error("connection closed"));
        resolve(agent);
      };
    });
  }

  constructor(socket) {
    this.socket = socket;
    this.waiting = []; // one {resolve, reject} per request sent, oldest first
  }

  request(request) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        // Replies are matched by order: after a lost one, none can be trusted. Start over.
        this.failWaiting(new Error("no reply"));
        this.close();
      }, REPLY_TIMEOUT_MS);
      this.waiting.push({
        resolve: (reply) => { clearTimeout(timer); resolve(reply); },
        reject: (error) => { clearTimeout(timer); reject(error); },
      });
      this.socket.send(JSON.stringify(request));
    });
  }

  onReply(text) {
    const next = this.waiting.shift();
    if (next) next.resolve(JSON.parse(text));
  }

  failWaiting(error) {
    for (const next of this.waiting.splice(0)) next.reject(error);
  }

  close() {
    this.socket.close();
  }
}

let agentSocket = null; // opened on first use and kept

async function webSocketRequest(request) {
  if (!agentSocket || agentSocket.socket.readyState !== WebSocket.OPEN)
    agentSocket = await AgentSocket.open(config.webSocketUrl);
  return agentSocket.request(request);
}

function requestOver(transport, request) {
  return transport === "websocket" ? webSocketRequest(request) : httpRequest(request);
}

// ---------------------------------------------------------------------------------------
// Secure mode: the data sent and the signature returned are enciphered with AES-256-CBC
// and PKCS #7 padding (WebCrypto's AES-CBC pads this way) under the key and IV shared with
// the agent. Over WebSocket the agent always works in secure mode.

let payloadKey = null;

async function payloadCipherKey() {
  if (!payloadKey)
    payloadKey = await crypto.subtle.importKey("raw", hexToBytes(config.payloadKeyHex),
                                               "AES-CBC", false, ["encrypt", "decrypt"]);
  return payloadKey;
}

async function encipher(bytes) {
  const iv = hexToBytes(config.payloadIvHex);
  return new Uint8Array(await crypto.subtle.encrypt({ name: "AES-CBC", iv },
                                                    await payloadCipherKey(), bytes));
}

async function decipher(bytes) {
  const iv = hexToBytes(config.payloadIvHex);
  return new Uint8Array(await crypto.subtle.decrypt({ name: "AES-CBC", iv },
                                                    await payloadCipherKey(), bytes));
}

// ---------------------------------------------------------------------------------------
// Just enough DER to read a certificate's signature algorithm and public key, and the
// content of a CMS SignedData message.

function readElement(bytes, offset) {
  let length = bytes[offset + 1];
  let header = 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    length = 0;
    for (let i = 0; i < count; i++) length = length * 256 + bytes[offset + 2 + i];
    header += count;
  }
  const start = offset + header;
  return { tag: bytes[offset], offset, start, end: start + length };
}

function childrenOf(bytes, element) {
  const children = [];
  for (let offset = element.start; offset < element.end; ) {
    const child = readElement(bytes, offset);
    children.push(child);
    offset = child.end;
  }
  return children;
}

function oidText(bytes, element) {
  const first = bytes[element.start]; // holds the first two arcs
  const top = Math.min(Math.floor(first / 40), 2);
  const parts = [top, first - 40 * top];
  let value = 0;
  for (let i = element.start + 1; i < element.end; i++) {
    value = value * 128 + (bytes[i] & 0x7f);
    if (!(bytes[i] & 0x80)) {
      parts.push(value);
      value = 0;
    }
  }
  return parts.join(".");
}

const SHA256_WITH_RSA = "1.2.840.113549.1.1.11";
const CMS_SIGNED_DATA = "1.2.840.113549.1.7.2";

// The signature algorithm and public key of a DER certificate. The agent hashes with
// SHA-256 when the certificate is signed with sha256WithRSAEncryption and with SHA-1 for
// any other algorithm, so the page verifies with the same hash.
function certificateInfo(der) {
  const tbs = childrenOf(der, childrenOf(der, readElement(der, 0))[0]);
  const first = tbs[0].tag === 0xa0 ? 1 : 0; // skip the optional [0] version
  const algorithm = oidText(der, childrenOf(der, tbs[first + 1])[0]);
  const publicKey = tbs[first + 5];
  return {
    algorithm,
    hash: algorithm === SHA256_WITH_RSA ? "SHA-256" : "SHA-1",
    spki: der.slice(publicKey.offset, publicKey.end),
  };
}

// The encapsulated content of a CMS ContentInfo holding SignedData. The agent's CMS
// message carries the raw signature as its content.
function cmsContent(message) {
  const contentInfo = childrenOf(message, readElement(message, 0));
  if (oidText(message, contentInfo[0]) !== CMS_SIGNED_DATA) throw new Error("not SignedData");
  const signedData = childrenOf(message, childrenOf(message, contentInfo[1])[0]);
  const encapsulated = childrenOf(message, signedData[2]);
  const octets = childrenOf(message, encapsulated[1])[0];
  return message.slice(octets.start, octets.end);
}

// ---------------------------------------------------------------------------------------
// Listing, signing and verifying

let certificates = []; // the getCerts entries, each with its parsed leaf certificate

async function listCertificates(transport) {
  const reply = await requestOver(transport, { action: "getCerts" });
  if (reply.error) throw new Error(`${reply.error} (code ${reply.errorCode})`);
  return reply.certs.map((entry) => ({
    ...entry,
    info: certificateInfo(base64ToBytes(entry.certChains[0])),
  }));
}

// Asks the agent to sign the bytes and returns the signature (raw) or the CMS message,
// deciphered in secure mode.
async function sign(transport, certificate, data, format, mode) {
  const secure = transport === "websocket" || mode === "secure";
  // Over WebSocket the agent reads dataBase64 from the request text itself, from
  // "dataBase64":" to the following ","cms": keep the members compact and in this order.
  const request = {
    action: "sign",
    serialNumber: certificate.serialNumber,
    secure,
    dataBase64: bytesToBase64(secure ? await encipher(data) : data),
    cms: format === "cms",
  };
  const reply = await requestOver(transport, request);
  if (reply.error) throw new Error(`${reply.error} (code ${reply.errorCode})`);
  if (!reply.signedData) throw new Error("no signedData in the reply");
  const signed = base64ToBytes(reply.signedData);
  return secure ? decipher(signed) : signed;
}

// True when the raw signature (for CMS: the message's content) verifies against the data
// with the certificate's public key.
async function verify(certificate, data, signed, format) {
  const signature = format === "cms" ? cmsContent(signed) : signed;
  const algorithm = { name: "RSASSA-PKCS1-v1_5", hash: certificate.info.hash };
  const key = await crypto.subtle.importKey("spki", certificate.info.spki, algorithm, false,
                                            ["verify"]);
  return crypto.subtle.verify(algorithm, key, signature, data);
}

// ---------------------------------------------------------------------------------------
// The page

const $ = (id) => document.getElementById(id);

function selectedCertificate() {
  const chosen = document.querySelector("input[name=certificate]:checked");
  return chosen ? certificates[Number(chosen.value)] : null;
}

function showCertificates() {
  $("certificates").replaceChildren(...certificates.map((certificate, index) => {
    const row = document.createElement("tr");
    row.innerHTML = `<td><input type="radio" name="certificate" value="${index}"></td>
      <td></td><td class="mono"></td><td></td><td></td>`;
    const cells = row.querySelectorAll("td");
    cells[1].textContent = certificate.name ?? "(no name)";
    cells[2].textContent = certificate.serialNumber;
    cells[3].textContent = certificate.info.hash;
    cells[4].textContent = `${certificate.certChains.length} certificate(s)`;
    return row;
  }));
  const first = document.querySelector("input[name=certificate]");
  if (first) first.checked = true;
}

function addResult(check, ok, details) {
  const row = document.createElement("tr");
  row.dataset.check = check;
  row.dataset.status = ok ? "verified" : "failed";
  row.innerHTML = `<td></td><td class="${row.dataset.status}">${ok ? "✔ verified" : "✘ failed"}</td>
    <td></td>`;
  row.cells[0].textContent = check;
  row.cells[2].textContent = details;
  $("results").appendChild(row);
}

function describe(transport, format, mode) {
  const secure = transport === "websocket" || mode === "secure";
  return `${transport === "http" ? "HTTP" : "WebSocket"}, ${format}, ${secure ? "secure" : "plain"}`;
}

// Signs the text as chosen and records whether the signature verifies.
async function signAndVerify(certificate, transport, format, mode) {
  const check = `sign: ${describe(transport, format, mode)}`;
  const data = utf8.encode($("text").value);
  try {
    const signed = await sign(transport, certificate, data, format, mode);
    $("signature").textContent = bytesToBase64(signed);
    const ok = await verify(certificate, data, signed, format);
    addResult(check, ok, `${signed.length} bytes, ${certificate.info.hash} with RSA, ` +
                         `key of "${certificate.name ?? certificate.serialNumber}"`);
    return ok;
  } catch (error) {
    addResult(check, false, error.message);
    return false;
  }
}

async function onList() {
  const transport = $("list-transport").value;
  try {
    certificates = await listCertificates(transport);
    showCertificates();
    addResult(`getCerts over ${transport === "http" ? "HTTP" : "WebSocket"}`, true,
              `${certificates.length} certificate(s)`);
  } catch (error) {
    addResult("getCerts", false, error.message);
  }
}

async function onSign() {
  const certificate = selectedCertificate();
  if (!certificate) throw new Error("List the certificates and choose one first.");
  await signAndVerify(certificate, $("transport").value, $("format").value, $("mode").value);
}

// Both transports list the same certificates, and every combination signs and verifies.
async function onRunAll() {
  const overHttp = await listCertificates("http");
  const overWebSocket = await listCertificates("websocket");
  const serials = (list) => list.map((c) => c.serialNumber).join(",");
  addResult("getCerts: WebSocket lists what HTTP lists",
            overHttp.length > 0 && serials(overHttp) === serials(overWebSocket),
            `${overHttp.length} certificate(s)`);
  if (!certificates.length) {
    certificates = overHttp;
    showCertificates();
  }
  const certificate = selectedCertificate();
  if (!certificate) throw new Error("The store holds no certificate to sign with.");
  for (const [transport, format, mode] of [
    ["http", "raw", "plain"], ["http", "raw", "secure"], ["http", "cms", "plain"],
    ["http", "cms", "secure"], ["websocket", "raw", "secure"], ["websocket", "cms", "secure"],
  ])
    await signAndVerify(certificate, transport, format, mode);
}

function busy(action) {
  return async () => {
    $("sign-status").textContent = "Working…";
    document.body.dataset.busy = "yes";
    try {
      await action();
      $("sign-status").textContent = "";
    } catch (error) {
      $("sign-status").textContent = error.message;
    } finally {
      delete document.body.dataset.busy;
    }
  };
}

$("agent-address").textContent = `${config.httpUrl} and ${config.webSocketUrl}`;
$("list").onclick = busy(onList);
$("sign").onclick = busy(onSign);
$("run-all").onclick = busy(onRunAll);
$("transport").onchange = () => {
  $("mode").disabled = $("transport").value === "websocket";
};
// index.html?run=all lists the certificates and tries every combination at once.
if (new URLSearchParams(location.search).get("run") === "all") busy(onRunAll)();
