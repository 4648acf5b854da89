// Symmetric cipher engine driven like a PKCS #11 token: RC4, DES, two- and three-key
// triple DES and AES in ECB, CBC and CBC-with-padding modes, and CBC-MAC.
//
// Contract:
// - All state lives in the caller's SK_CONTEXT: no globals, no allocation, re-entrant.
//   The caller zero-fills a context before its first Init; a successful Final zero-fills
//   it again (keys included).
// - Calling order: Init, any number of Updates, one Final. For CBC modes the caller writes
//   the initialisation vector into IV after Init and before the first Update.
// - Output lengths are in-out: capacity on entry, bytes written (or needed) on return.
//   A null output is a length query (CKR_OK); a too small one gives CKR_BUFFER_TOO_SMALL.
//   Both change nothing but the length argument; this holds for the Final of modes
//   without padding too (it ends the operation only when given an output buffer).
// - Update input and output must not overlap, except exactly in place while no bytes are
//   held in Buffer.
// - Errors after Init leave the context as it was, so a Final can be retried.
// - Key lengths: RC4 1 or more; DES family exactly 8, 16 or 24 (the key length, not the
//   mechanism, picks single DES or triple DES); AES exactly 16, 24 or 32. Others: 0x62.
// - A failed Init leaves the context idle (zero-filled; the mechanism field keeps the
//   refused key's mechanism for CKR_KEY_SIZE_RANGE, 0 for CKR_MECHANISM_INVALID).
#pragma once
#include <cstddef>
#include <cstdint>

typedef uint64_t SK_RV;

// Mechanism numbers (PKCS #11).
constexpr uint64_t CKM_RC4 = 0x111;
constexpr uint64_t CKM_DES_ECB = 0x121;
constexpr uint64_t CKM_DES_CBC = 0x122;
constexpr uint64_t CKM_DES_MAC = 0x123;
constexpr uint64_t CKM_DES_MAC_GENERAL = 0x124;
constexpr uint64_t CKM_DES_CBC_PAD = 0x125;
constexpr uint64_t CKM_DES3_ECB = 0x132;
constexpr uint64_t CKM_DES3_CBC = 0x133;
constexpr uint64_t CKM_DES3_MAC = 0x134;
constexpr uint64_t CKM_DES3_MAC_GENERAL = 0x135;
constexpr uint64_t CKM_DES3_CBC_PAD = 0x136;
constexpr uint64_t CKM_AES_ECB = 0x1081;
constexpr uint64_t CKM_AES_CBC = 0x1082;
constexpr uint64_t CKM_AES_MAC = 0x1083;
constexpr uint64_t CKM_AES_MAC_GENERAL = 0x1084;
constexpr uint64_t CKM_AES_CBC_PAD = 0x1085;

// Return values (PKCS #11).
constexpr SK_RV CKR_OK = 0;
constexpr SK_RV CKR_ARGUMENTS_BAD = 7;
constexpr SK_RV CKR_DATA_INVALID = 0x20;
constexpr SK_RV CKR_DATA_LEN_RANGE = 0x21;
constexpr SK_RV CKR_ENCRYPTED_DATA_INVALID = 0x40;
constexpr SK_RV CKR_ENCRYPTED_DATA_LEN_RANGE = 0x41;
constexpr SK_RV CKR_KEY_SIZE_RANGE = 0x62;
constexpr SK_RV CKR_MECHANISM_INVALID = 0x70;
constexpr SK_RV CKR_OPERATION_ACTIVE = 0x90;
constexpr SK_RV CKR_OPERATION_NOT_INITIALIZED = 0x91;
constexpr SK_RV CKR_BUFFER_TOO_SMALL = 0x150;

// One operation's state. Field order and widths are fixed.
struct SK_CONTEXT {
  uint64_t Mechanism;        // 0 when Init refused the mechanism
  uint32_t Key[96];          // DES: 3 x 32-word schedules; AES: round keys; RC4: S[256], i, j
  uint64_t KeyLen;           // schedule words in use: 32/64/96, 44/52/60, or 65 for RC4
  unsigned char Buffer[16];  // input not yet processed
  uint64_t BufSize;          // block size: 1 RC4, 8 DES family, 16 AES; 0 = idle
  uint64_t Buse;             // bytes held in Buffer
  uint64_t Padding;          // decryption: 1 for the _CBC_PAD mechanisms (bytes held back)
  unsigned char IV[16];      // CBC chaining value / running MAC
  uint64_t MacLen;           // signing: half the block size
};

static_assert(sizeof(SK_CONTEXT) == 464, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, Key) == 8, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, KeyLen) == 392, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, Buffer) == 400, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, BufSize) == 416, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, Buse) == 424, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, Padding) == 432, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, IV) == 440, "SK_CONTEXT layout");
static_assert(offsetof(SK_CONTEXT, MacLen) == 456, "SK_CONTEXT layout");

SK_RV SK_EncryptInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength);
SK_RV SK_EncryptUpdate(SK_CONTEXT* context, const unsigned char* input, uint64_t inputLength,
                       unsigned char* output, uint64_t* outputLength);
SK_RV SK_EncryptFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength);

// Decryption with padding holds the last whole block back for DecryptFinal, which checks
// and strips the padding; "p->Buse: %d\n" / "bufsize: %d\n" go to stdout when Final finds
// anything but exactly one block buffered. A last byte p of 1 to the block size must be
// repeated p times and is removed; a last byte of 0 is accepted and removes nothing, since
// pages that zero-pad their data rely on it. The cost: a wrong key or damaged data passes
// the padding check a little more often (a last byte of 0 is one more of the 256 values
// that pass, so about 1 in 128 instead of about 1 in 256 for a random last block) and
// hands back garbage instead of CKR_ENCRYPTED_DATA_INVALID.
SK_RV SK_DecryptInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength);
SK_RV SK_DecryptUpdate(SK_CONTEXT* context, const unsigned char* input, uint64_t inputLength,
                       unsigned char* output, uint64_t* outputLength);
SK_RV SK_DecryptFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength);

// CBC-MAC with a zero IV and zero-byte completion of the last block; the MAC is the first
// half block. SignInit refuses an active context (CKR_OPERATION_ACTIVE).
SK_RV SK_SignInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength);
SK_RV SK_SignUpdate(SK_CONTEXT* context, const unsigned char* data, uint64_t dataLength);
SK_RV SK_SignFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength);

// One block step of the context's mode (output may be null for MAC steps). Input and
// output may be the same buffer. Idle, RC4 or null arguments: nothing happens.
void SK_EncryptBlock(SK_CONTEXT* context, const unsigned char* input, unsigned char* output);
void SK_DecryptBlock(SK_CONTEXT* context, const unsigned char* input, unsigned char* output);
// RC4 keystream over length bytes (encryption and decryption alike); in place allowed.
void SK_EncryptStream(SK_CONTEXT* context, const unsigned char* input, uint64_t length, unsigned char* output);

// Odd parity on every byte (flips the lowest bit of each even-parity byte).
void DESPrt(unsigned char* key, uint64_t length);
// Spreads a 56-bit key (7 bytes) over 8 bytes, 7 bits in the upper bits of each, then DESPrt.
void DESExp(const unsigned char* input7, unsigned char* output8);
