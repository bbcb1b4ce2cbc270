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
  readonly agentError: "agentError";
};
export type ErrorCode = (typeof ErrorCode)[keyof typeof ErrorCode];

export declare class QuillmarkError extends Error {
  readonly name: "QuillmarkError";
  readonly code: ErrorCode;
  /** What the user does to undo it: for localNetworkBlocked (for the browser the page runs
   * in) and siteRefused; null otherwise. */
  readonly howToUndo: string | null;
  /** The agent's errorCode and error text, when the agent answered with an error. */
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
}

export interface AgentStatus {
  action: "status";
  version: string;
  site: "allowed" | "allowedByAdministrator" | "refused" | "notAsked";
  lastFailure: "refusedByUser" | "pinCancelled" | "noDialog" | "notFound" | "wrongPin" | "none";
}

export interface Certificate {
  /** The subject's name, when it has one. */
  name?: string;
  /** Lowercase hex, as sign() takes it. */
  serialNumber: string;
  /** Base64 DER, the certificate first. */
  certChains: string[];
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

export type PermissionStateName = "granted" | "prompt" | "denied" | "unsupported";

export declare class QuillmarkClient {
  constructor(options?: QuillmarkClientOptions);
  /** First contact, from a user gesture: a CORS fetch of status, then the WebSocket. */
  connect(): Promise<AgentStatus>;
  status(): Promise<AgentStatus>;
  permissionState(): Promise<PermissionStateName>;
  getCerts(): Promise<Certificate[]>;
  /** The signature or CMS message the agent made, deciphered in secure mode. */
  sign(options: SignOptions): Promise<Uint8Array>;
  close(): void;
}

/** Base64 of bytes, as the agent's replies and certificate chains carry them. */
export declare function bytesToBase64(bytes: Uint8Array): string;
/** The bytes of Base64 text. */
export declare function base64ToBytes(text: string): Uint8Array;
