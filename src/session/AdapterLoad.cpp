// Adapter loading: per-session copy, dlopen, entry points.
#include "session/AdapterLoad.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/Console.h"
#include "platform/Platform.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

namespace {

// Source of copy-name tokens for identifiers that cannot stand in a file name.
std::atomic<unsigned long long> g_copyToken{0};

bool composePath(char* out, const char* format, const char* a, const char* b, const char* c) {
  int length = snprintf(out, HALVORANT_FILE_PATH_SIZE, format, a, b, c);
  return length >= 0 && length < HALVORANT_FILE_PATH_SIZE;
}

bool isSafeTag(const char* text) {
  if (text == nullptr || text[0] == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    char ch = *p;
    bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' ||
              ch == '-';
    if (!ok) return false;
  }
  return true;
}

// The copy's path for slot index, reserved for it: the identifier as tag when it is a
// safe file-name text, else a token; never the path of another copy not yet deleted.
bool composeCopyPath(int index, const char* comName, char* out) {
  const char* sessionId = SessionList[index].sessionId;  // the holder's own slot
  char tag[HALVORANT_SESSION_ID_SIZE];
  for (int attempt = 0; attempt < HALVORANT_ID_TRIES; ++attempt) {
    if (attempt == 0 && isSafeTag(sessionId))
      ArrayCopy(tag, sizeof tag, sessionId);
    else
      snprintf(tag, sizeof tag, "slot%02d_%llu", index, g_copyToken.fetch_add(1) + 1);
    if (!composePath(out, "%s/%s-%s.dylib", SessionCopyPath, comName, tag)) return false;
    if (HalvorantSession_reserveCopy(out, index)) return true;
  }
  return false;
}

void* openLibrary(const char* path) {
  std::lock_guard<std::mutex> guard(AdapterLoaderLock);
  dlerror();  // a stale reason must not be reported for this path
  return dlopen(path, RTLD_LAZY);
}

template <typename Entry>
Entry resolveEntry(void* library, const char* name) {
  dlerror();
  void* symbol = dlsym(library, name);
  const char* error = dlerror();
  if (error != nullptr) {
    printfColorWarningLine("[Warning] ", error);
    return nullptr;
  }
  return reinterpret_cast<Entry>(symbol);
}

int32_t failLoad(int index, int32_t code) {
  HalvorantSession_releaseSlot(index);
  return code;
}

}  // namespace

bool HalvorantSession_isSafeCopyDirectory(const char* directory) {
  if (directory == nullptr || directory[0] == '\0') return false;
  struct stat st;
  if (lstat(directory, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int32_t HalvorantSession_loadAdapter(int index, const char* libDir, const char* comName) {
  if (libDir == nullptr || comName == nullptr) {
    HALVORANT_NULL_WARNING(libDir == nullptr ? "LibDir" : "ComName");
    return failLoad(index, HALVORANT_ADAPTER_NOT_LOADED);
  }
  if (index < 0 || index >= HALVORANT_SESSION_SLOTS || SessionList[index].sessionId == nullptr)
    return HALVORANT_ADAPTER_NOT_LOADED;
  HalvorantSessionSlot& slot = SessionList[index];

  char installed[HALVORANT_FILE_PATH_SIZE];
  char copy[HALVORANT_FILE_PATH_SIZE] = {0};
  if (!composePath(installed, "%s/%s/%s.dylib", SessionExecutePath, libDir, comName) ||
      !composeCopyPath(index, comName, copy)) {
    printfColorErrorLine("Adapter load error reason: ", "Adapter path too long");
    return failLoad(index, HALVORANT_ADAPTER_NOT_LOADED);
  }
  printfColorLine("Original adapter: ", installed);
  printfColorLine("Copy adapter: ", copy);

  void* library = nullptr;
  bool copied = false;
  if (!HalvorantSession_isSafeCopyDirectory(SessionCopyPath)) {
    printfColorErrorLine("Copy directory not private: ", SessionCopyPath);
    printfColorWarningLine("Copy adapter state: ", "Fail");
  } else if (Halvorant_CopyFile(installed, copy)) {
    copied = true;
    printfColorLine("Copy adapter state: ", "Success");
    library = openLibrary(copy);
    if (library != nullptr) {
      printfColorLine("Copied adapter: ", "Active");
      ArrayCopy(slot.adapterPath, sizeof slot.adapterPath, copy);
      slot.ownCopy = 1;
    } else {
      printfColorWarningLine("Copied adapter: ", "Inactive");
    }
  } else {
    printfColorWarningLine("Copy adapter state: ", "Fail");
  }
  if (!copied) HalvorantSession_forgetCopy(copy);

  if (library == nullptr) {
    library = openLibrary(installed);
    if (library != nullptr) {
      printfColorLine("Origin adapter: ", "Active");
      ArrayCopy(slot.adapterPath, sizeof slot.adapterPath, installed);
    } else {
      printfColorWarningLine("Origin adapter: ", "Inactive");
      const char* reason = dlerror();
      showErrorState("Origin adpater: ", isFileExist(installed), "Exist", "Not Exist");
      showErrorState("Copied adpater: ", isFileExist(copy), "Exist", "Not Exist");
      printfColorErrorLine("Adapter load error reason: ", reason != nullptr ? reason : "");
    }
    // A copy that could not be loaded is ours and of no further use.
    if (copied) deleteFile(copy);
    HalvorantSession_forgetCopy(copy);
    if (library == nullptr) return failLoad(index, HALVORANT_ADAPTER_NOT_LOADED);
  }

  slot.library = library;
  // The system libraries it brought in stay loaded after its release: the next page's
  // session opens without mapping and binding them again.
  {
    std::lock_guard<std::mutex> guard(AdapterLoaderLock);
    platformKeepDependencies(library);
  }
  slot.adapterName = newMem(comName);
  if (slot.adapterName == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return failLoad(index, HALVORANT_ADAPTER_NOT_LOADED);
  }
  slot.callMethod = resolveEntry<HalvorantCallMethod>(library, "callMethod");
  slot.callJsonMapMethod = resolveEntry<HalvorantCallJsonMapMethod>(library, "callJsonMapMethod");
  showNormalState("Json string callMethod: ", slot.callMethod != nullptr, "Active", "Inactive");
  showNormalState("Json map callMethod: ", slot.callJsonMapMethod != nullptr, "Active", "Inactive");
  if (slot.callMethod == nullptr && slot.callJsonMapMethod == nullptr) {
    printfColorWarningLine("All callMethod load fail", "");
    return failLoad(index, HALVORANT_NO_ENTRY_POINT);
  }
  if (slot.callJsonMapMethod != nullptr)
    printfColorLine("Json map init: ", "Active");
  else
    printfColorLine("Json string init: ", "Active");
  return 0;
}
