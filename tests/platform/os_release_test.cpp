// The product name of the running system, through the same key on every
// system: the registry on Windows, os-release elsewhere.

#include "platform/os_release.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace varnolt::platform {
namespace {

TEST(SystemProductName, ComesFromTheSystemsOwnKey) {
#ifdef _WIN32
  ASSERT_TRUE(DefaultOsReleaseFiles().empty());
  const auto key = OpenProductKey();
  ASSERT_TRUE(key.has_value()) << "the registry's CurrentVersion key cannot be opened";
  ASSERT_NE(key->Find("ProductName"), nullptr);
  const std::string product = ReadRegistryString(*key, "ProductName");
  EXPECT_NE(product, kRegistryError);
  EXPECT_NE(product.find("Windows"), std::string::npos) << product;
  EXPECT_EQ(product, *key->Find("ProductName"));
#else
  std::error_code ec;
  bool anyFile = false;
  for (const auto& file : DefaultOsReleaseFiles()) anyFile = anyFile || std::filesystem::is_regular_file(file, ec);
  if (!anyFile) GTEST_SKIP() << "this system has no os-release file";
  const auto key = OpenProductKey();
  ASSERT_TRUE(key.has_value());
  EXPECT_NE(ReadRegistryString(*key, "ProductName"), kRegistryError);
#endif
}

TEST(SystemProductName, NamedFilesAreReadOnEverySystem) {
  test::TempDir dir;
  test::writeFile(dir / "os-release", std::string("NAME=\"Example OS\"\nPRETTY_NAME=\"Example OS 9 (Élan)\"\n"));
  const auto key = OpenProductKey({dir / "missing", dir / "os-release"});
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(ReadRegistryString(*key, "ProductName"), "Example OS 9 (Élan)");
  // The registry's own value, where a key has one, comes before a pretty name.
  const RegistryKey both({{"ProductName", "Windows 10 Pro"}, {"PRETTY_NAME", "other"}});
  EXPECT_EQ(ReadRegistryString(both, "ProductName"), "Windows 10 Pro");
}

}  // namespace
}  // namespace varnolt::platform
