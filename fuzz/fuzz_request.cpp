// The request path after the form field has been collected, as the handler and request
// processing run it: Base64Decode of the field, the JSON reader, the origin from the
// Referer, the main-thread flag, the map's display and the decoding of every parameter
// (flags, shared-secret decryption, typed getters). No TLS, no listener.
//
// Input: one mode byte, the Referer up to '\n', then the JSON text. Mode bit 0: the rest
// is the raw field text instead of JSON that the harness Base64-encodes first; bit 1:
// the encoded text gets "%2B", "%2F", "%3D" escapes as some pages send.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "front/HalvorantHttp.h"
#include "map/Json.h"
#include "util/Tool.h"

namespace {

std::string encodeField(const std::string& json, bool escape) {
  char* b64 = Base64EncodeBytes(reinterpret_cast<const unsigned char*>(json.data()), json.size());
  FUZZ_CHECK(b64 != nullptr);
  std::string field;
  for (const char* p = b64; *p != '\0'; ++p) {
    if (escape && *p == '+') field += "%2B";
    else if (escape && *p == '/') field += "%2F";
    else if (escape && *p == '=') field += "%3D";
    else field += *p;
  }
  freeMem(b64);
  return field;
}

void checkOrigin(const std::string& referer) {
  char* origin = originFromReferer(referer.c_str());
  if (origin != nullptr) {
    // "scheme://authority": always the referer's own beginning.
    FUZZ_CHECK(std::strncmp(referer.c_str(), origin, std::strlen(origin)) == 0);
    freeMem(origin);
  }
}

void decodeAll(const HalvorantJsonMap* map) {
  showHalvorantJsonMap(map);
  for (int32_t i = 0; i < map->count; ++i) {
    const HalvorantJsonUnit& unit = map->units[i];
    char* fixed = fixParameter(map, unit.key, unit.value);
    FUZZ_CHECK(fixed != nullptr);  // never null for a value
    freeMem(fixed);
    char* text = getHalvorantJsonCharType(map, unit.key);
    FUZZ_CHECK(text != nullptr);  // the key is there
    freeMem(text);
    (void)getHalvorantJsonLongType(map, unit.key);
    (void)getHalvorantJsonIntType(map, unit.key);
    (void)getHalvorantJsonFloatType(map, unit.key);
    (void)getHalvorantJsonDoubleType(map, unit.key);
    (void)getHalvorantJsonBoolType(map, unit.key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t mode = input.byte();
  const std::string referer = input.until('\n');
  const std::string rest = input.rest();
  const std::string field = (mode & 1) ? rest : encodeField(rest, (mode & 2) != 0);

  char* body = Base64Decode(field.c_str());
  FUZZ_CHECK(body != nullptr);
  if ((mode & 1) == 0) FUZZ_CHECK(rest == body);  // what the page encoded arrives unchanged
  checkOrigin(referer);
  (void)wantsMainThread(body);
  if (HalvorantJsonMap* map = getHalvorantJsonMap(body)) {
    decodeAll(map);
    freeHalvorantJsonMap(map);
  }
  freeMem(body);
  return 0;
}
