/// <reference types="node" />
import type { X509Certificate } from 'node:crypto';

export const FORMAT: 'nox-auth:1';

/** What a page gets from authenticate() and hands to its server. */
export interface AuthToken {
  format: 'nox-auth:1';
  origin: string;
  /** Base64 DER of the signing certificate. */
  certificate: string;
  algorithm: 'ES256' | 'ES384' | 'ES512' | 'RS256' | 'PS256';
  /** Base64; r || s for EC keys. */
  signature: string;
}

export type AuthTokenErrorCode =
  | 'FORMAT'
  | 'CHALLENGE'
  | 'ORIGIN'
  | 'SIGNATURE'
  | 'NOT_YET_VALID'
  | 'EXPIRED'
  | 'KEY_USAGE'
  | 'CHAIN';

export class AuthTokenError extends Error {
  readonly name: 'AuthTokenError';
  readonly code: AuthTokenErrorCode;
}

export interface VerifyOptions {
  /** The origin of the page that should have signed in, e.g. "https://bank.example". */
  expectedOrigin: string;
  /** The challenge the server issued for this sign-in: its bytes or their Base64 text. */
  challenge: Uint8Array | string;
  /** Issuers to trust (PEM or DER, or certificates); without them no chain is checked. */
  trustedCAs?: Iterable<string | Uint8Array | X509Certificate>;
  /** The time the certificate must be valid at; now by default. */
  now?: Date;
}

/** The 64 bytes a token's signature covers: SHA-256(origin) || SHA-256(challenge). */
export function binding(origin: string, challenge: Uint8Array): Buffer;

/** Checks the token; answers its certificate's subject or throws AuthTokenError. */
export function verifyAuthToken(token: AuthToken | string, options: VerifyOptions): string;
