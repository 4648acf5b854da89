// The adapter header seen from C: a map built by the service, walked by C code.
#include <gtest/gtest.h>

#include <string>

#include "HalvorantAdapter.h"
#include "MapTestSupport.h"
#include "map/Json.h"

extern "C" int layoutUnusedUnitsAreZero(const HalvorantJsonMap* map);

namespace {

TEST(AdapterLayout, CWalksServiceBuiltMap) {
  MapPtr map(newHalvorantJsonMap());
  addHalvorantJsonMapUnit(map.get(), "functionname", "Halvorant_GetVersion");
  addHalvorantJsonMapUnit(map.get(), "AdapterJsonKeyCheck", "true");
  addHalvorantJsonMapUnit(map.get(), "HalvorantFunctionIndex", -1);
  const unsigned char bytes[] = {0x00, 0xff, 0x10};
  addHalvorantJsonMapUnit(map.get(), "blob", bytes, sizeof bytes);

  // Through the entry-point type, as the service calls an adapter.
  HalvorantCallJsonMapMethod call = &callJsonMapMethod;
  EXPECT_EQ(std::string(call(map.get(), "Halvorant_GetVersion")),
            "Halvorant_GetVersion|AdapterJsonKeyCheck=true|blob=#00ff10|functionname=Halvorant_GetVersion"
            "|HalvorantFunctionIndex=-1|json=-");
  EXPECT_EQ(layoutUnusedUnitsAreZero(map.get()), 1);
}

TEST(AdapterLayout, CReadsParsedMapAndItsText) {
  const char* json = R"({"FunctionName":"Sign","pin":"1234"})";
  MapPtr map(getHalvorantJsonMap(json));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(std::string(callJsonMapMethod(map.get(), "Sign")),
            std::string("Sign|FunctionName=Sign|pin=1234|json=") + json);
  HalvorantCallMethod viaText = &callMethod;
  EXPECT_EQ(std::string(viaText(map->jsonText)), std::string("callMethod:") + json);
  EXPECT_EQ(layoutUnusedUnitsAreZero(map.get()), 1);
}

}  // namespace
