#include <gtest/gtest.h>
#include <sonark/error_messages.h>
#include <sonark/errors.h>
#include <tarnell/errors.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Every named code of one error header, read from its source so that a code added later is
// checked too: value -> names.
void CollectCodes(const fs::path& header, std::map<uint32_t, std::set<std::string>>* codes) {
  std::ifstream in(header);
  ASSERT_TRUE(in) << header;
  // Lines of the form "constexpr uint32_t kErrName = 0x20000000;".
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string constexpr_, type, name, equals, value;
    words >> constexpr_ >> type >> name >> equals >> value;
    if (constexpr_ != "constexpr" || type != "uint32_t" || !name.starts_with("kErr")) continue;
    ASSERT_EQ(equals, "=") << line;
    (*codes)[static_cast<uint32_t>(std::stoul(value, nullptr, 16))].insert(name);
  }
}

TEST(ErrorMessages, EveryNamedCodeHasOneMeaningAndAText) {
  const fs::path root = fs::path(__FILE__).parent_path().parent_path().parent_path();
  std::map<uint32_t, std::set<std::string>> codes;
  CollectCodes(root / "sonark" / "errors.h", &codes);
  CollectCodes(root / "tarnell" / "errors.h", &codes);
  ASSERT_GT(codes.size(), 40u);
  for (const auto& [code, names] : codes) {
    if (code == tarnell::kErrApplicationBit) continue;
    // One value, one meaning: a name may be repeated by another library (out of memory).
    EXPECT_EQ(names.size(), 1u) << "0x" << std::hex << code << " is " << *names.begin() << " and "
                                << *names.rbegin();
    const char* text = sonark::ErrorMessage(code);
    EXPECT_TRUE(text != nullptr && *text != '\0') << *names.begin() << " has no message";
  }
  std::set<uint32_t> seen;
  for (const sonark::ErrorMessageEntry& entry : sonark::ErrorMessages()) {
    EXPECT_TRUE(seen.insert(entry.code).second) << "0x" << std::hex << entry.code << " twice";
    EXPECT_TRUE(codes.count(entry.code)) << "0x" << std::hex << entry.code << " is not named";
  }
  // The values other programs and files use for these meanings.
  EXPECT_EQ(sonark::kErrId3Malformed, 0x20000110u);
  EXPECT_EQ(sonark::kErrEncoderEntryPoint, 0x2000010Fu);

  EXPECT_EQ(sonark::DescribeErrorCode(sonark::kErrSoundFileMissing), "file not found");
  EXPECT_EQ(sonark::DescribeErrorCode(ENOSPC), std::strerror(ENOSPC));
  EXPECT_EQ(sonark::DescribeErrorCode(0x2000ABCD), "error 0x2000ABCD");
}

}  // namespace
