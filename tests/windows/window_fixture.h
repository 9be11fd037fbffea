#pragma once
// A main window over a scratch folder: satellites copied into its own
// lang/ (all four, or the ones a test names), the user's locale fixed, the
// dialogs scripted and the product name read from a file of the test's.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <gtest/gtest.h>

#include "localisation/satellite_file.h"
#include "localisation/satellite_localization.h"
#include "scripted_dialogs.h"
#include "tests/support/test_support.h"
#include "windows/frm_main.h"

namespace varnolt::windows::test {

namespace fs = std::filesystem;

inline QString q(const fs::path& p) { return QString::fromStdString(p.string()); }

inline localisation::EnvironmentLookup localeOf(std::string locale) {
  return [locale](const std::string& name) -> std::optional<std::string> {
    if (name == "LANG") return locale;
    return std::nullopt;
  };
}

// The text a satellite holds for id, after the character pairs of its
// language.
inline QString satelliteText(const std::string& code, std::int32_t id) {
  const auto texts = localisation::ReadSatelliteFile(varnolt::test::sourceDir() / "lang" /
                                                     localisation::SatelliteProgID(code));
  return QString::fromStdString(localisation::ApplyCharacterPairs(texts.at(id), code == "407", code == "C0A"));
}

class WindowFixture : public ::testing::Test {
 protected:
  void SetUp() override { makeWindow({"407", "409", "40C", "C0A"}, "en_US.UTF-8"); }

  void makeWindow(const std::vector<std::string>& satellites, const std::string& locale,
                  RunServices services = RunServices{}) {
    window.reset();
    texts.reset();
    fs::remove_all(dir / "lang");
    fs::create_directories(dir / "lang");
    for (const auto& code : satellites) {
      const std::string name = localisation::SatelliteProgID(code);
      fs::copy_file(varnolt::test::sourceDir() / "lang" / name, dir / "lang" / name);
    }
    varnolt::test::writeFile(dir / "os-release", std::string("PRETTY_NAME=\"Windows Vista (TM) Ultimate\"\n"));
    if (services.productKeyFiles == platform::DefaultOsReleaseFiles()) services.productKeyFiles = {dir / "os-release"};
    // An empty locale: the process's own environment, as at a real start.
    texts = std::make_unique<localisation::SatelliteLocalization>(
        nullptr, std::vector<fs::path>{dir / "lang"},
        locale.empty() ? localisation::SystemEnvironment() : localeOf(locale));
    window = std::make_unique<frmMain>(*texts, std::move(services));
    window->SetHelpFiles({q(dir / "no help here" / "Help.chm")});
    window->Load();
  }

  // A PST file (any content) in the scratch folder.
  QString pst(const std::string& relative) {
    const fs::path p = dir / relative;
    fs::create_directories(p.parent_path());
    varnolt::test::writeFile(p, std::string("!BDN"));
    return q(p);
  }

  // Adds a file through Add File, as a user would.
  void addFile(const QString& path) {
    dialogs.files.push_back(path);
    window->CmdAddFile_Click();
  }

  varnolt::test::TempDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<localisation::SatelliteLocalization> texts;
  std::unique_ptr<frmMain> window;
};

}  // namespace varnolt::windows::test
