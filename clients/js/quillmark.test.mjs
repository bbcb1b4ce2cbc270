// Unit tests of the Quillmark client, run with `node --test`. No agent is started: fetch,
// WebSocket and the browser's globals are replaced by fakes that play the agent and the browser.
import { test, afterEach } from "node:test";
import assert from "node:assert/strict";
import { createCipheriv, createDecipheriv, webcrypto } from "node:crypto";
import { readFileSync } from "node:fs";
import { QuillmarkClient, bytesToBase64, base64ToBytes } from "./quillmark.js";

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
      assert.ok(error.message.includes(`${reply.error} (code ${reply.errorCode})`), what);
    // The agent's status is asked (after connect's) only when it can explain the failure.
    assert.equal(sent.length, reply.error === "Sign error" ? 2 : 3, what);
  }
  // Certificates listed before a store failed are given, not an error.
  fakeAgent((request) => request.action === "status" ? {} : { ...keyError, certs: [{}] });
  assert.deepEqual(await new QuillmarkClient().getCerts(), [{}]);
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
