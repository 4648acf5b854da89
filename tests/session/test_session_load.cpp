// Adapter loading and release: failure codes, the string-only entry point, the private
// copy directory, copies deleted but installed files kept, hostile names and overlong
// paths never reaching a file outside their directories.
#include <dlfcn.h>
#include <sys/stat.h>

#include <set>

#include "SessionTestSupport.h"

namespace {

namespace fs = std::filesystem;
using sessiontest::Answer;
using sessiontest::entries;
using sessiontest::openSlots;
using sessiontest::Params;
using sessiontest::SessionFixture;
using sessiontest::slotOf;

class SessionLoad : public SessionFixture {};

struct FailureCase {
  const char* name;
  const char* comName;
  Params extra;
  const char* result;  // nullptr: the answer has no "result"
};

TEST_F(SessionLoad, OpeningFailuresFreeTheSlotAndTheCopy) {
  const FailureCase cases[] = {
      {"no entry point", "no_entry", {}, "61906"},
      {"version code", "code_version", {}, "61205"},
      {"empty version", "empty_version", {}, nullptr},
      {"no version text", "null_version", {}, nullptr},
      {"missing file", "absent", {}, "61902"},
      {"adapter too old", "old_version", {{"minLibVersion", "1.0.0.0"}}, "61204"},
      {"adapter parts differ", "probe", {{"minLibVersion", "1.2.3"}}, "61204"},
      {"server too old", "probe", {{"minServerVersion", "9.0.0.0"}}, "61203"},
      {"server parts differ", "probe", {{"minServerVersion", "1.0.23"}}, "61203"},
      {"no server minimum", "probe", {{"minServerVersion", ""}}, "61203"},
  };
  for (const FailureCase& c : cases) {
    Params params = {{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"},
                     {"ComName", c.comName}, {"minServerVersion", "1.0.0.0"}};
    for (const auto& [key, value] : c.extra) {
      bool replaced = false;
      for (auto& param : params)
        if (param.first == key) param.second = value, replaced = true;
      if (!replaced) params.push_back({key, value});
    }
    Answer answer = process(params);
    ASSERT_FALSE(answer.null) << c.name;
    if (c.result != nullptr) {
      EXPECT_EQ(answer.get("result"), c.result) << c.name;
      EXPECT_EQ(answer.keys.size(), 1u) << c.name;  // the answer was reset to "result" alone
    } else {
      EXPECT_FALSE(answer.has("result")) << c.name;
      EXPECT_TRUE(answer.has("SessionID")) << c.name;
    }
    EXPECT_EQ(openSlots(), 0) << c.name;
    EXPECT_EQ(entries(copyDir), 0u) << c.name;
  }
  EXPECT_EQ(entries(exeDir / "Fix"), std::size(kFixtures));  // installed files untouched
}

TEST_F(SessionLoad, StringOnlyAdapterGetsVersionQueryAsJson) {
  Answer opened = open("Str1", "string_only");
  EXPECT_EQ(opened.get("result"), "0");
  EXPECT_EQ(opened.get("LibVersion"), "2.0.0.0");
  // A page call hands over the JSON text exactly as the request was written.
  Params params = {{"SessionId", "Str1"}, {"FunctionName", "Anything"}, {"x", "1"}};
  EXPECT_EQ(process(params).get("result"), "json:" + sessiontest::toJson(params));
  // Release does not call an adapter without the map entry point; the slot is freed.
  EXPECT_TRUE(call("Str1", "HalvorantRelease").keys.empty());
  EXPECT_EQ(openSlots(), 0);
}

TEST_F(SessionLoad, ReleaseDeletesOwnCopyOnce) {
  ASSERT_EQ(open("Own1").get("result"), "0");
  fs::path copy = copyDir / "probe-Own1.dylib";
  EXPECT_EQ(call("Own1", "Path").get("result"), copy.string());
  EXPECT_TRUE(fs::exists(copy));
  EXPECT_EQ((fs::status(copyDir).permissions() & fs::perms::all), fs::perms::owner_all);

  int index = slotOf("Own1");
  HalvorantSession_freeSession(index);
  HalvorantSession_freeSession(index);  // second release: nothing left to do
  HalvorantQueue_removeQueue(index);
  EXPECT_EQ(releaseCount(), 1);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(fs::exists(exeDir / "Fix" / "probe.dylib"));
  const HalvorantSessionSlot& slot = SessionList[index];
  EXPECT_EQ(slot.library, nullptr);
  EXPECT_EQ(slot.adapterPath[0], '\0');
  EXPECT_EQ(slot.initTime, 0);
}

// The system libraries an adapter brings in stay loaded after its release, so the next
// page's session does not load them again; the adapter's own copy goes with the release.
TEST_F(SessionLoad, SystemLibrariesOutliveTheReleaseButTheCopyDoesNot) {
  const char* kLibrary = "libmbedcrypto.so.7";  // the crypt adapter's; nothing else here needs it
  auto loaded = [](const char* name) {
    void* handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
  };
  ASSERT_FALSE(loaded(kLibrary));
  Params params = {{"FunctionName", "Echo"},         {"PathID", "none"},          {"LibDir", "Nox"},
                   {"ComName", "NoxCryptAdapter"}, {"minServerVersion", "1.0.0.0"}, {"SessionId", "Keep1"}};
  ASSERT_EQ(process(params).get("result"), "0");
  const std::string copy = (copyDir / "NoxCryptAdapter-Keep1.dylib").string();
  EXPECT_TRUE(loaded(copy.c_str()));
  EXPECT_TRUE(loaded(kLibrary));

  EXPECT_TRUE(call("Keep1", "HalvorantRelease").keys.empty());
  EXPECT_EQ(openSlots(), 0);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_FALSE(loaded(copy.c_str()));
  EXPECT_TRUE(loaded(kLibrary));
}

// Whichever allocation of a release fails (the release map's among them), the release
// completes: library unloaded, own copy deleted, slot empty and reusable.
TEST_F(SessionLoad, ReleaseCompletesWhateverAllocationFails) {
  ASSERT_EQ(open("Cnt1").get("result"), "0");
  int index = slotOf("Cnt1");
  const uint64_t before = newMemSizeCalls();
  testing::internal::CaptureStdout();
  HalvorantSession_freeSession(index);
  testing::internal::GetCapturedStdout();
  HalvorantQueue_removeQueue(index);
  const uint64_t calls = newMemSizeCalls() - before;
  ASSERT_GT(calls, 0u);

  for (uint64_t nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(calls) + " fails");
    ASSERT_EQ(open("Alf1").get("result"), "0");
    index = slotOf("Alf1");
    fs::path copy = copyDir / "probe-Alf1.dylib";
    ASSERT_TRUE(fs::exists(copy));
    testing::internal::CaptureStdout();
    setAllocationFailure(nth);
    HalvorantSession_freeSession(index);
    setAllocationFailure(0);
    std::string out = testing::internal::GetCapturedStdout();
    HalvorantQueue_removeQueue(index);
    EXPECT_NE(out.find("Memory allocate fail at line: "), std::string::npos) << out;
    EXPECT_NE(out.find("Release adapter state: \033[0m\033[32mSuccess"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(copy));
    const HalvorantSessionSlot& slot = SessionList[index];
    EXPECT_EQ(slot.sessionId, nullptr);
    EXPECT_EQ(slot.library, nullptr);
    EXPECT_EQ(slot.callJsonMapMethod, nullptr);
    EXPECT_EQ(slot.adapterPath[0], '\0');
    EXPECT_EQ(openSlots(), 0);
  }
}

// Copy directories that another user could reach are not used: the session runs on the
// installed file, and release leaves that file in place.
TEST_F(SessionLoad, UnsafeCopyDirectoryFallsBackToInstalledFile) {
  fs::path target = root / "elsewhere";
  fs::create_directories(target);
  struct Case {
    const char* name;
    fs::path dir;
  } cases[] = {{"symbolic link", root / "link"}, {"group and world writable", root / "open"},
               {"regular file", root / "file"}};
  fs::create_directory_symlink(target, root / "link");
  fs::create_directories(root / "open");
  fs::permissions(root / "open", fs::perms::all);
  std::ofstream(root / "file") << "x";

  for (const Case& c : cases) {
    startManager(c.dir, exeDir);
    ASSERT_EQ(open("Inst1").get("result"), "0") << c.name;
    fs::path installed = exeDir / "Fix" / "probe.dylib";
    EXPECT_EQ(call("Inst1", "Path").get("result"), installed.string()) << c.name;
    EXPECT_TRUE(call("Inst1", "HalvorantRelease").keys.empty());
    EXPECT_EQ(openSlots(), 0);
    EXPECT_TRUE(fs::exists(installed)) << c.name;
    EXPECT_EQ(entries(target), 0u) << c.name;
    if (fs::is_directory(c.dir)) {
      EXPECT_EQ(entries(c.dir), 0u) << c.name;
    }
  }
  EXPECT_EQ(fs::status(root / "open").permissions() & fs::perms::all, fs::perms::all);  // left as found
}

TEST_F(SessionLoad, CopyNamesStayUniqueAndInsideTheCopyDirectory) {
  fs::copy_file(exeDir / "Fix" / "probe.dylib", exeDir / "Fix" / "probe-x.dylib");
  // "probe" + "x-y" and "probe-x" + "y" would both be probe-x-y.dylib.
  ASSERT_EQ(open("x-y", "probe").get("result"), "0");
  ASSERT_EQ(open("y", "probe-x").get("result"), "0");
  std::string first = call("x-y", "Path").get("result");
  std::string second = call("y", "Path").get("result");
  EXPECT_NE(first, second);
  EXPECT_EQ(fs::path(second).parent_path(), copyDir);
  // Separate library instances: version query, Path, Count in each.
  EXPECT_EQ(call("x-y", "Count").get("result"), "3");
  EXPECT_EQ(call("y", "Count").get("result"), "3");
}

TEST_F(SessionLoad, HostileNamesStayInTheirDirectories) {
  // Files a page must not reach: one beside the executable directory, one in /tmp root.
  std::ofstream(root / "secretVersion.txt") << "LEAKED";
  std::ofstream(exeDir / "SetupVersion.txt") << "3.1.4";
  const char* hostileIds[] = {"../../evil", "a/b", "..", "x;touch evil", "$(id)", "sp ace"};
  for (const char* id : hostileIds) {
    Answer opened = open(id, "probe", {{"InstallerName", "../secret"}});
    ASSERT_EQ(opened.get("result"), "0") << id;
    EXPECT_EQ(opened.get("InstallerVersion"), "") << id;  // ..secretVersion.txt does not exist
    std::string path = call(id, "Path").get("result");
    EXPECT_EQ(fs::path(path).parent_path(), copyDir) << id << " -> " << path;
    EXPECT_EQ(path.find("evil"), std::string::npos) << id;
    EXPECT_TRUE(call(id, "HalvorantForceRelease").keys.empty());
    EXPECT_EQ(entries(copyDir), 0u) << id;
  }
  // Hostile LibDir and ComName are cleaned to a name inside the executable directory.
  Answer outside = process({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "../exe/Fix"},
                            {"ComName", "../../probe"}, {"minServerVersion", "1.0.0.0"}});
  EXPECT_EQ(outside.get("result"), "61902");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(root)) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"copy", "exe", "secretVersion.txt", "trace.txt"}));
  // A plain installer name reads its version file beside the executable.
  Answer installer = open("Inst2", "probe", {{"InstallerName", "Setup"}});
  EXPECT_EQ(installer.get("InstallerVersion"), "3.1.4");
  EXPECT_EQ(call("Inst2", "Echo").get("InstallerVersion"), "3.1.4");
}

TEST_F(SessionLoad, OverlongPathsAreRefused) {
  // Executable directory so deep that "<exe>/Fix/probe.dylib" passes 511 characters.
  fs::path deep = root;
  while (deep.string().size() < 500) deep /= std::string(60, 'd');
  installTree(deep);
  startManager(copyDir, deep);
  EXPECT_EQ(open("Long1").get("result"), "61902");
  Answer installer = process({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"},
                              {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"}});
  EXPECT_EQ(installer.get("result"), "61902");
  EXPECT_EQ(openSlots(), 0);

  // A copy directory so deep that the copy's name does not fit.
  fs::path deepCopy = root;
  while (deepCopy.string().size() < 480) deepCopy /= std::string(60, 'c');
  fs::create_directories(deepCopy.parent_path());
  startManager(deepCopy, exeDir);
  EXPECT_EQ(open("Long2", "probe").get("result"), "61902");
  EXPECT_EQ(entries(deepCopy), 0u);
  EXPECT_EQ(openSlots(), 0);
}

}  // namespace
