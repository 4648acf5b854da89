// Type declarations of the NoxHalvorant page client.

/** Codes the client itself gives a NoxError. */
export type ClientErrorCode =
  | 'BAD_INPUT' | 'NOT_DETECTED' | 'TIMEOUT' | 'ABORTED' | 'NETWORK' | 'BAD_ANSWER' | 'NO_VERSION'
  | 'ADAPTER_ERROR';

/** Names of the service's result codes (61000-61999); other codes of that range are RESULT_<n>. */
export type ResultCodeName =
  | 'UNAVAILABLE' | 'MISSING_PARAMETER' | 'NO_ADAPTER' | 'ORIGIN_OR_USER' | 'VALUE_STORE_FULL'
  | 'VALUE_NOT_ENCRYPTED' | 'SERVER_TOO_OLD' | 'ADAPTER_TOO_OLD' | 'ADAPTER_NOT_LOADED'
  | 'HOST_NOT_LOCAL' | 'NO_ENTRY_POINT' | `RESULT_${number}`;

/** Client codes, result-code names, or an adapter's own code (e.g. "PIN_INCORRECT"). */
export type NoxErrorCode = ClientErrorCode | ResultCodeName | (string & {});

/** Every failing call rejects with this. */
export class NoxError extends Error {
  constructor(code: NoxErrorCode, message: string, details?: {
    result?: string | null; resultCode?: number | null; values?: Record<string, string>;
    baseUrl?: string | null; cause?: unknown;
  });
  readonly name: 'NoxError';
  readonly code: NoxErrorCode;
  /** The raw "result" text of the answer, when one came. */
  readonly result: string | null;
  /** The number for service result codes 61000-61999, else null. */
  readonly resultCode: number | null;
  /** Every decoded value of the answer, when one came. */
  readonly answer: Record<string, string> | null;
  readonly baseUrl: string | null;
}

/** A successful answer. */
export interface AnswerRecord {
  ok: true;
  /** The decoded "result" text; null when the answer has none. */
  result: string | null;
  /** result as a number when it is one. */
  code: number | null;
  message: string;
  values: Record<string, string>;
  baseUrl: string | null;
}

export interface HeartbeatInfo { count: number; elapsedMs: number }

export interface CallOptions {
  /** Cancels the call; it rejects with ABORTED at once. */
  signal?: AbortSignal;
  /** Whole call, heartbeats included (default: the client's). */
  timeoutMs?: number;
  mainThread?: boolean;
  onHeartbeat?: (info: HeartbeatInfo) => void;
}

export interface ClientOptions {
  host?: '127.0.0.1' | 'localhost';
  ports?: number[];
  baseUrls?: string[];
  timeoutMs?: number;
  onHeartbeat?: (info: HeartbeatInfo) => void;
  fetch?: typeof fetch;
  sessionId?: string;
  browserMode?: boolean;
  /** The Origin header of a program outside a browser (e.g. "https://app.example"); browsers send the page's own. */
  origin?: string;
}

export interface OpenOptions {
  pathId?: string;
  libDir?: string;
  comName?: string;
  installerName?: string;
  minServerVersion?: string;
  minLibVersion?: string;
  browserMode?: boolean;
  timeoutMs?: number;
  signal?: AbortSignal;
}

export type DetectCause =
  | 'LOCAL_NETWORK_DENIED' | 'LOCAL_NETWORK_PROMPT' | 'NOT_RUNNING_OR_UNTRUSTED' | 'TIMEOUT' | 'BAD_ANSWER'
  | 'NO_ORIGIN';

export type Detection =
  | { detected: true; version: string | null; baseUrl: string | null }
  | { detected: false; cause: DetectCause; message: string; error: NoxError };

export type ParamValue = string | number | boolean | null;

export interface AuthenticateParams {
  /** Base64 of 32 to 128 bytes the relying party's server chose. */
  Challenge: string;
  /** Hexadecimal id of a listed certificate; without it the one that can sign in. */
  CertificateId?: string;
  TokenSerial?: string;
  /** For RSA keys: "PKCS1" (RS256, the default) or "PSS" (PS256). */
  Padding?: 'PKCS1' | 'PSS';
}

export interface SignBatchParams {
  CertificateId: string;
  /** At most 64 Base64 digests of one length: an array, or one comma-separated text. */
  Digests: string[] | string;
  DigestAlgorithm?: 'SHA-256' | 'SHA-384' | 'SHA-512';
  Padding?: 'PKCS1' | 'PSS';
  TokenSerial?: string;
}

/** The result text of authenticate(), parsed. */
export interface AuthToken {
  format: 'nox-auth:1';
  origin: string;
  /** Base64 DER of the signing certificate. */
  certificate: string;
  algorithm: 'ES256' | 'ES384' | 'ES512' | 'RS256' | 'PS256';
  /** Base64; r || s for EC keys. */
  signature: string;
}

export interface NoxClient {
  open(options: OpenOptions): Promise<AnswerRecord>;
  call(functionName: string, params?: Record<string, ParamValue>, options?: CallOptions): Promise<AnswerRecord>;
  /** call('Sign', params) as a main-thread call with heartbeats (the PIN dialog takes time). */
  sign(params: Record<string, ParamValue>, options?: CallOptions): Promise<AnswerRecord>;
  /**
   * call('Authenticate', params) as a main-thread call: the PKI adapter signs this page's
   * own origin with the challenge; result is the token's JSON text (AuthToken).
   */
  authenticate(params: AuthenticateParams, options?: CallOptions): Promise<AnswerRecord>;
  /**
   * call('SignBatch', params) as a main-thread call: one dialog and one PIN for all the
   * digests; result is the JSON text {"signatures":[...]} in the digests' order.
   */
  signBatch(params: SignBatchParams, options?: CallOptions): Promise<AnswerRecord>;
  setValue(channel: string, value: string, domainList: string | string[], timeoutMinutes?: number,
    options?: CallOptions): Promise<AnswerRecord>;
  getValue(channel: string, options?: CallOptions): Promise<AnswerRecord>;
  release(options?: CallOptions): Promise<AnswerRecord>;
  forceRelease(options?: CallOptions): Promise<AnswerRecord>;
  echo(options?: CallOptions): Promise<AnswerRecord>;
  /** Resolves with the finding; rejects only with BAD_INPUT or ABORTED. */
  detect(options?: CallOptions): Promise<Detection>;
  sessionId(): string | null;
  browserMode(): boolean;
  baseUrl(): string | null;
}

export function createClient(options?: ClientOptions): NoxClient;

export const DEFAULT_PORTS: readonly number[];
export const DEFAULT_HOST: string;
export const DEFAULT_TIMEOUT_MS: number;
export const DEFAULT_MIN_SERVER_VERSION: string;
export const PATH_IDS: Readonly<{
  NoxCryptAdapter: string;
  NoxPkiCryptAdapter: string;
  NoxIdAdapter: string;
}>;
export const RESULT_CODES: Readonly<Record<number, Readonly<{ name: string; message: string }>>>;

export function describeResult(code: number | string): string | null;
export function isFailureCode(code: number | null): boolean;
export function withBase64Flag(params: Record<string, ParamValue>, key: string): Record<string, ParamValue>;
/** Test `ok` (not `error`) to reach `hex` or `params`. */
export type Encrypted<T> = ({ ok: true; error?: undefined } & T) | { ok: false; error: string };
export function encryptText(text: string, secret: string): Promise<Encrypted<{ hex: string }>>;
export function encryptParameter(params: Record<string, ParamValue>, key: string, secret: string):
  Promise<Encrypted<{ params: Record<string, ParamValue> }>>;
