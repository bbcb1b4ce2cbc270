// The Quillmark demo page: how a web page lists the user's certificates, has the agent sign
// with one of them over HTTP or WebSocket, and checks the signature itself with WebCrypto;
// and how it has an e-invoice signed with an XML signature where the seller signs.
// Plain JavaScript, no framework, no build step. Read it top to bottom.
import { QuillmarkClient, base64ToBytes, bytesToBase64 } from "./quillmark.js";

const config = window.QUILLMARK_CONFIG;

// ---------------------------------------------------------------------------------------
// Text as bytes (Base64 comes from the client library)

const utf8 = new TextEncoder();

// ---------------------------------------------------------------------------------------
// Talking to the agent, through the Quillmark client library (clients/js/quillmark.js): one
// client per transport, each connecting on its first request.

const clients = {};

function client(transport) {
  clients[transport] ??= new QuillmarkClient({
    transport,
    url: config.httpUrl,
    payloadKeyHex: config.payloadKeyHex,
    payloadIvHex: config.payloadIvHex,
  });
  return clients[transport];
}

// The library's errors say what the user can do about them.
function explain(error) {
  return error.howToUndo ? `${error.message} ${error.howToUndo}` : error.message;
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
  const certs = await client(transport).getCerts();
  return certs.map((entry) => ({
    ...entry,
    info: certificateInfo(base64ToBytes(entry.certChains[0])),
  }));
}

// Has the agent sign the bytes; returns the signature (raw) or the CMS message, deciphered by
// the library in secure mode (always so over WebSocket).
function sign(transport, certificate, data, format, mode) {
  return client(transport).sign({
    serial: certificate.serialNumber,
    data,
    format,
    secure: mode === "secure",
  });
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
// An e-invoice: the agent adds the seller's enveloped XML signature. The signature value can
// only be checked over canonical XML, which browsers do not make; the page checks what it can
// see (where the signature went, what it refers to, which certificate it carries, and that
// the invoice's data came back as it went), and xmlsec1 checks the rest in the page's tests.

const XMLDSIG = "http://www.w3.org/2000/09/xmldsig#";
// Where Vietnamese e-invoices carry the seller's signature, over <DLHDon Id="data">.
const SELLER_SIGNATURE = { referenceId: "data", parentPath: "/HDon/DSCKS/NBan",
                           signatureId: "seller" };

function signInvoice(transport, certificate, xml) {
  return client(transport).signXml(xml, {
    serial: certificate.serialNumber,
    ...SELLER_SIGNATURE,
    signingTime: true,
  });
}

function elementPath(element) {
  const names = [];
  for (let node = element; node.nodeType === Node.ELEMENT_NODE; node = node.parentNode)
    names.unshift(node.localName);
  return "/" + names.join("/");
}

// The text of the first XML-DSig element of that name, without the line breaks of Base64.
function dsigText(root, name) {
  return root.getElementsByTagNameNS(XMLDSIG, name)[0]?.textContent.replace(/\s+/g, "") ?? null;
}

// The signed element, serialized as the browser reads it: the same before and after signing
// when the agent left the data alone.
function signedPart(xmlDocument) {
  const element = xmlDocument.querySelector(`[Id="${SELLER_SIGNATURE.referenceId}"]`);
  return element ? new XMLSerializer().serializeToString(element) : null;
}

// What is wrong with a signed invoice as far as the page can see, in the user's words: [] when
// nothing is.
function invoiceProblems(original, signed, certificate) {
  const parse = (text) => new DOMParser().parseFromString(text, "application/xml");
  const after = parse(signed);
  if (after.getElementsByTagName("parsererror").length)
    return ["hóa đơn đã ký không phải XML hợp lệ"];
  const signatures = after.getElementsByTagNameNS(XMLDSIG, "Signature");
  if (signatures.length !== 1) return [`hóa đơn có ${signatures.length} chữ ký thay vì một`];
  const [signature] = signatures;
  const { referenceId, parentPath, signatureId } = SELLER_SIGNATURE;
  const problems = [];
  if (elementPath(signature.parentNode) !== parentPath)
    problems.push(`chữ ký không nằm trong ${parentPath}`);
  if (signature.getAttribute("Id") !== signatureId)
    problems.push(`chữ ký không có Id="${signatureId}"`);
  if (signature.getElementsByTagNameNS(XMLDSIG, "Reference")[0]?.getAttribute("URI") !==
      `#${referenceId}`)
    problems.push(`chữ ký không tham chiếu tới phần tử Id="${referenceId}"`);
  if (dsigText(signature, "X509Certificate") !== certificate.certChains[0])
    problems.push("chữ ký không mang chứng thư số đã chọn");
  if (signedPart(after) !== signedPart(parse(original)))
    problems.push(`dữ liệu hóa đơn (Id="${referenceId}") đã bị thay đổi`);
  return problems;
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
    addResult(check, false, explain(error));
    return false;
  }
}

// Signs the e-invoice in the text box with the chosen certificate and says what the page's
// own check found.
async function onSignInvoice() {
  const certificate = selectedCertificate();
  if (!certificate)
    throw new Error("Hãy liệt kê chứng thư số (mục 1) và chọn một chứng thư trước.");
  const original = $("invoice").value;
  $("signed-invoice").value = "";
  const signed = await signInvoice($("invoice-transport").value, certificate, original);
  $("signed-invoice").value = signed;
  const problems = invoiceProblems(original, signed, certificate);
  $("invoice-status").dataset.outcome = problems.length ? "problems" : "ok";
  if (problems.length) return `✘ Đã ký, nhưng ${problems.join("; ")}.`;
  const time = dsigText(new DOMParser().parseFromString(signed, "application/xml"),
                        "SigningTime");
  return `✔ Đã ký bằng chứng thư số của "${certificate.name ?? certificate.serialNumber}"` +
    (time ? ` lúc ${time.replace("T", " ")}` : "") + `: chữ ký nằm trong ` +
    `${SELLER_SIGNATURE.parentPath}, ký phần tử Id="${SELLER_SIGNATURE.referenceId}" và mang ` +
    "chứng thư số đã chọn; dữ liệu hóa đơn không đổi.";
}

async function onList() {
  const transport = $("list-transport").value;
  try {
    certificates = await listCertificates(transport);
    showCertificates();
    addResult(`getCerts over ${transport === "http" ? "HTTP" : "WebSocket"}`, true,
              `${certificates.length} certificate(s)`);
  } catch (error) {
    addResult("getCerts", false, explain(error));
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

// Runs a button's action with the page marked busy; the action's message, or its error
// explained, then shows in the status line (data-outcome "error" for an error).
function busy(action, statusId = "sign-status", working = "Working…") {
  return async () => {
    const status = $(statusId);
    status.textContent = working;
    delete status.dataset.outcome;
    document.body.dataset.busy = "yes";
    try {
      status.textContent = (await action()) ?? "";
    } catch (error) {
      status.dataset.outcome = "error";
      status.textContent = explain(error);
    } finally {
      delete document.body.dataset.busy;
    }
  };
}

$("agent-address").textContent = `${config.httpUrl} and ${config.httpUrl.replace(/^http/, "ws")}`;
$("list").onclick = busy(onList);
$("sign").onclick = busy(onSign);
$("run-all").onclick = busy(onRunAll);
$("sign-invoice").onclick = busy(onSignInvoice, "invoice-status", "Đang ký…");
$("transport").onchange = () => {
  $("mode").disabled = $("transport").value === "websocket";
};
// The page's own steps, for the browser's console and its tests (a module declares no globals).
Object.assign(window, { utf8, listCertificates, sign, verify, signInvoice, invoiceProblems });

// index.html?run=all lists the certificates and tries every combination at once.
if (new URLSearchParams(location.search).get("run") === "all") busy(onRunAll)();
