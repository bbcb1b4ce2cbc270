// Unit tests of the Quillmark client, run with `node --test`. No agent is started: fetch,
// WebSocket and the browser's globals are replaced by fakes that play the agent and the browser.
import { test, after, afterEach } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createCipheriv, createDecipheriv, webcrypto } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { QuillmarkClient, VERSION, bytesToBase64, base64ToBytes } from "./quillmark.js";

// Browsers give pages WebCrypto as `crypto`; Node 18, Debian 12's, keeps it in node:crypto.
globalThis.crypto ??= webcrypto;

// The key and IV the agent is built with by default: the client's defaults must be the same.
const cmake = readFileSync(new URL("../../cmake/PayloadKey.cmake", import.meta.url), "utf8");
const KEY = Buffer.from(cmake.match(/QUILLMARK_PAYLOAD_KEY "([0-9a-f]{64})"/)[1], "hex");
const IV = Buffer.from(cmake.match(/QUILLMARK_PAYLOAD_IV "([0-9a-f]{32})"/)[1], "hex");
// AES-256-CBC with PKCS #7 padding, as the agent does it, in Node's OpenSSL, not WebCrypto.
const aes = (make, bytes, key = KEY, iv = IV) => {
  const cipher = make("aes-256-cbc", key, iv);
  return Buffer.concat([cipher.update(bytes), cipher.final()]);
};

// Sets a global for one test; afterEach puts the original back.
const saved = new Map();
function setGlobal(name, value) {
  if (!saved.has(name)) saved.set(name, Object.getOwnPropertyDescriptor(globalThis, name));
  Object.defineProperty(globalThis, name, { value, configurable: true, writable: true });
}
afterEach(() => {
  for (const [name, descriptor] of saved) {
    if (descriptor) Object.defineProperty(globalThis, name, descriptor);
    else delete globalThis[name];
  }
  saved.clear();
});

// The agent over HTTP: answer(request) gives the reply, or an Error for a failed connection.
// Returns the texts of the requests sent, in order.
function fakeAgent(answer) {
  const sent = [];
  setGlobal("fetch", async (url, init) => {
    sent.push(init.body);
    const reply = answer(JSON.parse(init.body));
    if (reply instanceof Error) throw reply;
    return new Response(JSON.stringify(reply));
  });
  return sent;
}

// A browser whose permissions query knows only the names in `permissions`.
function fakeBrowser({ ua = "Chrome/156.0", permissions = {}, secure = true, host = "a.example" }) {
  const query = async ({ name }) => {
    if (!(name in permissions)) throw new TypeError(`unknown permission ${name}`);
    return { state: permissions[name] };
  };
  setGlobal("navigator", { userAgent: `Mozilla/5.0 ${ua}`, permissions: { query } });
  setGlobal("isSecureContext", secure);
  setGlobal("location", { hostname: host });
}

test("Base64 carries every byte value and UTF-8 text both ways", () => {
  const all = Uint8Array.from({ length: 256 }, (_, i) => i);
  assert.equal(bytesToBase64(all), Buffer.from(all).toString("base64"));
  assert.deepEqual(base64ToBytes(bytesToBase64(all)), all);
  const text = Buffer.from("Trang web bị từ chối", "utf8");
  assert.deepEqual(base64ToBytes(text.toString("base64")), new Uint8Array(text));
  assert.equal(bytesToBase64(new Uint8Array(0)), "");
});

test("secure mode enciphers the data and deciphers the result as the agent does", async () => {
  const signature = Uint8Array.from({ length: 256 }, (_, i) => 255 - i);
  const own = { key: Buffer.alloc(32, 7), iv: Buffer.alloc(16, 9) };
  for (const [data, secure, { key, iv } = { key: KEY, iv: IV }] of [
    ["chữ ký số 1", true], // 16 bytes of UTF-8: PKCS #7 adds a whole block
    [Uint8Array.of(0, 128, 255).buffer, true],
    ["x", true, own],
    ["chữ ký", false],
  ]) {
    const sent = fakeAgent((request) => request.action === "status" ? {} : {
      signedData: (secure ? aes(createCipheriv, signature, key, iv) : Buffer.from(signature))
        .toString("base64"),
    });
    const client = new QuillmarkClient(key === KEY ? {} : {
      payloadKeyHex: key.toString("hex"), payloadIvHex: iv.toString("hex") });
    assert.deepEqual(await client.sign({ serial: "0a1b", data, format: "cms", secure }), signature);
    const request = JSON.parse(sent[1]);
    // The agent reads dataBase64 up to the following ","cms": the members keep this order.
    assert.equal(Object.keys(request).join(), "action,serialNumber,secure,dataBase64,cms");
    assert.deepEqual([request.secure, request.cms], [secure, true]);
    const carried = Buffer.from(request.dataBase64, "base64");
    assert.deepEqual(secure ? aes(createDecipheriv, carried, key, iv) : carried, Buffer.from(data));
  }
});

test("over WebSocket the request is enciphered even when secure is not asked for", async () => {
  fakeAgent(() => ({}));
  const sent = [];
  setGlobal("WebSocket", class {
    static OPEN = 1;
    constructor(url, protocol) {
      assert.deepEqual([url, protocol], ["ws://127.0.0.1:7681", "signature"]);
      this.readyState = 1;
      setTimeout(() => this.onmessage({ data: "{\"action\":\"start\"}" }));
    }
    send(text) {
      sent.push(JSON.parse(text));
      const reply = { signedData: aes(createCipheriv, Buffer.from("sig")).toString("base64") };
      setTimeout(() => this.onmessage({ data: JSON.stringify(reply) }));
    }
    close() {}
  });
  const client = new QuillmarkClient({ transport: "websocket" });
  const signature = await client.sign({ serial: "01", data: "abc" });
  assert.equal(Buffer.from(signature).toString(), "sig");
  assert.equal(sent[0].secure, true);
  assert.equal(aes(createDecipheriv, Buffer.from(sent[0].dataBase64, "base64")).toString(), "abc");
  assert.equal(await client.signXml("<a/>", { serial: "01" }), "sig");
  assert.equal(sent[1].secure, true);
  assert.equal(aes(createDecipheriv, Buffer.from(sent[1].xmlBase64, "base64")).toString(), "<a/>");
});

test("an error reply is told apart by the site's standing, among the call's failures", async () => {
  const keyError = { error: "Get private key error", errorCode: 4294959119 };
  const listError = { ...keyError, certs: [] };
  for (const [call, reply, status, code] of [
    ["sign", keyError, { site: "refused", lastFailure: "none" }, "siteRefused"],
    ["sign", keyError, { lastFailure: "pinCancelled" }, "pinCancelled"],
    ["sign", keyError, { lastFailure: "wrongPin" }, "wrongPin"],
    ["sign", keyError, { lastFailure: "none" }, "agentError"],
    ["sign", {}, { lastFailure: "notFound" }, "tokenMissing"], // a serial not found
    // A failure the agent does not explain is not taken for the site's last one.
    ["sign", { error: "Sign error", errorCode: 5 }, { lastFailure: "pinCancelled" }, "agentError"],
    ["getCerts", listError, { lastFailure: "noDialog" }, "noDialog"],
    ["getCerts", listError, { lastFailure: "refusedByUser" }, "siteRefused"],
    ["getCerts", listError, { lastFailure: "pinCancelled" }, "agentError"],
  ]) {
    const sent = fakeAgent((request) => request.action === "status" ? status : reply);
    const client = new QuillmarkClient();
    const error = await (call === "sign" ? client.sign({ serial: "01", data: "x" })
      : client.getCerts()).then(() => assert.fail(`${call} resolved`), (error) => error);
    const what = `${call} ${JSON.stringify(reply)} ${JSON.stringify(status)}`;
    assert.equal(error.code, code, what);
    assert.equal(error.agentErrorCode, reply.errorCode ?? null, what);
    assert.equal(error.howToUndo !== null, code === "siteRefused", what);
    // The agent's own words, for support.
    if (code === "agentError")
      assert.match(error.message, new RegExp(`${reply.error} \\((mã|code) ${reply.errorCode}\\)`));
    // The agent's status is asked (after connect's) only when it can explain the failure.
    assert.equal(sent.length, reply.error === "Sign error" ? 2 : 3, what);
  }
  // Certificates listed before a store failed are given, not an error.
  const partList = { ...keyError, certs: [{ name: "a" }] };
  fakeAgent((request) => request.action === "status" ? {} : partList);
  assert.deepEqual((await new QuillmarkClient().getCerts()).map((cert) => cert.name), ["a"]);
});

test("a failed connection is told apart by the page's context and permission", async () => {
  const [firefox, lb] = ["Firefox/153.0", "loopback-network"];
  for (const [browser, code, undo] of [
    [null, "agentNotRunning"],
    [{ permissions: { [lb]: "denied" } }, "localNetworkBlocked", /LoopbackNetwork/],
    [{ ua: firefox, permissions: { "local-network": "denied" } }, "localNetworkBlocked", /LocalN/],
    [{ permissions: { "local-network-access": "prompt" } }, "permissionPending"],
    // Firefox holds a request while it asks: one that failed in "prompt" found the port closed.
    [{ ua: firefox, permissions: { [lb]: "prompt" } }, "agentNotRunning"],
    [{ secure: false, permissions: { [lb]: "granted" } }, "localNetworkBlocked", /https/],
    [{ ua: firefox, secure: false, permissions: { [lb]: "granted" } }, "agentNotRunning"],
    // A page of this computer needs no permission, whatever the browser answers.
    [{ host: "127.0.0.1", secure: false, permissions: { [lb]: "prompt" } }, "agentNotRunning"],
    [{ permissions: {} }, "agentNotRunning"],
  ]) {
    if (browser) fakeBrowser(browser);
    fakeAgent(() => new TypeError("Failed to fetch"));
    const error = await new QuillmarkClient().connect().catch((error) => error);
    assert.equal(error.code, code, JSON.stringify(browser));
    assert.equal(error.cause, "Failed to fetch");
    if (undo) assert.match(error.howToUndo, undo);
    else assert.equal(error.howToUndo, null);
  }
  // A request that waits past the time-out while the browser's question is open is pending.
  for (const [state, code] of [["prompt", "permissionPending"], ["granted", "timeout"]]) {
    fakeBrowser({ permissions: { [lb]: state } });
    setGlobal("fetch", (url, init) => new Promise((_, reject) => init.signal.addEventListener(
      "abort", () => reject(new DOMException("aborted", "AbortError")))));
    const error = await new QuillmarkClient({ timeoutMs: 20 }).connect().catch((error) => error);
    assert.equal(error.code, code, state);
  }
});

test("VERSION is the project's and the package's version", () => {
  const cmakeLists = readFileSync(new URL("../../CMakeLists.txt", import.meta.url), "utf8");
  const packageJson = JSON.parse(readFileSync(new URL("package.json", import.meta.url), "utf8"));
  assert.equal(VERSION, cmakeLists.match(/project\(Quillmark VERSION (\S+)/)[1]);
  assert.equal(VERSION, packageJson.version);
});

// The agent over HTTP listing these certificates (Base64 DER) after connect's status.
async function listed(certChains, filter, options) {
  const certs = certChains.map((der, i) => ({
    name: `c${i}`, serialNumber: `0${i}`, certChains: der === undefined ? undefined : [der] }));
  fakeAgent((request) => request.action === "status" ? {} : { certs });
  return new QuillmarkClient(options).getCerts(filter);
}

// Certificates made by OpenSSL for this run, in a folder removed afterwards.
const folder = mkdtempSync(join(tmpdir(), "quillmark-js-"));
after(() => rmSync(folder, { recursive: true, force: true }));
const openssl = (...args) => execFileSync("openssl", args, { cwd: folder, encoding: "utf8",
                                                             stdio: ["ignore", "pipe", "pipe"] });
// OpenSSL makes names of up to 64 characters, as RFC 5280 bounds them; CAs go past that.
const LONG_NAME = "CÔNG TY TNHH THƯƠNG MẠI DỊCH VỤ NGUYỄN HOÀNG PHÁT TRIỂN ĐÔNG Á";
const LONGER_NAME = `${LONG_NAME} - CHI NHÁNH THÀNH PHỐ HỒ CHÍ MINH - PHÒNG GIAO DỊCH SỐ 1`;
let made = null;
function madeCertificates() {
  if (made) return made;
  writeFileSync(join(folder, "req.cnf"), "[req]\ndistinguished_name = dn\n[dn]\n");
  // `openssl ca` gives the validity dates as asked, GeneralizedTime from 2050 on; its
  // string_mask "default" encodes Latin-1 names as TeletexString and the others as BMPString.
  writeFileSync(join(folder, "ca.cnf"), ["[ca]", "default_ca = own", "[own]",
    "database = index.txt", "new_certs_dir = .", "rand_serial = yes", "policy = any",
    "preserve = yes", "string_mask = default", "unique_subject = no", "[any]",
    "countryName = optional", "organizationName = optional", "commonName = optional",
    "UID = optional", "[usage]",
    "keyUsage = critical, digitalSignature, nonRepudiation, keyEncipherment, decipherOnly", ""]
    .join("\n"));
  writeFileSync(join(folder, "index.txt"), "");
  writeFileSync(join(folder, "company.ext"),
                "keyUsage = critical, digitalSignature, nonRepudiation\n");
  // The CA, for a century: its notAfter is a GeneralizedTime.
  openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
          "-config", "req.cnf", "-days", "36500", "-sha256", "-utf8",
          "-subj", "/C=VN/O=Công ty Cổ phần Chứng thực Số Quillmark/CN=Quillmark CA Việt Nam",
          "-addext", "keyUsage = critical, keyCertSign, cRLSign");
  // A company's, with its tax code and its director's id number in one RDN.
  const ids = "UID=MST:0312345678+UID=CCCD:001099012345";
  openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "company.key",
          "-out", "company.csr", "-config", "req.cnf", "-utf8", "-multivalue-rdn",
          "-subj", `/C=VN/ST=Hà Nội/O=${LONG_NAME}/CN=${LONG_NAME}/${ids}`);
  openssl("x509", "-req", "-in", "company.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
          "-days", "730", "-sha256", "-extfile", "company.ext", "-out", "company.pem");
  // A person's RSA-4096 key, signed with SHA-1, valid from 2050: two GeneralizedTimes.
  openssl("req", "-new", "-newkey", "rsa:4096", "-nodes", "-keyout", "person.key",
          "-out", "person.csr", "-config", "req.cnf", "-subj", "/CN=x");
  openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
          "-in", "person.csr", "-out", "person.pem", "-notext", "-md", "sha1", "-utf8",
          "-startdate", "20500101000000Z", "-enddate", "20600101120000Z", "-extensions", "usage",
          "-subj", "/C=VN/O=Café Lê/CN=Nguyễn Thị Hồng Nhung/UID=CMND:012345678/UID=other");
  // Version 1, without extensions or common name, from 1950 to 2049 in UTCTime.
  openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
          "-in", "company.csr", "-out", "old.pem", "-notext", "-md", "sha1",
          "-startdate", "500101000000Z", "-enddate", "491231235959Z", "-subj", "/C=VN/O=Old Ltd");
  const base64 = (file) => readFileSync(join(folder, file), "utf8")
    .replace(/-----[^-]+-----|\s/g, "");
  made = {
    ca: { file: "ca.pem", der: base64("ca.pem"), taxCode: null, personalId: null },
    company: { file: "company.pem", der: base64("company.pem"), taxCode: "0312345678",
               personalId: "001099012345" },
    person: { file: "person.pem", der: base64("person.pem"), taxCode: null,
              personalId: "012345678" },
    old: { file: "old.pem", der: base64("old.pem"), taxCode: null, personalId: null },
  };
  return made;
}

const OPENSSL_USAGES = {
  "Digital Signature": "digitalSignature", "Non Repudiation": "nonRepudiation",
  "Key Encipherment": "keyEncipherment", "Data Encipherment": "dataEncipherment",
  "Key Agreement": "keyAgreement", "Certificate Sign": "keyCertSign", "CRL Sign": "cRLSign",
  "Encipher Only": "encipherOnly", "Decipher Only": "decipherOnly",
};

// What `openssl x509` prints of a certificate, in the shape of getCerts' details.
function opensslReading(file) {
  const text = openssl("x509", "-in", file, "-noout", "-subject", "-issuer", "-dates",
                       "-dateopt", "iso_8601", "-ext", "keyUsage",
                       "-nameopt", "utf8,sep_multiline,sname,-esc_msb");
  const reading = { subject: [], issuer: [], keyUsage: [] };
  let section = null;
  for (const line of text.split("\n")) {
    const field = /^(\w+)=(.*)$/.exec(line);
    if (field) {
      section = field[1];
      if (field[2]) reading[section] = new Date(field[2].replace(" ", "T"));
    } else if (line.startsWith("X509v3 Key Usage")) {
      section = "keyUsage";
    } else if (line.trim() && section === "keyUsage") {
      reading.keyUsage = line.trim().split(", ").map((name) => OPENSSL_USAGES[name]);
    } else if (line.trim()) {
      // Attributes of one RDN share a line, joined by " + ".
      for (const pair of line.trim().split(" + "))
        reading[section].push(pair.split(/=(.*)/, 2));
    }
  }
  const name = (pairs) => ({ commonName: pairs.find(([key]) => key === "CN")?.[1] ?? null,
                             organization: pairs.find(([key]) => key === "O")?.[1] ?? null });
  const now = new Date();
  return { subject: name(reading.subject), issuer: name(reading.issuer),
           notBefore: reading.notBefore, notAfter: reading.notAfter,
           validNow: reading.notBefore <= now && now <= reading.notAfter,
           keyUsage: reading.keyUsage };
}

test("certificates are read as OpenSSL reads them", async () => {
  const certificates = Object.values(madeCertificates());
  const certs = await listed(certificates.map(({ der }) => der));
  for (const [i, { file, taxCode, personalId }] of certificates.entries()) {
    const { subject, issuer, notBefore, notAfter, validNow, keyUsage } = certs[i];
    assert.deepEqual({ subject, issuer, notBefore, notAfter, validNow, keyUsage },
                     opensslReading(file), file);
    assert.deepEqual([certs[i].taxCode, certs[i].personalId], [taxCode, personalId], file);
  }
  // What the cases are there for, lest OpenSSL change how it makes them.
  assert.equal(certs[1].subject.commonName, LONG_NAME);
  assert.match(openssl("asn1parse", "-in", "person.pem"), /T61STRING[^]*BMPSTRING/);
  assert.ok(certs[0].notAfter.getUTCFullYear() > 2050); // a GeneralizedTime after a UTCTime
  assert.deepEqual([certs[2].notBefore, certs[3].notBefore, certs[3].notAfter]
    .map((date) => date.toISOString().slice(0, 4)), ["2050", "1950", "2049"]);
  assert.ok(certs[2].keyUsage.includes("decipherOnly")); // a bit in the second byte
});

// DER as a test writes it: a tag and its contents, with a definite length.
function der(tag, ...contents) {
  const body = Buffer.concat(contents.map((part) => typeof part === "string"
    ? Buffer.from(part, "latin1") : part));
  const length = body.length < 128 ? [body.length] : body.length < 256 ? [0x81, body.length]
    : [0x82, body.length >> 8, body.length & 255];
  return Buffer.concat([Buffer.from([tag, ...length]), body]);
}
const oid = (hex) => der(0x06, Buffer.from(hex, "hex"));

test("a certificate reads in the encodings OpenSSL does not make, or is given null details",
     async () => {
  const name = der(0x30,
    der(0x31, der(0x30, oid("550403"), der(0x16, "Le Thi"))),
    der(0x31, der(0x30, oid("55040a"), der(0x0c, Buffer.from(LONGER_NAME)))),
    der(0x31, der(0x30, oid("55040a"), der(0x16, "Acme"))), // the first organization counts
    der(0x31, der(0x30, oid("0992268993f22c640101"), der(0x0c, " mst : 0101234567 "))));
  const tbs = (validity, extensions) => der(0x30, der(0xa0, der(0x02, "\x02")), der(0x02, "\x01"),
    der(0x30, oid("2a864886f70d01010b")), name, validity, name, der(0x30), ...extensions);
  const certificate = (...parts) => der(0x30, tbs(...parts), der(0x30), der(0x03, "\x00"))
    .toString("base64");
  const keyUsage = der(0xa3, der(0x30, der(0x30, oid("551d0f"), der(0x01, "\xff"),
                                           der(0x04, der(0x03, "\x01\x32")))));
  const fractions = der(0x30, der(0x18, "20240229123456.789Z"), der(0x18, "20991231235959,5Z"));
  const good = certificate(fractions, [keyUsage]);
  const [read, ...unread] = await listed([
    good,
    good.slice(0, 200), // cut short
    certificate(der(0x30, der(0x17, "240229123456+0700"), der(0x17, "341231235959Z")), []),
    "not Base64!",
    undefined, // no chain
  ]);
  assert.deepEqual(read.subject, { commonName: "Le Thi", organization: LONGER_NAME });
  assert.equal(read.taxCode, "0101234567");
  assert.equal(read.notBefore.toISOString(), "2024-02-29T12:34:56.789Z");
  assert.equal(read.notAfter.toISOString(), "2099-12-31T23:59:59.500Z");
  assert.deepEqual(read.keyUsage, ["keyEncipherment", "dataEncipherment", "cRLSign"]);
  for (const [i, { name, serialNumber, certChains, ...details }] of unread.entries()) {
    assert.deepEqual([name, serialNumber], [`c${i + 1}`, `0${i + 1}`]);
    assert.deepEqual(details, { subject: null, issuer: null, taxCode: null, personalId: null,
                                notBefore: null, notAfter: null, validNow: null, keyUsage: null });
  }
});

test("getCerts keeps the certificates that match every filter given", async () => {
  const { ca, company, person, old } = madeCertificates();
  const all = [ca.der, company.der, person.der, old.der, "AAAA"];
  for (const [filter, names] of [
    [undefined, "c0 c1 c2 c3 c4"],
    [{ validNow: true }, "c0 c1 c3"], // the 2050 one is not valid yet; the unread one unknown
    [{ taxCode: "0312345678" }, "c1"],
    [{ taxCode: "031234567" }, ""],
    [{ issuer: "quillmark ca VIỆT" }, "c0 c1 c2 c3"],
    [{ issuer: "Việt".normalize("NFD") }, "c0 c1 c2 c3"], // typed with combining marks
    [{ issuer: "Công ty" }, ""], // the organization is not the common name
    [{ keyUsage: "nonRepudiation" }, "c1 c2"],
    [{ validNow: true, keyUsage: "nonRepudiation", issuer: "quillmark" }, "c1"],
  ]) {
    const certs = await listed(all, filter);
    assert.equal(certs.map((cert) => cert.name).join(" "), names, JSON.stringify(filter));
  }
  await assert.rejects(listed(all, { keyUsage: "signing" }), TypeError);
});

test("signXml sends the document and the options given, and gives the signed text", async () => {
  const document = "<HDon><DLHDon Id=\"data\"><Ten>Hóa đơn điện tử</Ten></DLHDon></HDon>";
  const signed = document.replace("</HDon>", "<DSCKS><NBan><Signature/></NBan></DSCKS></HDon>");
  for (const [xml, options, members] of [
    [document, { serial: "0a1b", referenceId: "data", parentPath: "/HDon/DSCKS/NBan",
                 signatureId: "seller", signingTime: true, exclusive: true },
     { referenceId: "data", parentPath: "/HDon/DSCKS/NBan", signatureId: "seller",
       signingTime: true, canonicalization: "exclusive" }],
    [new TextEncoder().encode(document), { serial: "0a1b", signingTime: false, exclusive: false },
     { signingTime: false }],
    [document, { serial: "0a1b", secure: true, referenceId: "data" }, { referenceId: "data" }],
  ]) {
    const secure = options.secure === true;
    const sent = fakeAgent((request) => request.action === "status" ? {} : {
      action: "signXml",
      signedData: (secure ? aes(createCipheriv, Buffer.from(signed)) : Buffer.from(signed))
        .toString("base64"),
    });
    assert.equal(await new QuillmarkClient().signXml(xml, options), signed);
    const { xmlBase64, ...request } = JSON.parse(sent[1]);
    assert.deepEqual(request, { action: "signXml", serialNumber: "0a1b", secure, ...members });
    const carried = Buffer.from(xmlBase64, "base64");
    assert.equal((secure ? aes(createDecipheriv, carried) : carried).toString(), document);
  }
});

test("signXml tells a document the agent refused from a key it could not have", async () => {
  for (const [reply, status, code, agentMessage] of [
    [{ error: "invalid XML: DTD not allowed" }, null, "invalidXml", "DTD not allowed"],
    [{ error: "Get private key error", errorCode: 4294959119 }, { lastFailure: "pinCancelled" },
     "pinCancelled", "Get private key error"],
    [{}, { lastFailure: "notFound" }, "tokenMissing", "phản hồi không có chữ ký"],
  ]) {
    const sent = fakeAgent((request) => request.action === "status" ? status ?? {}
      : { action: "signXml", ...reply });
    const error = await new QuillmarkClient().signXml("<a/>", { serial: "01" })
      .catch((error) => error);
    assert.equal(error.code, code);
    assert.equal(error.agentMessage, agentMessage);
    // A refused document is not the site's last failure: the agent's status is not asked.
    assert.equal(sent.length, status ? 3 : 2);
  }
});

test("messages are in Vietnamese, or in English when asked, the library's own included",
     async () => {
  const failures = {
    agentNotRunning: () => {
      fakeBrowser({ permissions: {} });
      fakeAgent(() => new TypeError("Failed to fetch"));
    },
    notJson: () => setGlobal("fetch", async () => new Response("<html>")),
    invalidXml: () => fakeAgent((request) => request.action === "status" ? {}
      : { error: "invalid XML: element nesting too deep" }),
    blocked: () => {
      fakeBrowser({ permissions: { "loopback-network": "denied" } });
      fakeAgent(() => new TypeError("Failed to fetch"));
    },
  };
  const texts = {};
  for (const locale of [undefined, "vi", "en"]) {
    for (const [failure, arrange] of Object.entries(failures)) {
      arrange();
      const error = await new QuillmarkClient(locale && { locale }).signXml("<a/>", { serial: "1" })
        .catch((error) => error);
      texts[`${locale} ${failure}`] = `${error.message} ${error.howToUndo ?? ""}`;
    }
  }
  for (const failure of Object.keys(failures)) {
    assert.equal(texts[`undefined ${failure}`], texts[`vi ${failure}`]);
    assert.doesNotMatch(texts[`vi ${failure}`], /undefined|The |Click/, failure);
  }
  assert.match(texts["vi agentNotRunning"], /^Chương trình ký số Quillmark không phản hồi/);
  assert.match(texts["en notJson"], /^The agent's reply is not JSON\./);
  assert.match(texts["en invalidXml"], /^The document could not be signed: .*\(element nesting/);
  assert.match(texts["vi blocked"], /"Cho phép"/);
  assert.match(texts["en blocked"], /to Allow/);
  assert.throws(() => new QuillmarkClient({ locale: "fr" }), TypeError);
});
