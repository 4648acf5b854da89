// Linux side of the browsers' trust in the user's CA: NSS databases, changed with certutil.
//
// Chromium and Chrome read $HOME/.pki/nssdb (the snap Chromium its own copy); Firefox keeps
// one database per profile, and a profile it never started has none yet. Firefox profiles
// live under ~/.mozilla/firefox or, for new installations of recent versions,
// $XDG_CONFIG_HOME/mozilla/firefox; profiles.ini names them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Platform.h"
#include "platform/PlatformDetail.h"

namespace {

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string homeDirectory() {
  const char* home = getenv("HOME");
  return home != nullptr && home[0] == '/' ? std::string(home) : std::string();
}

// The first line of a tool's output, for a step's outcome.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? std::string("no message") : line;
}

// Profile folders a profiles.ini in root names (existing ones only).
void profilesFromIni(const std::string& root, std::vector<std::string>* out) {
  std::ifstream ini(root + "/profiles.ini");
  if (!ini) return;
  std::string line, path;
  bool inProfile = false, relative = true;
  auto flush = [&] {
    if (inProfile && !path.empty()) {
      std::string dir = relative ? root + "/" + path : path;
      if (isDirectory(dir)) out->push_back(dir);
    }
    path.clear();
    relative = true;
  };
  while (std::getline(ini, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      flush();
      inProfile = line.rfind("[Profile", 0) == 0;
    } else if (line.rfind("Path=", 0) == 0) {
      path = line.substr(5);
    } else if (line.rfind("IsRelative=", 0) == 0) {
      relative = line.substr(11) != "0";
    }
  }
  flush();
}

// Every Firefox profile of this user: named in a profiles.ini, or holding a cert9.db.
std::vector<std::string> firefoxProfiles(const std::string& home) {
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string configHome = config != nullptr && config[0] == '/' ? config : home + "/.config";
  std::vector<std::string> found;
  for (const std::string& root : {home + "/.mozilla/firefox", configHome + "/mozilla/firefox",
                                  home + "/snap/firefox/common/.mozilla/firefox"}) {
    profilesFromIni(root, &found);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
      if (isFile(it->path().string() + "/cert9.db")) found.push_back(it->path().string());
  }
  // One entry per folder, whichever way it was named.
  std::vector<std::string> unique;
  std::vector<std::string> seen;
  for (const std::string& dir : found) {
    char* real = realpath(dir.c_str(), nullptr);
    std::string key = real != nullptr ? real : dir;
    free(real);
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(key);
    unique.push_back(dir);
  }
  return unique;
}

bool hasNickname(const std::string& db, const char* nickname) {
  std::string ignored;
  return runProgram({"certutil", "-L", "-d", "sql:" + db, "-n", nickname}, &ignored) == 0;
}

// Removes every entry of nickname from db; how many, or -1 (with *why) when one could not go.
int removeNickname(const std::string& db, const char* nickname, std::string* why) {
  int removed = 0;
  while (hasNickname(db, nickname)) {
    if (runProgram({"certutil", "-D", "-d", "sql:" + db, "-n", nickname}, why) != 0 || removed == 16) return -1;
    ++removed;
  }
  return removed;
}

std::vector<std::string> readRecord(const char* record) {
  std::vector<std::string> lines;
  std::ifstream in(record);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  return lines;
}

// Rewrites the record (a file of this user's data directory, never through a link).
bool writeRecord(const char* record, const std::vector<std::string>& lines) {
  std::string temporary = std::string(record) + ".new";
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  if (ok && rename(temporary.c_str(), record) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

// Makes an empty certificate store in dir (created 0700 when missing).
bool makeDatabase(const std::string& dir, std::string* why) {
  if (!isDirectory(dir)) {
    std::string parent = dir.substr(0, dir.rfind('/'));
    if (!isDirectory(parent) && mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = "cannot create " + parent + ": " + strerror(errno);
      return false;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = "cannot create " + dir + ": " + strerror(errno);
      return false;
    }
  }
  std::string output;
  if (runProgram({"certutil", "-N", "-d", "sql:" + dir, "--empty-password"}, &output) != 0) {
    *why = "certutil -N: " + firstLine(output);
    return false;
  }
  return true;
}

}  // namespace

bool platformTrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps,
                     std::string* error) {
  if (caFile == nullptr || nickname == nullptr || record == nullptr || steps == nullptr || error == nullptr)
    return false;
  if (!programOnPath("certutil")) {
    *error = "certutil not found: install libnss3-tools";
    return false;
  }
  const std::string home = homeDirectory();
  if (home.empty()) {
    *error = "HOME is not set";
    return false;
  }
  struct Place {
    std::string db, what;
    bool create;
  };
  std::vector<Place> places = {{home + "/.pki/nssdb", "Chromium, Chrome", true}};
  if (isFile(home + "/snap/chromium/current/.pki/nssdb/cert9.db"))
    places.push_back({home + "/snap/chromium/current/.pki/nssdb", "Chromium snap", false});
  for (const std::string& profile : firefoxProfiles(home)) places.push_back({profile, "Firefox profile", true});

  std::vector<std::string> recorded = readRecord(record);
  for (const Place& place : places) {
    TrustStep step;
    step.place = place.db;
    step.what = place.what;
    std::string why;
    bool made = false;
    if (!isFile(place.db + "/cert9.db")) {
      if (!place.create || !makeDatabase(place.db, &why)) {
        step.outcome = why;
        steps->push_back(step);
        continue;
      }
      made = true;
    }
    std::string output;
    if (removeNickname(place.db, nickname, &why) < 0) {
      step.outcome = "the earlier entry could not be removed: " + firstLine(why);
    } else if (runProgram({"certutil", "-A", "-d", "sql:" + place.db, "-n", nickname, "-t", "C,,", "-i", caFile},
                          &output) != 0) {
      step.outcome = "certutil -A: " + firstLine(output);
    } else {
      step.ok = true;
      step.outcome = made ? "trusted (certificate store created)" : "trusted";
      if (std::find(recorded.begin(), recorded.end(), place.db) == recorded.end()) recorded.push_back(place.db);
    }
    steps->push_back(step);
  }
  if (!writeRecord(record, recorded)) {
    *error = std::string("cannot write the record ") + record + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool platformUntrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps,
                       std::string* error) {
  (void)caFile;  // NSS finds the entry by its nickname
  if (nickname == nullptr || record == nullptr || steps == nullptr || error == nullptr) return false;
  if (!programOnPath("certutil")) {
    *error = "certutil not found: install libnss3-tools";
    return false;
  }
  std::vector<std::string> dbs = readRecord(record);
  const std::string home = homeDirectory();
  // Earlier versions trusted the default database without recording it.
  if (!home.empty() && std::find(dbs.begin(), dbs.end(), home + "/.pki/nssdb") == dbs.end())
    dbs.push_back(home + "/.pki/nssdb");
  for (const std::string& db : dbs) {
    if (!isFile(db + "/cert9.db")) continue;
    TrustStep step;
    step.place = db;
    std::string why;
    int removed = removeNickname(db, nickname, &why);
    step.ok = removed >= 0;
    step.outcome = removed < 0 ? "could not be removed: " + firstLine(why) : removed == 0 ? "was not trusted" : "removed";
    steps->push_back(step);
  }
  if (unlink(record) != 0 && errno != ENOENT) {
    *error = std::string("cannot remove the record ") + record + ": " + strerror(errno);
    return false;
  }
  return true;
}
