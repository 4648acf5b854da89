// INI profile files: reading, editing, and the replace-by-rename guarantees.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "diag/IniProfile.h"

namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_ini_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/settings.ini";
  }
  void TearDown() override { removeTree(dir); }

  static void removeTree(const std::string& root) {
    if (DIR* d = opendir(root.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string full = root + "/" + name;
        struct stat info;
        if (lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
          removeTree(full);
        else
          unlink(full.c_str());
      }
      closedir(d);
    }
    rmdir(root.c_str());
  }
  void write(const std::string& content) { write(path, content); }
  static void write(const std::string& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }

  std::string dir;
  std::string path;
};

struct ReadCase {
  const char* name;
  const char* content;
  const char* section;
  const char* key;
  int size;
  int code;
  const char* value;
};

TEST_F(IniTest, ReadsEntriesByTheMatchingRules) {
  const std::string longLine = std::string(300, 'x') + "k=tail\n";
  const ReadCase cases[] = {
      {"case-insensitive", "[Log]\nLog Level=5\n", "log", "LOG LEVEL", 256, 0, "5"},
      {"header white space", "  [ Log ]  \r\nk=1\n", "LOG", "k", 256, 0, "1"},
      {"quoted value", "[s]\nk=  'a b'  \n", "s", "k", 256, 0, "a b"},
      {"double quotes", "[s]\nk=\"x\" y\n", "s", "k", 256, 0, "x"},
      {"trailing blanks kept", "[s]\nk=abc  \r\n", "s", "k", 256, 0, "abc  "},
      {"unclosed quote", "[s]\nk='abc\n", "s", "k", 256, 0, "'abc"},
      {"empty value", "[s]\nk=\n", "s", "k", 256, 0, ""},
      {"first '=' splits", "[s]\nk=a=b\n", "s", "k", 256, 0, "a=b"},
      {"cut to first piece", "[s]\nkey=0123456789\n", "s", "key", 10, 0, "01234"},
      {"first section wins", "[s]\nk=1\n[s]\nk=2\n", "s", "k", 256, 0, "1"},
      {"behind next header", "[a]\nx=1\n[b]\nk=2\n", "a", "k", 256, 103, ""},
      {"comment is no entry", "[s]\n;k=1\n", "s", "k", 256, 103, ""},
      {"key length differs", "[s]\nLogLevel=5\n", "s", "Log Level", 256, 103, ""},
      {"leading blank before key", "[s]\n k=1\n", "s", "k", 256, 103, ""},
      {"text after bracket", "[s] x\nk=1\n", "s", "k", 256, 102, ""},
      {"missing section", "[a]\nk=1\n", "b", "k", 256, 102, ""},
      {"buffer of one byte", "[s]\nk=1\n", "s", "k", 1, 103, ""},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.content);
    char value[256] = "junk";
    EXPECT_EQ(GetIniProfileString(c.section, c.key, value, c.size, path.c_str()), c.code);
    EXPECT_STREQ(value, c.value);
  }
  // The tail of a long line is not a line of its own.
  write("[s]\n" + longLine);
  char value[256];
  EXPECT_EQ(GetIniProfileString("s", "k", value, sizeof value, path.c_str()), 103);
}

TEST_F(IniTest, ReadFailuresAndIntegers) {
  char value[16];
  EXPECT_EQ(GetIniProfileString("s", "k", value, sizeof value, (dir + "/none").c_str()), 101);
  EXPECT_EQ(GetIniProfileString("s", "k", value, sizeof value, nullptr), 101);
  EXPECT_EQ(GetIniProfileString(nullptr, "k", value, sizeof value, path.c_str()), 103);
  EXPECT_EQ(GetIniProfileString("s", "k", nullptr, 16, path.c_str()), 103);

  write("[s]\na=  -42xyz\nb=abc\nc=99999999999\nd=+7\n");
  EXPECT_EQ(GetIniProfileInt("s", "a", path.c_str()), -42);
  EXPECT_EQ(GetIniProfileInt("s", "b", path.c_str()), 0);
  EXPECT_EQ(GetIniProfileInt("s", "c", path.c_str()), INT_MAX);
  EXPECT_EQ(GetIniProfileInt("s", "d", path.c_str()), 7);
  EXPECT_EQ(GetIniProfileInt("s", "missing", path.c_str()), 0);
  EXPECT_EQ(GetIniProfileInt("s", "a", (dir + "/none").c_str()), 0);
}

TEST_F(IniTest, PrimitivesOnSingleLines) {
  EXPECT_EQ(isSection("[a]\n", nullptr), 1);
  EXPECT_EQ(isSection("[]\n", nullptr), 1);
  EXPECT_EQ(isSection("a]\n", nullptr), 0);
  EXPECT_EQ(isSection("[ab]\n", "a"), 0);
  char entry[] = "Key=v\n";
  EXPECT_STREQ(getValue(entry, "KEY"), "v\n");
  EXPECT_EQ(getValue(entry, "Ke"), nullptr);
  char quoted[] = "\"a\"\"b\"\r\n";
  trimQuote(quoted);
  EXPECT_STREQ(quoted, "a\"\"b");
}

struct EditCase {
  const char* name;
  const char* before;  // null: no file
  const char* after;
};

TEST_F(IniTest, WriteAddsOrReplacesTheEntry) {
  const std::string longLine(255, 'x');
  const EditCase cases[] = {
      {"new file", nullptr, "\n[sec]\nkey=value\n\n"},
      {"new section appended", "[a]\nx=1\n", "[a]\nx=1\n\n[sec]\nkey=value\n\n"},
      {"before next header", "[sec]\nx=1\n\n\n[b]\ny=2\n", "[sec]\nx=1\nkey=value\n\n[b]\ny=2\n"},
      {"replaces existing", "[sec]\n\nKEY=old\n\nz=1\n", "[sec]\nkey=value\n\nz=1\n"},
      {"at end of file", "[sec]\nx=1\n", "[sec]\nx=1\nkey=value\n"},
      {"last line unterminated", "[sec]\nx=1", "[sec]\nx=1\nkey=value\n"},
      {"header unterminated", "[sec]", "[sec]\nkey=value\n"},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path.c_str());
    if (c.before) write(c.before);
    EXPECT_EQ(WriteIniProfileString("sec", "key", "value", path.c_str()), 0);
    EXPECT_EQ(read(path), c.after);
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.ini"});  // no copy left behind
  }
  // A line that fills the line buffer exactly keeps its newline and stays apart.
  write("[sec]\n" + longLine + "\ny=1\n");
  EXPECT_EQ(WriteIniProfileString("sec", "key", "value", path.c_str()), 0);
  EXPECT_EQ(read(path), "[sec]\n" + longLine + "\ny=1\nkey=value\n");
  // A long entry line for the key is replaced whole.
  write("[sec]\nkey=" + std::string(400, 'v') + "\nz=1\n");
  EXPECT_EQ(WriteIniProfileInt("sec", "key", -7, path.c_str()), 0);
  EXPECT_EQ(read(path), "[sec]\nkey=-7\nz=1\n");
}

TEST_F(IniTest, WriteRefusesTextThatWouldAddLines) {
  write("[sec]\nk=1\n");
  EXPECT_EQ(WriteIniProfileString("sec", "k", "1\n[evil]", path.c_str()), 103);
  EXPECT_EQ(WriteIniProfileString("sec\n", "k", "1", path.c_str()), 103);
  EXPECT_EQ(WriteIniProfileString("sec", "a=b", "1", path.c_str()), 103);
  EXPECT_EQ(WriteIniProfileString("sec", "k", nullptr, path.c_str()), 103);
  EXPECT_EQ(WriteIniProfileString("sec", "k", "1", nullptr), 101);
  EXPECT_EQ(read(path), "[sec]\nk=1\n");
}

TEST_F(IniTest, DeleteSection) {
  write("[a]\nx=1\n[b]\ny=2\n\n[c]\nz=3\n");
  EXPECT_EQ(DeleteIniProfileSection("B", path.c_str()), 0);
  EXPECT_EQ(read(path), "[a]\nx=1\n[c]\nz=3\n");
  EXPECT_EQ(DeleteIniProfileSection("c", path.c_str()), 0);
  EXPECT_EQ(read(path), "[a]\nx=1\n");
  EXPECT_EQ(DeleteIniProfileSection("none", path.c_str()), 0);
  EXPECT_EQ(read(path), "[a]\nx=1\n");
  EXPECT_EQ(DeleteIniProfileSection("a", (dir + "/none").c_str()), 101);
  EXPECT_EQ(entries(), std::vector<std::string>{"settings.ini"});
}

struct EntryEditCase {
  const char* name;
  int (*edit)(const std::string& path);
  const char* before;
  int code;
  const char* after;
};

TEST_F(IniTest, DeleteUpdateRenameEntries) {
  auto del = [](const std::string& p) { return DeleteIniProfileEntry("s", "k", p.c_str()); };
  auto upd = [](const std::string& p) { return UpdateIniProfileEntry("s", "K", "new", p.c_str()); };
  auto ren = [](const std::string& p) { return RenameIniProfileEntry("s", "k", "n", p.c_str()); };
  const char* base = "[s]\n\nk= old \n[t]\nk=2\n";
  const EntryEditCase cases[] = {
      {"delete", del, base, 0, "[s]\n\n[t]\nk=2\n"},
      {"update", upd, base, 0, "[s]\n\nK=new\n[t]\nk=2\n"},
      {"rename keeps value text", ren, base, 0, "[s]\n\nn= old \n[t]\nk=2\n"},
      {"delete only the first", del, "[s]\nk=1\nk=2\n", 0, "[s]\nk=2\n"},
      {"delete absent entry", del, "[s]\nx=1\n[t]\nk=2\n", 103, "[s]\nx=1\n[t]\nk=2\n"},
      {"update absent entry", upd, "[s]\nx=1\n", 103, "[s]\nx=1\n"},
      {"rename absent entry", ren, "[s]\nx=1\n", 103, "[s]\nx=1\n"},
      {"update absent section", upd, "[t]\nk=1\n", 103, "[t]\nk=1\n"},
  };
  for (const EntryEditCase& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.before);
    EXPECT_EQ(c.edit(path), c.code);
    EXPECT_EQ(read(path), c.after);
    EXPECT_EQ(entries(), std::vector<std::string>{"settings.ini"});
  }
  // Long matching lines: delete and update drop the whole line, rename keeps all of it.
  const std::string longValue(400, 'v');
  write("[s]\nk=" + longValue + "\nz=1\n");
  EXPECT_EQ(del(path), 0);
  EXPECT_EQ(read(path), "[s]\nz=1\n");
  write("[s]\nk=" + longValue + "\nz=1\n");
  EXPECT_EQ(upd(path), 0);
  EXPECT_EQ(read(path), "[s]\nK=new\nz=1\n");
  write("[s]\nk=" + longValue + "\nz=1\n");
  EXPECT_EQ(ren(path), 0);
  EXPECT_EQ(read(path), "[s]\nn=" + longValue + "\nz=1\n");
  EXPECT_EQ(del((dir + "/none")), 101);
}

TEST_F(IniTest, FailedReplaceIsReportedAndLeavesNoCopy) {
  // A directory in the file's place can be read as empty but never replaced.
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  write(path + "/inside", "x");
  EXPECT_EQ(WriteIniProfileString("s", "k", "v", path.c_str()), INI_REPLACE_FAIL);
  struct stat info;
  EXPECT_NE(stat((path + ".tmp").c_str(), &info), 0);
  EXPECT_EQ(read(path + "/inside"), "x");
}

TEST_F(IniTest, CopyNameThatCannotBeBuiltLeavesTheFileAlone) {
  // At 511 characters "<path>.tmp" no longer fits its 512-byte name: a cut name would be
  // the file itself.
  std::string deep = dir + "/" + std::string(200, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  deep += "/" + std::string(200, 'e');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  std::string file = deep + "/";
  file += std::string(511 - file.size(), 'f');
  ASSERT_EQ(file.size(), 511u);
  write(file, "[s]\nk=1\n");
  EXPECT_EQ(WriteIniProfileString("s", "k", "2", file.c_str()), 101);
  EXPECT_EQ(UpdateIniProfileEntry("s", "k", "2", file.c_str()), 101);
  EXPECT_EQ(read(file), "[s]\nk=1\n");
}

TEST_F(IniTest, UnreadableFileIsNotReplaced) {
  // Only a missing file may be treated as empty; anything else unreadable stays as it is.
  std::string loop = dir + "/loop.ini";
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  EXPECT_EQ(WriteIniProfileString("s", "k", "v", loop.c_str()), 101);
  struct stat info;
  ASSERT_EQ(lstat(loop.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  if (geteuid() == 0) return;  // root reads any file: the mode check below means nothing
  write("[a]\nx=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0200), 0);
  EXPECT_EQ(WriteIniProfileString("s", "k", "v", path.c_str()), 101);
  chmod(path.c_str(), 0600);
  EXPECT_EQ(read(path), "[a]\nx=1\n");
}

TEST_F(IniTest, EditsOfDifferentFilesMayRunTogether) {
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([this, t] {
      std::string file = dir + "/f" + std::to_string(t) + ".ini";
      for (int i = 0; i < 100; ++i)
        ASSERT_EQ(WriteIniProfileInt("s", "k", i, file.c_str()), 0);
    });
  for (std::thread& w : workers) w.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(read(dir + "/f" + std::to_string(t) + ".ini"), "\n[s]\nk=99\n\n");
  EXPECT_EQ(entries().size(), 4u);
}

}  // namespace
