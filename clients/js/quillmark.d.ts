/** This library's version, the same as the Quillmark agent's it ships with. */
export declare const VERSION: string;

export declare const ErrorCode: {
  readonly agentNotRunning: "agentNotRunning";
  readonly localNetworkBlocked: "localNetworkBlocked";
  readonly permissionPending: "permissionPending";
  readonly siteRefused: "siteRefused";
  readonly pinCancelled: "pinCancelled";
  readonly noDialog: "noDialog";
  readonly tokenMissing: "tokenMissing";
  readonly wrongPin: "wrongPin";
  readonly timeout: "timeout";
  /** signXml: the agent would not sign the document; its reason is agentMessage. */
  readonly invalidXml: "invalidXml";
  readonly agentError: "agentError";
};
export type ErrorCode = (typeof ErrorCode)[keyof typeof ErrorCode];

export declare class QuillmarkError extends Error {
  readonly name: "QuillmarkError";
  readonly code: ErrorCode;
  /** What the user does to undo it: for localNetworkBlocked (for the browser the page runs
   * in) and siteRefused; null otherwise. */
  readonly howToUndo: string | null;
  /** The agent's errorCode and error text, when the agent answered with an error (for
   * invalidXml, the agent's reason why the document was refused). */
  readonly agentErrorCode: number | null;
  readonly agentMessage: string | null;
  /** The browser's own words, when the agent could not be reached. */
  readonly cause?: string;
}

export interface QuillmarkClientOptions {
  /** "http" (default) or "websocket". */
  transport?: "http" | "websocket";
  /** The agent's address; default "http://127.0.0.1:7681" (WebSocket: the same with ws:). */
  url?: string;
  /** How long to wait for one reply, the user's PIN included; default 120000. */
  timeoutMs?: number;
  /** The secure-mode AES-256 key (64 hex digits) and CBC IV (32) the agent was built with. */
  payloadKeyHex?: string;
  payloadIvHex?: string;
  /** The language of the errors' messages and howToUndo: "vi" (default) or "en". */
  locale?: "vi" | "en";
}

export interface AgentStatus {
  action: "status";
  version: string;
  site: "allowed" | "allowedByAdministrator" | "refused" | "notAsked";
  lastFailure: "refusedByUser" | "pinCancelled" | "noDialog" | "notFound" | "wrongPin" | "none";
}

export type KeyUsage = "digitalSignature" | "nonRepudiation" | "keyEncipherment" |
  "dataEncipherment" | "keyAgreement" | "keyCertSign" | "cRLSign" | "encipherOnly" |
  "decipherOnly";

export interface CertificateName {
  /** The first CN, or null. */
  commonName: string | null;
  /** The first O, or null. */
  organization: string | null;
}

export interface Certificate {
  /** The subject's name, when it has one. */
  name?: string;
  /** Lowercase hex, as sign() takes it. */
  serialNumber: string;
  /** Base64 DER, the certificate first. */
  certChains: string[];
  // Read from certChains[0]. When it cannot be read, every one of them is null.
  subject: CertificateName | null;
  issuer: CertificateName | null;
  /** The text after "MST:" in a UID of the subject, or null. */
  taxCode: string | null;
  /** The text after "CCCD:" or "CMND:" in a UID of the subject, or null. */
  personalId: string | null;
  notBefore: Date | null;
  notAfter: Date | null;
  /** Whether now is between notBefore and notAfter, when getCerts answered. */
  validNow: boolean | null;
  /** The bits set in the keyUsage extension; empty without one. */
  keyUsage: KeyUsage[] | null;
}

/** Filters of getCerts: a certificate is kept when it matches all that are given. */
export interface CertificateFilter {
  /** true: only certificates valid now. */
  validNow?: boolean;
  /** Equal to the certificate's taxCode. */
  taxCode?: string;
  /** Text found in the issuer's common name, in any case. */
  issuer?: string;
  /** A bit that must be set; another name throws a TypeError. */
  keyUsage?: KeyUsage;
}

export interface SignOptions {
  serial: string;
  /** Bytes, or a string signed as UTF-8. */
  data: Uint8Array | ArrayBuffer | string;
  /** "raw" (default): the PKCS #1 v1.5 signature; "cms": a DER CMS SignedData message. */
  format?: "raw" | "cms";
  /** Encipher the data and the result with the payload key (always so over WebSocket). */
  secure?: boolean;
}

export interface SignXmlOptions {
  serial: string;
  /** The Id of the element to sign; without it, the whole document. */
  referenceId?: string;
  /** Where the Signature element goes, e.g. "/HDon/DSCKS/NBan"; the root element without it. */
  parentPath?: string;
  /** The Signature element's Id. */
  signatureId?: string;
  /** false leaves out the signed time of signing, which the agent adds otherwise. */
  signingTime?: boolean;
  /** Exclusive canonicalization instead of inclusive C14N 1.0. */
  exclusive?: boolean;
  /** As for sign(): encipher the document and the result (always so over WebSocket). */
  secure?: boolean;
}

export type PermissionStateName = "granted" | "prompt" | "denied" | "unsupported";

export declare class QuillmarkClient {
  constructor(options?: QuillmarkClientOptions);
  /** First contact, from a user gesture: a CORS fetch of status, then the WebSocket. */
  connect(): Promise<AgentStatus>;
  status(): Promise<AgentStatus>;
  permissionState(): Promise<PermissionStateName>;
  getCerts(filter?: CertificateFilter): Promise<Certificate[]>;
  /** The signature or CMS message the agent made, deciphered in secure mode. */
  sign(options: SignOptions): Promise<Uint8Array>;
  /** The signed document's text (UTF-8), with its enveloped XML signature. */
  signXml(xml: string | Uint8Array | ArrayBuffer, options: SignXmlOptions): Promise<string>;
  close(): void;
}

/** Base64 of bytes, as the agent's replies and certificate chains carry them. */
export declare function bytesToBase64(bytes: Uint8Array): string;
/** The bytes of Base64 text. */
export declare function base64ToBytes(text: string): Uint8Array;
