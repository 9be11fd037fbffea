#include "localisation/english_texts.h"

#include <algorithm>
#include <string_view>

namespace varnolt::localisation {

namespace {

struct Entry {
  std::int32_t id;
  std::string_view text;
};

// In captions "&" marks the access key and "&&" shows one ampersand.
constexpr Entry kEnglish[] = {
    {101, "Select outlook pst file(s) to compress :"},
    {102, "Add File"},
    {103, "Add Folder"},
    {104, "Remove"},
    {105, "Select folder to save compressed pst file :"},
    {106, "Browse"},
    {107, "Compress PST >>"},
    {108, "File Name"},
    {110, "&File"},
    {111, "E&xit"},
    {112, "Help"},
    {113, "Contents"},
    {114, "About..."},
    {115, "Copyright \u00A9 2026 Kestrik. All rights reserved. www.kestrik.example/varnolt"},
    {116, "Remove Attachments"},
    {117, "Extract && Save Attachments"},
    {118, "Extract, Save && Compress Attachments"},
    {119, "Compress"},
    {120, " Compression Options"},
    {121, "Compress PST"},
    {122, "PST File Name :"},
    {123, "Folder Name :"},
    {124, "Mails # :"},
    {125, "Attachments # :"},
    {126, "OK"},
    {127, "Progress Report"},
    {129, "Kestrik Varnolt v1.0"},
    {130, kProductWebAddress},
    {131, kProductCopyright},
    {132, "&OK"},
    {133, " About"},
    {134, "removing"},
    {135, "Saving"},
    {137, "Compress Successfully!!!"},
    {138, ""},
    {139, " File is already selected "},
    {140, "The selected Folder doesn't contain PST File"},
    {141, "Folder is already selected "},
    {142, "Select a PST file"},
    {143, "Select a PST File Folder"},
    {144, "&Options"},
    {145, "Languages"},
    {146, "English"},
    {147, "French"},
    {148, "German"},
    {149, "Spanish"},
    // The end of a run in which some steps failed.
    {150, "Compress finished with errors"},
    {151, "Failed steps :"},
    // The options window's button and message that list the failed steps.
    {152, "Failed steps..."},
    {153, "Steps of the run that failed :"},
    // The results of a run, PST by PST, and its failed steps as a table.
    {170, "Results..."},
    {171, "Run results"},
    {172, "PST file"},
    {173, "Run folder"},
    {174, "Messages copied"},
    {175, "Attachments taken out"},
    {176, "Failed steps"},
    {177, "Open Run Folder"},
    {178, "Folder"},
    {179, "Message"},
    {180, "Attachment"},
    {181, "Step"},
    {182, "Reason"},
    {183, "Copy"},
    // The tagline under the name in the main window's banner.
    {184, "Smaller Outlook PST files:\nattachments out, links in"},
    {185, "Report of every attachment:"},
};

}  // namespace

const std::vector<std::int32_t>& LocalizedTextIds() {
  static const std::vector<std::int32_t> ids = [] {
    std::vector<std::int32_t> all;
    for (const Entry& entry : kEnglish) all.push_back(entry.id);
    std::sort(all.begin(), all.end());
    return all;
  }();
  return ids;
}

std::optional<std::string> EnglishText(std::int32_t id) {
  for (const Entry& entry : kEnglish)
    if (entry.id == id) return std::string(entry.text);
  return std::nullopt;
}

}  // namespace varnolt::localisation
