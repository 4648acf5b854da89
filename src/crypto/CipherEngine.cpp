// The PKCS #11-style engine: mechanism dispatch, block buffering, padding and CBC-MAC
// over the DES, AES and RC4 cores. Everything lives in the caller's context.
#include "crypto/CipherEngine.h"

#include <cstdio>
#include <cstring>

#include "crypto/AesCore.h"
#include "crypto/DesCore.h"
#include "crypto/Rc4.h"
#include "platform/Wipe.h"

namespace {

enum class Family { Rc4, Des, Aes };
enum class Mode { Stream, Ecb, Cbc, CbcPad, Mac };

struct Mechanism {
  uint64_t number;
  Family family;
  Mode mode;
};

constexpr Mechanism kMechanisms[] = {
    {CKM_RC4, Family::Rc4, Mode::Stream},
    {CKM_DES_ECB, Family::Des, Mode::Ecb},
    {CKM_DES_CBC, Family::Des, Mode::Cbc},
    {CKM_DES_MAC, Family::Des, Mode::Mac},
    {CKM_DES_MAC_GENERAL, Family::Des, Mode::Mac},
    {CKM_DES_CBC_PAD, Family::Des, Mode::CbcPad},
    {CKM_DES3_ECB, Family::Des, Mode::Ecb},
    {CKM_DES3_CBC, Family::Des, Mode::Cbc},
    {CKM_DES3_MAC, Family::Des, Mode::Mac},
    {CKM_DES3_MAC_GENERAL, Family::Des, Mode::Mac},
    {CKM_DES3_CBC_PAD, Family::Des, Mode::CbcPad},
    {CKM_AES_ECB, Family::Aes, Mode::Ecb},
    {CKM_AES_CBC, Family::Aes, Mode::Cbc},
    {CKM_AES_MAC, Family::Aes, Mode::Mac},
    {CKM_AES_MAC_GENERAL, Family::Aes, Mode::Mac},
    {CKM_AES_CBC_PAD, Family::Aes, Mode::CbcPad},
};

const Mechanism* findMechanism(uint64_t number) {
  for (const Mechanism& m : kMechanisms)
    if (m.number == number) return &m;
  return nullptr;
}

unsigned char* rc4State(SK_CONTEXT* c) { return reinterpret_cast<unsigned char*>(c->Key); }
int aesRounds(const SK_CONTEXT* c) { return static_cast<int>(c->KeyLen / 4) - 1; }

bool keyLengthDefined(Family family, uint64_t length) {
  switch (family) {
    case Family::Rc4: return length >= 1;
    case Family::Des: return length == 8 || length == 16 || length == 24;
    case Family::Aes: return length == 16 || length == 24 || length == 32;
  }
  return false;
}

// The mechanism of an active context, or null when the record does not hold a state this
// engine could have produced (a caller's stray write must not become a buffer overrun).
const Mechanism* activeMechanism(const SK_CONTEXT* c) {
  if (c->BufSize == 0) return nullptr;
  const Mechanism* m = findMechanism(c->Mechanism);
  if (!m || c->Padding > 1) return nullptr;
  switch (m->family) {
    case Family::Rc4:
      return c->BufSize == 1 && c->KeyLen == 65 && c->Buse == 0 ? m : nullptr;
    case Family::Des:
      return c->BufSize == 8 && (c->KeyLen == 32 || c->KeyLen == 64 || c->KeyLen == 96) &&
                     c->Buse <= 8
                 ? m
                 : nullptr;
    case Family::Aes:
      return c->BufSize == 16 && (c->KeyLen == 44 || c->KeyLen == 52 || c->KeyLen == 60) &&
                     c->Buse <= 16
                 ? m
                 : nullptr;
  }
  return nullptr;
}

// DES family schedules as built at Init: encryption E(k1) D(k2) E(k3), decryption the mirror.
void desEncrypt(const SK_CONTEXT* c, const unsigned char* in, unsigned char* out) {
  const uint32_t* k = c->Key;
  if (c->KeyLen == 32) {
    const uint32_t* chain[1] = {k};
    desCrypt(chain, 1, in, out);
  } else {
    const uint32_t* chain[3] = {k, k + 32, c->KeyLen == 64 ? k : k + 64};
    desCrypt(chain, 3, in, out);
  }
}

void desDecrypt(const SK_CONTEXT* c, const unsigned char* in, unsigned char* out) {
  const uint32_t* k = c->Key;
  if (c->KeyLen == 32) {
    const uint32_t* chain[1] = {k};
    desCrypt(chain, 1, in, out);
  } else if (c->KeyLen == 64) {
    const uint32_t* chain[3] = {k, k + 32, k};
    desCrypt(chain, 3, in, out);
  } else {
    const uint32_t* chain[3] = {k + 64, k + 32, k};
    desCrypt(chain, 3, in, out);
  }
}

void cipher(const SK_CONTEXT* c, Family family, const unsigned char* in, unsigned char* out) {
  if (family == Family::Aes)
    aesEncryptBlock(c->Key, aesRounds(c), in, out);
  else
    desEncrypt(c, in, out);
}

void inverseCipher(const SK_CONTEXT* c, Family family, const unsigned char* in, unsigned char* out) {
  if (family == Family::Aes)
    aesDecryptBlock(c->Key, aesRounds(c), in, out);
  else
    desDecrypt(c, in, out);
}

// One block of the mode. Reads the input completely before writing, so in place works.
void encryptStep(SK_CONTEXT* c, const Mechanism* m, const unsigned char* in, unsigned char* out) {
  const size_t bs = c->BufSize;
  if (m->mode == Mode::Ecb) {
    cipher(c, m->family, in, out);
    return;
  }
  for (size_t i = 0; i < bs; ++i) c->IV[i] ^= in[i];
  cipher(c, m->family, c->IV, c->IV);
  if (m->mode != Mode::Mac) std::memcpy(out, c->IV, bs);
}

void decryptStep(SK_CONTEXT* c, const Mechanism* m, const unsigned char* in, unsigned char* out) {
  const size_t bs = c->BufSize;
  if (m->mode == Mode::Ecb) {
    inverseCipher(c, m->family, in, out);
    return;
  }
  unsigned char saved[16];
  unsigned char plain[16];
  std::memcpy(saved, in, bs);
  inverseCipher(c, m->family, saved, plain);
  for (size_t i = 0; i < bs; ++i) out[i] = plain[i] ^ c->IV[i];
  std::memcpy(c->IV, saved, bs);
  wipeMemory(plain, sizeof plain);
}

SK_RV cipherInit(SK_CONTEXT* c, uint64_t number, const unsigned char* key, uint64_t keyLength,
                 bool decrypt) {
  if (!c) return CKR_ARGUMENTS_BAD;
  // Init starts over: nothing of an earlier operation survives, even on refusal.
  wipeMemory(c, sizeof *c);
  const Mechanism* m = findMechanism(number);
  if (!m || m->mode == Mode::Mac) return CKR_MECHANISM_INVALID;
  c->Mechanism = number;
  if (!keyLengthDefined(m->family, keyLength)) return CKR_KEY_SIZE_RANGE;
  if (!key) return CKR_ARGUMENTS_BAD;

  switch (m->family) {
    case Family::Rc4:
      rc4Setup(rc4State(c), key, keyLength);
      c->KeyLen = 65;
      c->BufSize = 1;
      break;
    case Family::Des:
      if (!decrypt) {
        desSchedule(key, false, c->Key);
        if (keyLength >= 16) desSchedule(key + 8, true, c->Key + 32);
        if (keyLength == 24) desSchedule(key + 16, false, c->Key + 64);
      } else {
        desSchedule(key, true, c->Key);
        if (keyLength >= 16) desSchedule(key + 8, false, c->Key + 32);
        if (keyLength == 24) desSchedule(key + 16, true, c->Key + 64);
      }
      c->KeyLen = keyLength * 4;
      c->BufSize = 8;
      break;
    case Family::Aes:
      aesExpandKey(key, static_cast<int>(keyLength), c->Key);
      c->KeyLen = keyLength + 28;
      if (decrypt) aesInvertKey(c->Key, aesRounds(c));
      c->BufSize = 16;
      break;
  }
  if (decrypt) c->Padding = m->mode == Mode::CbcPad ? 1 : 0;
  return CKR_OK;
}

// Shared Update of both directions; `holdBack` is the padding flag when decrypting.
SK_RV cipherUpdate(SK_CONTEXT* c, const unsigned char* input, uint64_t length,
                   unsigned char* output, uint64_t* outputLength, bool decrypt) {
  if (!c || !outputLength) return CKR_ARGUMENTS_BAD;
  if (length == 0) {
    *outputLength = 0;
    return CKR_OK;
  }
  if (!input) return CKR_DATA_INVALID;
  if (c->BufSize == 0) return CKR_OPERATION_NOT_INITIALIZED;
  const Mechanism* m = activeMechanism(c);
  if (!m || m->mode == Mode::Mac) return CKR_OPERATION_NOT_INITIALIZED;
  if (length > UINT64_MAX - c->Buse) return CKR_DATA_LEN_RANGE;

  const uint64_t bs = c->BufSize;
  const uint64_t holdBack = decrypt ? c->Padding : 0;
  const uint64_t total = c->Buse + length;
  const uint64_t blocks = total > holdBack ? (total - holdBack) / bs : 0;
  const uint64_t needed = blocks * bs;
  if (!output) {
    *outputLength = needed;
    return CKR_OK;
  }
  if (blocks > *outputLength / bs) {
    *outputLength = needed;
    return CKR_BUFFER_TOO_SMALL;
  }
  *outputLength = needed;

  if (m->family == Family::Rc4) {
    rc4Crypt(rc4State(c), input, length, output);
    return CKR_OK;
  }
  const unsigned char* in = input;
  uint64_t rest = length;
  unsigned char* out = output;
  while (c->Buse + rest >= bs + holdBack) {
    if (c->Buse == 0) {
      decrypt ? decryptStep(c, m, in, out) : encryptStep(c, m, in, out);
      in += bs;
      rest -= bs;
    } else {
      const uint64_t fill = bs - c->Buse;
      std::memcpy(c->Buffer + c->Buse, in, fill);
      decrypt ? decryptStep(c, m, c->Buffer, out) : encryptStep(c, m, c->Buffer, out);
      in += fill;
      rest -= fill;
      c->Buse = 0;
    }
    out += bs;
  }
  std::memcpy(c->Buffer + c->Buse, in, rest);
  c->Buse += rest;
  return CKR_OK;
}

// Final of a mode without padding: nothing to write. A null output is only a length
// query, as everywhere else, and must not end the operation.
SK_RV finishUnpadded(SK_CONTEXT* c, unsigned char* output, uint64_t* outputLength) {
  if (c->Buse != 0) return CKR_DATA_LEN_RANGE;
  *outputLength = 0;
  if (output) wipeMemory(c, sizeof *c);
  return CKR_OK;
}

}  // namespace

SK_RV SK_EncryptInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength) {
  return cipherInit(context, mechanism, key, keyLength, false);
}

SK_RV SK_DecryptInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength) {
  return cipherInit(context, mechanism, key, keyLength, true);
}

SK_RV SK_EncryptUpdate(SK_CONTEXT* context, const unsigned char* input, uint64_t inputLength,
                       unsigned char* output, uint64_t* outputLength) {
  return cipherUpdate(context, input, inputLength, output, outputLength, false);
}

SK_RV SK_DecryptUpdate(SK_CONTEXT* context, const unsigned char* input, uint64_t inputLength,
                       unsigned char* output, uint64_t* outputLength) {
  return cipherUpdate(context, input, inputLength, output, outputLength, true);
}

SK_RV SK_EncryptFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength) {
  if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
  if (context->BufSize == 0) return CKR_OPERATION_NOT_INITIALIZED;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->mode == Mode::Mac) return CKR_OPERATION_NOT_INITIALIZED;
  const uint64_t bs = context->BufSize;

  if (m->mode == Mode::CbcPad) {
    if (!output || *outputLength < bs) {
      *outputLength = bs;
      return output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    // Padding bytes carry their count: 1 to a whole block.
    const uint64_t pad = bs - context->Buse;
    std::memset(context->Buffer + context->Buse, static_cast<int>(pad), pad);
    encryptStep(context, m, context->Buffer, output);
    *outputLength = bs;
    wipeMemory(context, sizeof *context);
    return CKR_OK;
  }
  return finishUnpadded(context, output, outputLength);
}

SK_RV SK_DecryptFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength) {
  if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
  if (context->BufSize == 0) return CKR_OPERATION_NOT_INITIALIZED;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->mode == Mode::Mac) return CKR_OPERATION_NOT_INITIALIZED;
  const uint64_t bs = context->BufSize;

  if (m->mode == Mode::CbcPad) {
    if (!output || *outputLength < bs) {
      *outputLength = bs;
      return output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
    }
    if (context->Buse != bs) {
      printf("p->Buse: %d\n", static_cast<int>(context->Buse));
      printf("bufsize: %d\n", static_cast<int>(bs));
      fflush(stdout);
      return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    // The chaining value is left as it was, so a refused Final can be repeated.
    unsigned char plain[16];
    inverseCipher(context, m->family, context->Buffer, plain);
    for (uint64_t i = 0; i < bs; ++i) output[i] = plain[i] ^ context->IV[i];
    wipeMemory(plain, sizeof plain);

    // A last byte of 0 is accepted and removes nothing (pages that zero-pad rely on it).
    const unsigned pad = output[bs - 1];
    unsigned bad = pad > bs ? 1u : 0u;
    for (uint64_t i = 0; i < bs; ++i) {
      const unsigned inPad = i >= bs - (pad > bs ? bs : pad) ? 1u : 0u;
      bad |= inPad & (output[i] != pad ? 1u : 0u);
    }
    if (bad) return CKR_ENCRYPTED_DATA_INVALID;
    *outputLength = bs - pad;
    wipeMemory(context, sizeof *context);
    return CKR_OK;
  }
  return finishUnpadded(context, output, outputLength);
}

SK_RV SK_SignInit(SK_CONTEXT* context, uint64_t mechanism, const unsigned char* key, uint64_t keyLength) {
  if (!context) return CKR_ARGUMENTS_BAD;
  if (context->BufSize != 0) return CKR_OPERATION_ACTIVE;
  // Also clears a stale chaining value: the MAC must start from a zero block.
  wipeMemory(context, sizeof *context);
  const Mechanism* m = findMechanism(mechanism);
  if (!m || m->mode != Mode::Mac) return CKR_MECHANISM_INVALID;
  context->Mechanism = mechanism;
  if (!keyLengthDefined(m->family, keyLength)) return CKR_KEY_SIZE_RANGE;
  if (!key) return CKR_ARGUMENTS_BAD;

  if (m->family == Family::Des) {
    desSchedule(key, false, context->Key);
    if (keyLength >= 16) desSchedule(key + 8, true, context->Key + 32);
    if (keyLength == 24) desSchedule(key + 16, false, context->Key + 64);
    context->KeyLen = keyLength * 4;
    context->BufSize = 8;
  } else {
    aesExpandKey(key, static_cast<int>(keyLength), context->Key);
    context->KeyLen = keyLength + 28;
    context->BufSize = 16;
  }
  context->MacLen = context->BufSize / 2;
  return CKR_OK;
}

SK_RV SK_SignUpdate(SK_CONTEXT* context, const unsigned char* data, uint64_t dataLength) {
  if (dataLength == 0) return CKR_OK;
  if (!context) return CKR_ARGUMENTS_BAD;
  if (!data) return CKR_DATA_INVALID;
  if (context->BufSize == 0) return CKR_OPERATION_NOT_INITIALIZED;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->mode != Mode::Mac) return CKR_OPERATION_NOT_INITIALIZED;

  if (dataLength > UINT64_MAX - context->Buse) return CKR_DATA_LEN_RANGE;

  const uint64_t bs = context->BufSize;
  const unsigned char* in = data;
  uint64_t rest = dataLength;
  // Strictly greater: the last block, even a whole one, waits for Final.
  while (context->Buse + rest > bs) {
    if (context->Buse == 0) {
      encryptStep(context, m, in, nullptr);
      in += bs;
      rest -= bs;
    } else {
      const uint64_t fill = bs - context->Buse;
      std::memcpy(context->Buffer + context->Buse, in, fill);
      encryptStep(context, m, context->Buffer, nullptr);
      in += fill;
      rest -= fill;
      context->Buse = 0;
    }
  }
  std::memcpy(context->Buffer + context->Buse, in, rest);
  context->Buse += rest;
  return CKR_OK;
}

SK_RV SK_SignFinal(SK_CONTEXT* context, unsigned char* output, uint64_t* outputLength) {
  if (!context || !outputLength) return CKR_ARGUMENTS_BAD;
  if (context->MacLen == 0) return CKR_OPERATION_NOT_INITIALIZED;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->mode != Mode::Mac || context->MacLen != context->BufSize / 2)
    return CKR_OPERATION_NOT_INITIALIZED;
  const uint64_t macLength = context->MacLen;
  if (!output || *outputLength < macLength) {
    *outputLength = macLength;
    return output ? CKR_BUFFER_TOO_SMALL : CKR_OK;
  }
  std::memset(context->Buffer + context->Buse, 0, context->BufSize - context->Buse);
  encryptStep(context, m, context->Buffer, nullptr);
  std::memcpy(output, context->IV, macLength);
  *outputLength = macLength;
  wipeMemory(context, sizeof *context);
  return CKR_OK;
}

void SK_EncryptBlock(SK_CONTEXT* context, const unsigned char* input, unsigned char* output) {
  if (!context || !input) return;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->family == Family::Rc4) return;
  if (!output && m->mode != Mode::Mac) return;
  encryptStep(context, m, input, output);
}

void SK_DecryptBlock(SK_CONTEXT* context, const unsigned char* input, unsigned char* output) {
  if (!context || !input || !output) return;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->family == Family::Rc4 || m->mode == Mode::Mac) return;
  decryptStep(context, m, input, output);
}

void SK_EncryptStream(SK_CONTEXT* context, const unsigned char* input, uint64_t length, unsigned char* output) {
  if (!context || !input || !output || length == 0) return;
  const Mechanism* m = activeMechanism(context);
  if (!m || m->family != Family::Rc4) return;
  rc4Crypt(rc4State(context), input, length, output);
}

void DESPrt(unsigned char* key, uint64_t length) {
  if (!key) return;
  for (uint64_t i = 0; i < length; ++i) {
    unsigned v = key[i];
    v ^= v >> 4;
    v ^= v >> 2;
    v ^= v >> 1;
    if ((v & 1) == 0) key[i] ^= 1;  // even number of set bits
  }
}

void DESExp(const unsigned char* input7, unsigned char* output8) {
  if (!input7 || !output8) return;
  uint64_t bits = 0;
  for (int i = 0; i < 7; ++i) bits = (bits << 8) | input7[i];
  for (int i = 0; i < 8; ++i)
    output8[i] = static_cast<unsigned char>(((bits >> (49 - 7 * i)) & 0x7f) << 1);
  DESPrt(output8, 8);
}
