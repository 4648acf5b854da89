// Parameter decoding flags and the console display of a map.
#include <cstring>

#include "crypto/AES.h"
#include "diag/Console.h"
#include "map/Json.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr size_t kFlagKeySize = 512;

// "<key><suffix>" into out; false when it does not fit (such a flag is never set).
bool flagKey(char (&out)[kFlagKeySize], const char* key, const char* suffix) {
  const size_t keyLength = std::strlen(key);
  const size_t suffixLength = std::strlen(suffix);
  if (keyLength + suffixLength >= kFlagKeySize) return false;
  std::memcpy(out, key, keyLength);
  std::memcpy(out + keyLength, suffix, suffixLength + 1);
  return true;
}

char* lookupRaw(const HalvorantJsonMap* map, const char* key) {
  HalvorantJsonUnit probe{};
  probe.key = const_cast<char*>(key);  // only read
  return BinarySearchHalvorantJsonMap(map, &probe, 0, halvorantUnitsInUse(map) - 1);
}

// Flag values are read as stored, without decoding.
bool flagSet(const HalvorantJsonMap* map, const char* key, const char* suffix) {
  char name[kFlagKeySize];
  if (!flagKey(name, key, suffix)) return false;
  // A text value is read in place; only a binary one is copied to be read as text.
  const HalvorantJsonUnit* unit = halvorantFindUnit(map, name);
  if (unit == nullptr) return false;
  if (unit->value != nullptr) return halvorantKeyEqual(unit->value, "true");
  char* value = lookupRaw(map, name);
  if (value == nullptr) return false;
  const bool set = halvorantKeyEqual(value, "true");
  freeTextWiped(value);
  return set;
}

// Request processing displays its map first; a decryption inside it need not list the
// whole map again for every parameter it decodes.
thread_local const HalvorantJsonMap* displayedMap = nullptr;

// Hex AES-256-CBC text under the first 32 bytes of the shared secret; null on any failure.
char* decrypt(const HalvorantJsonMap* map, const char* value) {
  if (map != displayedMap) showHalvorantJsonMap(map);
  printfColorLine("find key: ", HALVORANT_SHARE_SECRET_KEY);
  char* secret = lookupRaw(map, HALVORANT_SHARE_SECRET_KEY);
  // A short secret would make the cipher read past it: a failure, not a key.
  if (secret == nullptr || std::strlen(secret) < HALVORANT_SHARE_SECRET_MIN) {
    HALVORANT_MEMORY_FAIL();
    freeTextWiped(secret);
    return nullptr;
  }
  const uint64_t length = std::strlen(value) / 2;
  unsigned char* cipher = length == 0 ? nullptr : HexDecode(value);
  char* plain = nullptr;
  if (cipher != nullptr)
    plain = AES256_Decrypt_CBC(cipher, length, reinterpret_cast<const unsigned char*>(secret),
                               HALVORANT_PARAMETER_IV);
  if (plain == nullptr) HALVORANT_MEMORY_FAIL();
  freeWiped(cipher, length);
  freeTextWiped(secret);
  return plain;
}

// Re-entry guard of the display (hide flag -> decryption -> display).
thread_local int displayDepth = 0;
struct DisplayDepth {
  DisplayDepth() { ++displayDepth; }
  ~DisplayDepth() { --displayDepth; }
  DisplayDepth(const DisplayDepth&) = delete;
  DisplayDepth& operator=(const DisplayDepth&) = delete;
};

// The display never decodes a hide flag: decoding one could cost a decryption per listed
// line and per display, and decryption displays the map again. A hide flag that would
// need decoding (encrypted or Base64) counts as set, so such a value is masked.
bool hidden(const HalvorantJsonMap* map, const char* key) {
  if (flagSet(map, key, "_HalvorantHide")) return true;
  char name[kFlagKeySize];
  if (!flagKey(name, key, "_HalvorantHide") || halvorantFindUnit(map, name) == nullptr) return false;
  return flagSet(map, name, "_HalvorantEncryptFlag") || flagSet(map, name, "_HalvorantBase64Flag");
}

// One unit's display line; false when a buffer could not be had.
bool showUnit(const HalvorantJsonMap* map, const HalvorantJsonUnit& unit) {
  // "<key>: " and its lower-case form; on the stack unless the key is very long.
  const size_t keyLength = std::strlen(unit.key);
  const size_t size = keyLength + 3;
  char localLabel[256];
  char localLower[256];
  const bool onStack = size <= sizeof localLabel;
  char* label = onStack ? localLabel : static_cast<char*>(newMemSize(size));
  char* lower = onStack ? localLower : static_cast<char*>(newMemSize(size));
  if (label == nullptr || lower == nullptr) {
    if (!onStack) {
      freeMem(label);
      freeMem(lower);
    }
    return false;
  }
  std::memcpy(label, unit.key, keyLength);
  std::memcpy(label + keyLength, ": ", 3);
  for (size_t i = 0; i < size; ++i)
    lower[i] = (label[i] >= 'A' && label[i] <= 'Z') ? static_cast<char>(label[i] - 'A' + 'a') : label[i];
  bool ok = true;
  if (unit.value == nullptr) {
    printfColorLine(label, unit.data != nullptr ? "[binary_value]" : "[empty]");
  } else if (std::strstr(lower, "halvorant") == nullptr &&
             (std::strstr(lower, "pin") != nullptr || std::strstr(lower, "pw") != nullptr ||
              std::strstr(lower, "pass") != nullptr || hidden(map, unit.key))) {
    const size_t valueLength = std::strlen(unit.value);
    char* mask = static_cast<char*>(newMemSize(valueLength + 1));
    if (mask == nullptr) {
      ok = false;
    } else {
      std::memset(mask, '*', valueLength);
      printfColorLine(label, mask);
      freeMem(mask);
    }
  } else {
    printfColorLine(label, unit.value);
  }
  if (!onStack) {
    freeMem(lower);
    freeMem(label);
  }
  return ok;
}

}  // namespace

bool halvorantHasDecodingFlag(const HalvorantJsonMap* map, const char* key) {
  return flagSet(map, key, "_HalvorantEncryptFlag") || flagSet(map, key, "_HalvorantFlag") ||
         flagSet(map, key, "_HalvorantSlashFlag") || flagSet(map, key, "_HalvorantBase64Flag");
}

char* fixParameter(const HalvorantJsonMap* map, const char* key, const char* value) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return newMem(value);
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return newMem(value);
  }
  if (value == nullptr) {
    HALVORANT_NULL_WARNING("inputValue");
    return nullptr;
  }
  // Only the first set flag applies.
  char* decoded = nullptr;
  if (flagSet(map, key, "_HalvorantEncryptFlag"))
    decoded = decrypt(map, value);
  else if (flagSet(map, key, "_HalvorantFlag"))
    decoded = replace(value, "*", "\\");
  else if (flagSet(map, key, "_HalvorantSlashFlag"))
    decoded = replace(value, "==HalvorantSlash==", "\\");
  else if (flagSet(map, key, "_HalvorantBase64Flag"))
    decoded = Base64Decode(value);
  return decoded != nullptr ? decoded : newMem(value);
}

void showHalvorantJsonMap(const HalvorantJsonMap* map) {
  DisplayDepth depth;
  if (displayDepth > 1) return;
  printfColorLine("= DISPLAY PARAMETER", " ===== start =====");
  const int32_t inUse = map == nullptr ? 0 : halvorantUnitsInUse(map);
  for (int32_t i = 0; i < inUse; ++i) {
    if (map->units[i].key == nullptr) continue;
    if (!showUnit(map, map->units[i])) {
      HALVORANT_MEMORY_FAIL();
      break;
    }
  }
  printfColorLine("= DISPLAY PARAMETER", " ===== end =====");
}

const HalvorantJsonMap* setHalvorantDisplayedMap(const HalvorantJsonMap* map) {
  const HalvorantJsonMap* before = displayedMap;
  displayedMap = map;
  return before;
}

void showParamterFromBrowser(const char* json) {
  if (json == nullptr) {
    HALVORANT_NULL_WARNING("inputBase64DecodedJsonStr");
    return;
  }
  printfColorLine("Base64DecodedJsonStr: ", json);
  HalvorantJsonMap* map = getHalvorantJsonMap(json);
  if (map == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return;
  }
  showHalvorantJsonMap(map);
  freeHalvorantJsonMap(map);
}
