#include <gtest/gtest.h>
#include <platform/last_error.h>
#include <tarnell/errors.h>
#include <tarnell/reg_key.h>
#include <tarnell/tests/temp_dir.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    const char* old = getenv("QUARL_REGISTRY");
    saved_ = old ? old : "";
    setenv("QUARL_REGISTRY", File().c_str(), 1);
  }
  void TearDown() override {
    if (saved_.empty()) {
      unsetenv("QUARL_REGISTRY");
    } else {
      setenv("QUARL_REGISTRY", saved_.c_str(), 1);
    }
  }
  std::string File() const { return dir_.File("registry.reg"); }

  // The program's own key, each level opened or created in turn.
  CRegKey* OpenHalvard() {
    CRegKey machine;
    CRegKey* software = machine.CreateSubKey("SOFTWARE");
    CRegKey* brenwick = software ? software->CreateSubKey("Brenwick") : nullptr;
    CRegKey* halvard = brenwick ? brenwick->CreateSubKey("Halvard") : nullptr;
    DeleteRegKey(&software);
    DeleteRegKey(&brenwick);
    return halvard;
  }

  TempDir dir_;
  std::string saved_;
};

TEST_F(RegKeyTest, DefaultKeyIsTheMachineRootOfTheSettingsFile) {
  CRegKey machine;
  EXPECT_EQ(machine.Key().store, File());
  EXPECT_EQ(machine.Key().path, "HKEY_LOCAL_MACHINE");
  CRegKey* key = OpenHalvard();
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->Key().path, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brenwick\\Halvard");
  DeleteRegKey(&key);
  EXPECT_EQ(key, nullptr);
}

TEST_F(RegKeyTest, ValuesComeBackThroughAnotherOwner) {
  CRegKey* writer = OpenHalvard();
  ASSERT_NE(writer, nullptr);
  char dir[] = "/home/me/sessions";
  char* copy = nullptr;
  ASSERT_EQ(writer->SetKeyString("LastGroupDir", dir), 1);
  EXPECT_EQ(writer->SetKeyNum("LastWinMaxState", 1), 1);
  const int32_t rect[4] = {-2, -2, -1, -1};
  EXPECT_EQ(writer->SetKeyData("LastWinRect", rect, sizeof rect), 1);
  EXPECT_EQ(writer->SetKeyNum("Negative", static_cast<unsigned long>(-2L)), 1);
  DeleteRegKey(&writer);

  CRegKey machine;
  CRegKey* reader = machine.GetSubKey("software\\brenwick\\HALVARD");
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->SubKeyExists("LastGroupDir"), 1);
  EXPECT_EQ(reader->SubKeyExists("NeverWritten"), 0);
  copy = reader->GetKeyString("LastGroupDir");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, dir);
  EXPECT_NE(copy, dir);
  EXPECT_EQ(reader->GetKeyNum("LastWinMaxState"), 1ul);
  EXPECT_EQ(static_cast<int32_t>(reader->GetKeyNum("Negative")), -2);
  unsigned long size = 0;
  char* data = reader->GetKeyData("LastWinRect", &size);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(size, sizeof rect);
  EXPECT_EQ(memcmp(data, rect, sizeof rect), 0);
  // A number is four bytes; a 16-byte record is no number.
  EXPECT_EQ(reader->GetKeyNum("LastWinRect"), 0ul);
  DeleteRegKey(&reader);
}

TEST_F(RegKeyTest, MissingAndEmptyValuesGiveNullOrZero) {
  CRegKey* key = OpenHalvard();
  ASSERT_NE(key, nullptr);
  platform::clear_last_error();
  EXPECT_EQ(key->GetKeyString("Missing"), nullptr);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegNotFound);
  EXPECT_EQ(key->GetKeyNum("Missing"), 0ul);
  unsigned long size = 99;
  EXPECT_EQ(key->GetKeyData("Missing", &size), nullptr);
  EXPECT_EQ(size, 0ul);

  ASSERT_EQ(key->SetKeyString("Empty", const_cast<char*>("")), 1);
  EXPECT_EQ(key->SubKeyExists("Empty"), 1);
  EXPECT_EQ(key->GetKeyString("Empty"), nullptr);
  EXPECT_EQ(key->SetKeyString("Null", nullptr), 0);
  EXPECT_EQ(key->SetKeyData("Null", nullptr, 4), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegInvalid);
  // Numbers wider than 32 bits would come back changed; they are refused.
  EXPECT_EQ(key->SetKeyNum("Wide", 1ul << 40), 0);
  EXPECT_EQ(key->SubKeyExists("Wide"), 0);

  CRegKey machine;
  EXPECT_EQ(machine.GetSubKey("SOFTWARE\\Nobody"), nullptr);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegNotFound);
  DeleteRegKey(&key);
}

TEST_F(RegKeyTest, EnumeratesAndRefusesNamesThatDoNotFit) {
  CRegKey* key = OpenHalvard();
  ASSERT_NE(key, nullptr);
  for (const char* sub : {"PresetList", "Devices"}) {
    CRegKey* made = key->CreateSubKey(sub);
    ASSERT_NE(made, nullptr);
    DeleteRegKey(&made);
  }
  key->SetKeyNum("ConvertToBitrate", 128);
  key->SetKeyNum("ConvertToChannels", 2);

  char name[64];
  std::string subkeys, values;
  for (unsigned long i = 0; key->EnumerateSubKeys(i, name, sizeof name); ++i)
    subkeys += name + std::string(";");
  for (unsigned long i = 0; key->EnumerateValues(i, name, sizeof name); ++i)
    values += name + std::string(";");
  EXPECT_EQ(subkeys, "Devices;PresetList;");
  EXPECT_EQ(values, "ConvertToBitrate;ConvertToChannels;");

  char tiny[8];
  EXPECT_EQ(key->EnumerateSubKeys(0, tiny, sizeof tiny), 1);  // "Devices" just fits with its NUL
  platform::clear_last_error();
  EXPECT_EQ(key->EnumerateSubKeys(1, tiny, sizeof tiny), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegBufferTooSmall);
  DeleteRegKey(&key);
}

TEST_F(RegKeyTest, DeletesSubkeysAndValues) {
  CRegKey* key = OpenHalvard();
  ASSERT_NE(key, nullptr);
  for (const char* sub : {"A\\Deep\\Deeper", "B", "C"}) {
    CRegKey* made = key->CreateSubKey(sub);
    ASSERT_NE(made, nullptr);
    DeleteRegKey(&made);
  }
  key->SetKeyNum("Kept", 7);
  EXPECT_EQ(key->DeleteSubKeys("B"), 1);
  EXPECT_EQ(key->DeleteSubKeys("B"), 0);
  EXPECT_EQ(key->DeleteSubKeys(""), 0);  // would be the key itself
  char name[64];
  ASSERT_EQ(key->EnumerateSubKeys(1, name, sizeof name), 1);
  EXPECT_STREQ(name, "C");

  EXPECT_EQ(key->DeleteSubKeys(nullptr), 1);
  EXPECT_EQ(key->EnumerateSubKeys(0, name, sizeof name), 0);
  EXPECT_EQ(key->GetKeyNum("Kept"), 7ul);
  key->DeleteRegValue("Kept");
  EXPECT_EQ(key->SubKeyExists("Kept"), 0);

  // An owner whose key was deleted under it fails instead of bringing the key back.
  CRegKey* child = key->CreateSubKey("Gone");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(key->DeleteSubKeys("Gone"), 1);
  platform::clear_last_error();
  EXPECT_EQ(child->SetKeyNum("x", 1), 0);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegNotFound);
  DeleteRegKey(&child);
  DeleteRegKey(&key);
}

TEST_F(RegKeyTest, DamagedSettingsAreReportedOnceAndSetAside) {
  { std::ofstream(File()) << "this is no settings file\n"; }
  CRegKey machine;
  platform::clear_last_error();
  EXPECT_EQ(machine.CreateSubKey("SOFTWARE"), nullptr);
  EXPECT_EQ(platform::last_error(), tarnell::kErrRegDamaged);
  // The program then starts from its defaults and can save them.
  CRegKey* key = OpenHalvard();
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->SetKeyNum("LastWinMaxState", 0), 1);
  DeleteRegKey(&key);
}

}  // namespace
