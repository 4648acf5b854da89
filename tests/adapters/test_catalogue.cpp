// The function catalogue of the shipped adapters in docs/page-authors.md: every adapter
// built has a section, and every function listed there is known to its adapter.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HalvorantAdapter.h"

namespace {

// Adapter name -> functions, from the "#### <Adapter>" tables of the "## Shipped adapters" section.
std::map<std::string, std::vector<std::string>> catalogue() {
  std::ifstream in(std::string(NOX_SOURCE_DIR) + "/docs/page-authors.md");
  std::map<std::string, std::vector<std::string>> out;
  std::string line, adapter;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## Shipped adapters";
    if (!inSection) continue;
    if (line.rfind("#### ", 0) == 0) {
      adapter = line.substr(5);
      out[adapter];
    } else if (!adapter.empty() && line.rfind("| `", 0) == 0) {
      size_t end = line.find('`', 3);
      if (end != std::string::npos) out[adapter].push_back(line.substr(3, end - 3));
    }
  }
  return out;
}

struct Library {
  void* handle;
  HalvorantCallJsonMapMethod call;
};

Library load(const std::string& name) {
  void* handle = dlopen((std::string(NOX_ADAPTER_DIR) + "/" + name + ".dylib").c_str(), RTLD_NOW | RTLD_LOCAL);
  auto call = handle != nullptr ? reinterpret_cast<HalvorantCallJsonMapMethod>(dlsym(handle, "callJsonMapMethod"))
                                : nullptr;
  return {handle, call};
}

TEST(Catalogue, EveryShippedAdapterIsListedAndKnowsEveryListedFunction) {
  // No dialog may open here: the PKI adapter then refuses to list, which is still an answer.
  setenv("NOX_PINENTRY", "/nonexistent/pinentry", 1);
  // Nor may the e-ID adapter meet the machine's smart-card service: its waits would wait.
  setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/pcscd.comm", 1);
  auto listed = catalogue();
  ASSERT_FALSE(listed.empty()) << "no \"## Shipped adapters\" section with \"#### <Adapter>\" tables";
  for (const auto& entry : std::filesystem::directory_iterator(NOX_ADAPTER_DIR)) {
    std::string name = entry.path().stem().string();
    ASSERT_EQ(listed.count(name), 1u) << name << " has no section in the catalogue";
  }
  auto map = std::make_unique<HalvorantJsonMap>();  // no parameters: every function must still answer
  for (const auto& [adapter, functions] : listed) {
    SCOPED_TRACE(adapter);
    Library library = load(adapter);
    ASSERT_NE(library.call, nullptr) << dlerror();
    EXPECT_FALSE(functions.empty());
    for (const std::string& function : functions) {
      const char* answer = library.call(map.get(), function.c_str());
      ASSERT_NE(answer, nullptr) << function;
      EXPECT_EQ(std::string(answer).find("unknown function"), std::string::npos) << function << ": " << answer;
    }
    // The check can tell: a name the adapter does not know is refused as unknown.
    const char* unknown = library.call(map.get(), "NoSuchFunction");
    EXPECT_NE(std::string(unknown != nullptr ? unknown : "").find("unknown function"), std::string::npos);
    dlclose(library.handle);
  }
}

}  // namespace
