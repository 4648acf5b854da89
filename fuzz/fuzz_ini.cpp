// INI profile files: the readers over an arbitrary file, then one edit and a read-back.
//
// Input: section up to '\n', key up to '\n', value up to '\n', one byte for the caller's
// buffer size, then the file's content. The readers must stay within the caller's buffer
// and the file; after WriteIniProfileString of a plain entry the same entry reads back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "diag/IniProfile.h"

namespace {

std::string g_path;

void writeFile(const std::string& path, const std::string& content) {
  FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), file) == content.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

// Names the edit functions accept and the readers find again: no white space at the
// ends, no line break, none of "[]=;" and no quote (values are unquoted on reading).
bool plain(const std::string& text, size_t longest) {
  if (text.empty() || text.size() > longest) return false;
  if (text.front() == ' ' || text.back() == ' ') return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f || std::strchr("[]=;\"'", c) != nullptr) return false;
  return true;
}

void readers(const std::string& section, const std::string& key, int size) {
  std::vector<char> value(static_cast<size_t>(size) + 16, '\x5a');
  int code = GetIniProfileString(section.c_str(), key.c_str(), value.data(), size, g_path.c_str());
  FUZZ_CHECK(code == INI_OK || code == INI_NO_SECTION || code == INI_NO_ENTRY);
  if (size >= 1) FUZZ_CHECK(std::strlen(value.data()) < static_cast<size_t>(size));
  for (size_t i = static_cast<size_t>(size); i < value.size(); ++i) FUZZ_CHECK(value[i] == '\x5a');
  (void)GetIniProfileInt(section.c_str(), key.c_str(), g_path.c_str());

  // The lower-level pieces, as the readers combine them.
  FILE* file = std::fopen(g_path.c_str(), "r");
  FUZZ_CHECK(file != nullptr);
  if (gotoSection(file, section.c_str()) && size >= 1) {
    std::vector<char> entry(static_cast<size_t>(size));
    code = getEntry(file, key.c_str(), entry.data(), size);
    FUZZ_CHECK(code == INI_OK || code == INI_NO_ENTRY);
    FUZZ_CHECK(std::strlen(entry.data()) < static_cast<size_t>(size));
  }
  std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/nox_fuzz_ini_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FUZZ_CHECK(mkdtemp(name.data()) != nullptr);
  static std::string dir(name.data());
  g_path = dir + "/profile.ini";
  std::atexit([] {
    std::remove(g_path.c_str());
    std::remove((g_path + ".tmp").c_str());
    rmdir(dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const std::string section = input.until('\n');
  const std::string key = input.until('\n');
  const std::string value = input.until('\n');
  const int bufferSize = input.byte();
  const std::string content = input.bytes(input.left());  // NUL bytes and all
  writeFile(g_path, content);

  readers(section, key, bufferSize);

  int code = WriteIniProfileString(section.c_str(), key.c_str(), value.c_str(), g_path.c_str());
  FUZZ_CHECK(code == INI_OK || code == INI_NO_ENTRY);
  // A text file of plain names: the entry written is the entry read.
  const bool text = content.find('\0') == std::string::npos;
  if (text && plain(section, 64) && plain(key, 64) && (value.empty() || plain(value, 64))) {
    FUZZ_CHECK(code == INI_OK);
    char back[256];
    FUZZ_CHECK(GetIniProfileString(section.c_str(), key.c_str(), back, sizeof back, g_path.c_str()) == INI_OK);
    FUZZ_CHECK(value == back);
  }
  readers(section, key, 256);
  return 0;
}
