#include <gtest/gtest.h>
#include <platform/settings_store.h>
#include <platform/settings_text.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::SettingsStatus;
using platform::SettingsStore;
using platform::SettingValue;

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenwick\\Halvard";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// "p1_7" and the like. Built by snprintf: GCC 12 at -O3 raises a false -Wrestrict alarm for
// "literal" + std::to_string(...).
std::string WriterValueName(char who, int writer, int index) {
  char name[32];
  snprintf(name, sizeof name, "%c%d_%d", who, writer, index);
  return name;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "settings-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    file_ = dir_ / "registry.reg";
  }
  void TearDown() override {
    platform::set_settings_save_hook(nullptr);
    fs::remove_all(dir_);
  }

  SettingsStore Store() const { return SettingsStore(file_.string()); }

  // Reads through a copy of the file, so that nothing cached in this process can answer.
  SettingValue ReadFromDisk(std::string_view key, std::string_view name) {
    fs::path copy = dir_ / ("copy-" + std::to_string(copies_++) + ".reg");
    fs::copy_file(file_, copy);
    SettingValue value;
    EXPECT_EQ(SettingsStore(copy.string()).QueryValue(key, name, &value), SettingsStatus::kOk)
        << name;
    return value;
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  fs::path file_;
  int copies_ = 0;
};

TEST_F(SettingsStoreTest, EveryTypeAndEscapeSurvivesTheFile) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  const std::string tricky = "C:\\dir\\ \"quoted\" tab\tline\nret\r ctl\x01 del\x7f utf8 \xC3\xA9";
  std::vector<uint8_t> binary(100);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 37);
  const uint8_t number[4] = {0x2a, 0, 0, 0};
  const std::string odd_name = "we\"ird\\name\n";
  struct Case {
    std::string name;
    uint32_t type;
    std::vector<uint8_t> data;
  } cases[] = {
      {"Text", platform::kSettingString, Bytes(tricky)},
      {"Nul", platform::kSettingString, Bytes(std::string("a\0b", 3))},
      {"Empty", platform::kSettingString, {}},
      {"Count", platform::kSettingNumber, {number, number + 4}},
      {"Blob", platform::kSettingBinary, binary},
      {"NoBytes", platform::kSettingBinary, {}},
      {"Short", platform::kSettingNumber, {1, 2}},
      {"Expand", 2, Bytes("%HOME%")},
      {"", platform::kSettingString, Bytes("default")},
      {odd_name, platform::kSettingNumber, {number, number + 4}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(store.SetValue(kKey, c.name, c.type, c.data), SettingsStatus::kOk) << c.name;
  }
  for (const Case& c : cases) {
    SettingValue value = ReadFromDisk(kKey, c.name);
    EXPECT_EQ(value.type, c.type) << c.name;
    EXPECT_EQ(value.data, c.data) << c.name;
  }
  std::string text = ReadFile(file_);
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenwick\\Halvard]\n"), std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:0000002a\n"), std::string::npos);
  EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Text\"=\"C:\\\\dir\\\\ \\\"quoted\\\" tab\\tline\\nret\\r ctl\\x01"),
            std::string::npos);
  // Long lists wrap the way the registry editor wraps them.
  EXPECT_NE(text.find(",\\\n  "), std::string::npos);
  for (const std::string& line :
       {std::string("\"NoBytes\"=hex:\n"), std::string("\"Expand\"=hex(2):")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST_F(SettingsStoreTest, ReadsFilesWrittenByHand) {
  WriteFile(file_,
            "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
            "; comment\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
            "\"Num\" = dword:1F\r\n"
            "\"Bin\"=hex:01,02,\\\r\n"
            "  03,04\r\n"
            "\"Gone\"=\"x\"\r\n"
            "\"Gone\"=-\r\n"
            "@=\"dflt\"\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Sub]\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Doomed\\Deep]\r\n"
            "\"v\"=\"1\"\r\n"
            "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Doomed]\r\n"
            "\"ignored\"=\"in a removed key\"\r\n");
  SettingsStore store = Store();
  SettingValue value;
  ASSERT_EQ(store.QueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\A", "num", &value),
            SettingsStatus::kOk);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{0x1f, 0, 0, 0}));
  ASSERT_EQ(store.QueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\A", "Bin", &value),
            SettingsStatus::kOk);
  EXPECT_EQ(value.data, (std::vector<uint8_t>{1, 2, 3, 4}));
  ASSERT_EQ(store.QueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\A", "", &value), SettingsStatus::kOk);
  EXPECT_EQ(value.data, Bytes("dflt"));
  EXPECT_EQ(store.QueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\A", "Gone", &value),
            SettingsStatus::kNotFound);
  EXPECT_EQ(store.OpenKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\Sub"), SettingsStatus::kOk);
  EXPECT_EQ(store.OpenKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Doomed"), SettingsStatus::kNotFound);
}

TEST_F(SettingsStoreTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey("HKEY_LOCAL_MACHINE\\Software\\Brenwick"), SettingsStatus::kOk);
  EXPECT_EQ(store.OpenKey("hkey_local_machine\\SOFTWARE\\BRENWICK"), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\brenwick", "Name", 1, Bytes("a")),
            SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\BRENWICK", "NAME", 1, Bytes("b")),
            SettingsStatus::kOk);
  std::string name;
  ASSERT_EQ(store.EnumValue("HKEY_LOCAL_MACHINE\\Software\\Brenwick", 0, &name),
            SettingsStatus::kOk);
  EXPECT_EQ(name, "Name");
  EXPECT_EQ(store.EnumValue("HKEY_LOCAL_MACHINE\\Software\\Brenwick", 1, &name),
            SettingsStatus::kNotFound);
  EXPECT_EQ(ReadFromDisk("HKEY_LOCAL_MACHINE\\software\\brenwick", "name").data, Bytes("b"));
  ASSERT_EQ(store.EnumSubKey("HKEY_LOCAL_MACHINE", 0, &name), SettingsStatus::kOk);
  EXPECT_EQ(name, "Software");
}

TEST_F(SettingsStoreTest, EnumeratesSubkeysByNameAndValuesInCreationOrder) {
  SettingsStore store = Store();
  for (const char* sub : {"gamma", "Alpha", "beta"}) {
    ASSERT_EQ(store.CreateKey(std::string(kKey) + "\\" + sub), SettingsStatus::kOk);
  }
  for (const char* value : {"z", "a", "m"}) {
    ASSERT_EQ(store.SetValue(kKey, value, 1, Bytes(value)), SettingsStatus::kOk);
  }
  std::vector<std::string> subkeys, values;
  std::string name;
  for (size_t i = 0; store.EnumSubKey(kKey, i, &name) == SettingsStatus::kOk; ++i) {
    subkeys.push_back(name);
  }
  for (size_t i = 0; store.EnumValue(kKey, i, &name) == SettingsStatus::kOk; ++i) {
    values.push_back(name);
  }
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ(store.EnumSubKey("HKEY_LOCAL_MACHINE\\Missing", 0, &name), SettingsStatus::kNotFound);
}

TEST_F(SettingsStoreTest, DeletesKeysWithEverythingBelowThem) {
  SettingsStore store = Store();
  const std::string top = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Top";
  ASSERT_EQ(store.CreateKey(top + "\\A\\B\\C"), SettingsStatus::kOk);
  ASSERT_EQ(store.CreateKey(top + "\\D"), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(top, "keep", 1, Bytes("k")), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(top + "\\A\\B", "v", 1, Bytes("v")), SettingsStatus::kOk);

  ASSERT_EQ(store.DeleteKey(top + "\\a"), SettingsStatus::kOk);
  EXPECT_EQ(store.OpenKey(top + "\\A\\B\\C"), SettingsStatus::kNotFound);
  EXPECT_EQ(store.OpenKey(top + "\\D"), SettingsStatus::kOk);
  EXPECT_EQ(store.DeleteKey(top + "\\A"), SettingsStatus::kNotFound);

  ASSERT_EQ(store.DeleteSubKeys(top), SettingsStatus::kOk);
  std::string name;
  EXPECT_EQ(store.EnumSubKey(top, 0, &name), SettingsStatus::kNotFound);
  EXPECT_EQ(ReadFromDisk(top, "keep").data, Bytes("k"));
  EXPECT_EQ(ReadFile(file_).find("\\D]"), std::string::npos);

  EXPECT_EQ(store.DeleteValue(top, "keep"), SettingsStatus::kOk);
  EXPECT_EQ(store.DeleteValue(top, "keep"), SettingsStatus::kNotFound);
  EXPECT_EQ(store.DeleteKey("HKEY_LOCAL_MACHINE"), SettingsStatus::kInvalid);
}

TEST_F(SettingsStoreTest, RefusesMalformedPathsAndValuesOfMissingKeys) {
  SettingsStore store = Store();
  for (const char* path : {"", "SOFTWARE\\X", "HKEY_LOCAL_MACHINE\\\\X", "HKEY_LOCAL_MACHINE\\X\\",
                           "\\HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\bad\nname"}) {
    EXPECT_EQ(store.CreateKey(path), SettingsStatus::kInvalid) << path;
  }
  EXPECT_EQ(store.CreateKey("HKEY_LOCAL_MACHINE\\" + std::string(256, 'k')),
            SettingsStatus::kInvalid);
  EXPECT_EQ(store.SetValue("HKEY_LOCAL_MACHINE\\Nowhere", "v", 1, Bytes("x")),
            SettingsStatus::kNotFound);
  EXPECT_EQ(store.OpenKey("HKEY_LOCAL_MACHINE"), SettingsStatus::kOk);  // roots always exist
  EXPECT_FALSE(fs::exists(file_));  // nothing was changed, so nothing was written
}

TEST_F(SettingsStoreTest, TextsThatAreNoSettingsFilesAreRefused) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\X]\n";
  std::string out;
  for (const std::string& text : {
           std::string("garbage\n"),
           std::string("\x89PNG\r\n\x1a\n", 8),
           header + "\"v\"=\"before any key\"\n",
           header + "[HKEY_NOWHERE\\X]\n",
           header + "[HKEY_LOCAL_MACHINE\\X\n",
           header + key + "\"v\"=\"cut short\n",
           header + key + "\"v\"=\"bad \\q escape\"\n",
           header + key + "\"v\"=\"x\" trailing\n",
           header + key + "\"v\"=dword:123456789\n",
           header + key + "\"v\"=dword:\n",
           header + key + "\"v\"=hex:01,,02\n",
           header + key + "\"v\"=hex:01,02,\\\n",
           header + key + "\"v\"=hex(zz):01\n",
           header + key + "\"v\"=qword:01\n",
           header + key + "\"v\"=\n",
           header + key + "v=\"unquoted name\"\n",
           header + "[-HKEY_LOCAL_MACHINE]\n",
       }) {
    EXPECT_FALSE(platform::settings_text_normalize(text, &out)) << text;
  }
  EXPECT_TRUE(platform::settings_text_normalize("", &out));
  EXPECT_TRUE(platform::settings_text_normalize("REGEDIT4\n\n" + key, &out));
}

TEST_F(SettingsStoreTest, DamagedFileIsReportedAndKeptAside) {
  const std::string damaged =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"v\"=dword:zz\n";
  WriteFile(file_, damaged);
  SettingsStore::TakeDamagedCopies();
  SettingsStore store = Store();
  SettingValue value;
  EXPECT_EQ(store.QueryValue("HKEY_LOCAL_MACHINE\\SOFTWARE", "v", &value),
            SettingsStatus::kDamaged);
  std::string aside = SettingsStore::LastDamagedCopy();
  ASSERT_FALSE(aside.empty());
  EXPECT_EQ(aside.rfind(file_.string() + ".damaged-", 0), 0u);
  EXPECT_EQ(ReadFile(aside), damaged);
  EXPECT_FALSE(fs::exists(file_));

  // The store goes on empty; the next save does not touch the damaged copy.
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(kKey, "v", 1, Bytes("fresh")), SettingsStatus::kOk);
  EXPECT_EQ(ReadFile(aside), damaged);

  // A change that finds damage is not applied, and a second damaged file gets a name of its own.
  WriteFile(file_, damaged);
  EXPECT_EQ(store.SetValue(kKey, "v", 1, Bytes("lost")), SettingsStatus::kDamaged);
  std::string second = SettingsStore::LastDamagedCopy();
  EXPECT_NE(second, aside);
  EXPECT_EQ(ReadFile(second), damaged);
  EXPECT_EQ(store.QueryValue(kKey, "v", &value), SettingsStatus::kNotFound);

  // Both are still on record for the program, whichever call met them; once.
  EXPECT_EQ(SettingsStore::TakeDamagedCopies(), (std::vector<std::string>{aside, second}));
  EXPECT_TRUE(SettingsStore::TakeDamagedCopies().empty());
}

TEST_F(SettingsStoreTest, AFileCutInsideANumberOrByteListIsDamage) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(kKey, "Num", platform::kSettingNumber, {{1, 2, 3, 4}}),
            SettingsStatus::kOk);
  const std::string numberLast = ReadFile(file_);
  ASSERT_EQ(store.SetValue(kKey, "Blob", platform::kSettingBinary, std::vector<uint8_t>(60, 0xab)),
            SettingsStatus::kOk);
  const std::string listLast = ReadFile(file_);
  std::string out;
  ASSERT_TRUE(platform::settings_text_normalize(listLast, &out));
  // Every cut inside the value loses part of it. (A list could end at any comma, so one whose
  // line break is missing counts as cut; a number of all eight digits is whole.)
  for (const auto& [text, type, whole] :
       {std::tuple{numberLast, "dword:", 1}, std::tuple{listLast, "hex:", 0}}) {
    for (size_t cut = text.rfind(type) + std::strlen(type); cut < text.size() - whole; ++cut) {
      EXPECT_FALSE(platform::settings_text_normalize(text.substr(0, cut), &out)) << cut;
    }
  }
  // The store sets such a file aside as it does any damaged one.
  WriteFile(file_, listLast.substr(0, listLast.size() - 3));
  SettingValue value;
  EXPECT_EQ(store.QueryValue(kKey, "Num", &value), SettingsStatus::kDamaged);
  EXPECT_FALSE(SettingsStore::LastDamagedCopy().empty());
}

TEST_F(SettingsStoreTest, SeesChangesMadeByOthers) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(kKey, "v", 1, Bytes("mine")), SettingsStatus::kOk);
  SettingValue value;
  ASSERT_EQ(store.QueryValue(kKey, "v", &value), SettingsStatus::kOk);
  // Someone edits the file in place behind our back.
  std::string text = ReadFile(file_);
  text.replace(text.find("\"mine\""), 6, "\"theirs\"");
  WriteFile(file_, text);
  ASSERT_EQ(store.QueryValue(kKey, "v", &value), SettingsStatus::kOk);
  EXPECT_EQ(value.data, Bytes("theirs"));
  // A change starts from what is on disk, not from what was read before.
  ASSERT_EQ(store.SetValue(kKey, "w", 1, Bytes("w")), SettingsStatus::kOk);
  EXPECT_EQ(ReadFromDisk(kKey, "v").data, Bytes("theirs"));
}

TEST_F(SettingsStoreTest, ASettingsFileBehindALinkIsSavedThroughIt) {
  // Users keep the file in a synchronised folder and link it into place.
  const fs::path real = dir_ / "synced" / "registry.reg";
  fs::create_directories(real.parent_path());
  ASSERT_EQ(SettingsStore(real.string()).CreateKey(kKey), SettingsStatus::kOk);
  fs::create_symlink(real, file_);
  SettingsStore store = Store();
  ASSERT_EQ(store.SetValue(kKey, "v", 1, Bytes("linked")), SettingsStatus::kOk);
  EXPECT_TRUE(fs::is_symlink(file_));
  SettingValue value;
  ASSERT_EQ(SettingsStore(real.string()).QueryValue(kKey, "v", &value), SettingsStatus::kOk);
  EXPECT_EQ(value.data, Bytes("linked"));
}

TEST_F(SettingsStoreTest, ADamagedFileBehindALinkIsSetAsideWhereItLies) {
  const fs::path real = dir_ / "synced" / "registry.reg";
  fs::create_directories(real.parent_path());
  WriteFile(real, "not settings\n");
  fs::create_symlink(real, file_);
  SettingValue value;
  EXPECT_EQ(Store().QueryValue(kKey, "v", &value), SettingsStatus::kDamaged);
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_FALSE(fs::exists(real));
  EXPECT_EQ(SettingsStore::LastDamagedCopy().rfind(real.string() + ".damaged-", 0), 0u);
  // The next save goes through the link to where the file lay.
  ASSERT_EQ(Store().CreateKey(kKey), SettingsStatus::kOk);
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_TRUE(fs::is_regular_file(real));
}

int g_saves = 0;
void CountSave(const char*) { ++g_saves; }

TEST_F(SettingsStoreTest, ABatchSavesOnceAndAppliesItsChangesOverOthers) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  const std::string before = ReadFile(file_);
  g_saves = 0;
  platform::set_settings_save_hook(CountSave);
  {
    platform::SettingsBatch batch(file_.string());
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(store.SetValue(kKey, WriterValueName('b', 0, i), 1, Bytes("x")),
                SettingsStatus::kOk);
    }
    {
      platform::SettingsBatch inner(file_.string());
      ASSERT_EQ(store.DeleteValue(kKey, "b0_0"), SettingsStatus::kOk);
    }
    SettingValue value;
    EXPECT_EQ(store.QueryValue(kKey, "b0_19", &value), SettingsStatus::kOk);  // seen inside
    EXPECT_EQ(store.QueryValue(kKey, "b0_0", &value), SettingsStatus::kNotFound);
    EXPECT_EQ(ReadFile(file_), before);
    EXPECT_EQ(g_saves, 0);
    // Another thread is not held back, and its change survives the batch's save.
    std::thread([&] {
      EXPECT_EQ(Store().SetValue(kKey, "other", 1, Bytes("o")), SettingsStatus::kOk);
    }).join();
  }
  EXPECT_EQ(g_saves, 2);
  EXPECT_EQ(ReadFromDisk(kKey, "b0_19").data, Bytes("x"));
  EXPECT_EQ(ReadFromDisk(kKey, "other").data, Bytes("o"));
  SettingValue value;
  EXPECT_EQ(store.QueryValue(kKey, "b0_0", &value), SettingsStatus::kNotFound);

  // A change that no longer applies when the batch is saved: nothing of the batch is saved.
  {
    platform::SettingsBatch batch(file_.string());
    ASSERT_EQ(store.SetValue(kKey, "late", 1, Bytes("l")), SettingsStatus::kOk);
    std::thread([&] { EXPECT_EQ(Store().DeleteKey(kKey), SettingsStatus::kOk); }).join();
    EXPECT_EQ(batch.Commit(), SettingsStatus::kNotFound);
  }
  EXPECT_EQ(store.OpenKey(kKey), SettingsStatus::kNotFound);
}

TEST_F(SettingsStoreTest, AProcessKilledInsideABatchLeavesTheOldFile) {
  ASSERT_EQ(Store().CreateKey(kKey), SettingsStatus::kOk);
  ASSERT_EQ(Store().SetValue(kKey, "v", 1, Bytes("old")), SettingsStatus::kOk);
  const std::string before = ReadFile(file_);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    platform::SettingsBatch batch(file_.string());
    SettingsStore store = Store();
    for (int i = 0; i < 10; ++i) store.SetValue(kKey, "v", 1, Bytes(std::to_string(i)));
    raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadFile(file_), before);
  EXPECT_EQ(Files(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(SettingsStoreTest, MakesMissingFoldersAndFindsItsDefaultFile) {
  SettingsStore deep((dir_ / "a" / "b" / "registry.reg").string());
  ASSERT_EQ(deep.CreateKey(kKey), SettingsStatus::kOk);
  EXPECT_TRUE(fs::exists(dir_ / "a" / "b" / "registry.reg"));

  std::string saved_registry = getenv("QUARL_REGISTRY") ? getenv("QUARL_REGISTRY") : "";
  std::string saved_xdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  setenv("QUARL_REGISTRY", "/somewhere/my.reg", 1);
  EXPECT_EQ(SettingsStore::DefaultFile(), "/somewhere/my.reg");
  unsetenv("QUARL_REGISTRY");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(SettingsStore::DefaultFile(), "/cfg/tessel/registry.reg");
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(SettingsStore::DefaultFile().rfind("/.config/tessel/registry.reg"),
            SettingsStore::DefaultFile().size() - 28);
  if (saved_registry.empty()) {
    unsetenv("QUARL_REGISTRY");
  } else {
    setenv("QUARL_REGISTRY", saved_registry.c_str(), 1);
  }
  if (saved_xdg.empty()) {
    unsetenv("XDG_CONFIG_HOME");
  } else {
    setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  }
}

TEST_F(SettingsStoreTest, ConcurrentWritersLoseNoValue) {
  ASSERT_EQ(Store().CreateKey(kKey), SettingsStatus::kOk);
  constexpr int kWriters = 4, kEach = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kWriters; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SettingsStore store = Store();
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        std::string name = WriterValueName('p', p, i);
        failures += store.SetValue(kKey, name, 1, Bytes(name)) != SettingsStatus::kOk;
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  // Threads of this process write alongside the other processes.
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([this, t] {
      SettingsStore store = Store();
      for (int i = 0; i < kEach; ++i) {
        std::string name = WriterValueName('t', t, i);
        EXPECT_EQ(store.SetValue(kKey, name, 1, Bytes(name)), SettingsStatus::kOk);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (auto [who, count] : {std::pair{'p', kWriters}, std::pair{'t', 2}}) {
    for (int w = 0; w < count; ++w) {
      for (int i = 0; i < kEach; ++i) {
        std::string name = WriterValueName(who, w, i);
        EXPECT_EQ(ReadFromDisk(kKey, name).data, Bytes(name));
      }
    }
  }
}

int g_ready_pipe = -1;
void PauseInsideSave(const char*) {
  char ready = 1;
  (void)!write(g_ready_pipe, &ready, 1);
  pause();
}

TEST_F(SettingsStoreTest, KilledInTheMiddleOfASaveLeavesThePreviousFile) {
  SettingsStore store = Store();
  ASSERT_EQ(store.CreateKey(kKey), SettingsStatus::kOk);
  ASSERT_EQ(store.SetValue(kKey, "v", 1, Bytes("old")), SettingsStatus::kOk);
  const std::string before = ReadFile(file_);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    g_ready_pipe = fds[1];
    platform::set_settings_save_hook(PauseInsideSave);
    Store().SetValue(kKey, "v", 1, Bytes("new"));
    _exit(0);
  }
  char ready = 0;
  ASSERT_EQ(read(fds[0], &ready, 1), 1);
  // The new file is complete beside the old one, which is still untouched.
  std::vector<std::string> files = Files();
  auto temp = std::find_if(files.begin(), files.end(), [](const std::string& f) {
    return f.find(".tmp-") != std::string::npos;
  });
  ASSERT_NE(temp, files.end());
  EXPECT_NE(ReadFile(dir_ / *temp).find("\"v\"=\"new\""), std::string::npos);
  EXPECT_EQ(ReadFile(file_), before);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  close(fds[1]);

  EXPECT_EQ(ReadFromDisk(kKey, "v").data, Bytes("old"));
  // The dead writer's lock is gone with it; the next save also clears its leftovers.
  ASSERT_EQ(store.SetValue(kKey, "v", 1, Bytes("next")), SettingsStatus::kOk);
  EXPECT_EQ(Files(), (std::vector<std::string>{"copy-0.reg", "registry.reg", "registry.reg.lock"}));
}

TEST_F(SettingsStoreTest, ReadersAndKillsAtRandomMomentsNeverMeetATornFile) {
  ASSERT_EQ(Store().CreateKey(kKey), SettingsStatus::kOk);
  std::mt19937 random(1234);
  // Large values make each save long enough to be hit in the middle.
  std::vector<uint8_t> ballast(64 * 1024, 0xab);
  for (int round = 0; round < 12; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SettingsStore store = Store();
      for (uint32_t n = 0;; ++n) {
        uint8_t bytes[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0};
        store.SetValue(kKey, "ballast", 3, ballast);
        store.SetValue(kKey, "counter" + std::to_string(round), 4, bytes);
      }
    }
    // Readers meanwhile only ever see whole files.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5 + random() % 40);
    int torn_reads = 0;
    std::string canonical;
    while (std::chrono::steady_clock::now() < until) {
      torn_reads += !platform::settings_text_normalize(ReadFile(file_), &canonical);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(torn_reads, 0) << "round " << round;
    std::string text = ReadFile(file_);
    ASSERT_TRUE(platform::settings_text_normalize(text, &canonical)) << "round " << round;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenwick\\Halvard]"), std::string::npos);
  }
}

}  // namespace
