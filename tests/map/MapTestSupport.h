// Test support for the map module: console capture and small map builders.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "map/Json.h"
#include "util/Tool.h"

// Console output of fn with the colour sequences removed, so "label" + "value" read as one.
inline std::string consoleOf(const std::function<void()>& fn) {
  testing::internal::CaptureStdout();
  fn();
  const std::string raw = testing::internal::GetCapturedStdout();
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\x1b') {
      while (i < raw.size() && raw[i] != 'm') ++i;
      continue;
    }
    out += raw[i];
  }
  return out;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct MapFree {
  void operator()(HalvorantJsonMap* map) const { freeHalvorantJsonMap(map); }
};
using MapPtr = std::unique_ptr<HalvorantJsonMap, MapFree>;

struct TextFree {
  void operator()(char* text) const { freeMem(text); }
};
using TextPtr = std::unique_ptr<char, TextFree>;

inline std::string textOf(char* text) {
  TextPtr owned(text);
  return owned ? std::string(owned.get()) : std::string("<null>");
}

inline MapPtr mapOf(std::initializer_list<std::pair<const char*, const char*>> units) {
  MapPtr map(newHalvorantJsonMap());
  for (const auto& unit : units) addHalvorantJsonMapUnit(map.get(), unit.first, unit.second);
  return map;
}

inline std::string lookup(const HalvorantJsonMap* map, const char* key) {
  HalvorantJsonUnit probe{};
  probe.key = const_cast<char*>(key);
  return textOf(BinarySearchHalvorantJsonMap(map, &probe, 0, map->count - 1));
}
