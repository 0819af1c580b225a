// The product's fixed places: its folders and files on the user's disk, the
// files shipped beside the module, and its web page. Folders are written with
// "/" and files with "\", as the Windows shell shows them; each folder is
// spelled once here and the file paths are made from it.
#pragma once

#include <string>

namespace lumivar::places {

inline const std::string kMakerFolder = "C:/tarnwick/";
inline const std::string kWorkingFolder = kMakerFolder + "Lumivar/";
inline const std::string kTempFolder = kMakerFolder + "temp/";
inline const std::string kProductTempFolder = kTempFolder + "Lumivar/";

// A folder's file in the shell's own form: "C:/a/" and "x" give "C:\a\x".
inline std::string windows_file(const std::string& folder, const std::string& name) {
    std::string path = folder + name;
    for (char& ch : path)
        if (ch == '/') ch = '\\';
    return path;
}

inline const std::string kStarterName = "檢索專利公開號.xlsx";
inline const std::string kNoticeName = "版權宣告.pdf";
inline const std::string kUserWorkbook = windows_file(kWorkingFolder, kStarterName);
inline const std::string kLocalNotice = windows_file(kProductTempFolder, kNoticeName);
// The working folder without its last separator, as explorer takes it.
inline const std::string kWorkingFolderCommand =
    "explorer " + windows_file(kWorkingFolder.substr(0, kWorkingFolder.size() - 1), "");

// Files shipped in the module's folder: that folder, then these.
inline const std::string kShipped = "\\格式範本\\";
inline const std::string kStarterWorkbook = kShipped + kStarterName;
inline const std::string kShippedNotice = kShipped + kNoticeName;
inline const std::string kIcon = kShipped + "logo.ico";
inline const std::string kLogo = kShipped + "logo.png";
inline const std::string kTextLogo = kShipped + "logo(僅文字).png";
inline const std::string kFolderIcon = kShipped + "資料夾.png";
inline const std::string kBinIcon = kShipped + "垃圾桶.png";
inline const std::string kHelpIcon = kShipped + "問號001.png";
inline const std::string kCopyrightIcon = kShipped + "版權宣告圖示.png";
inline const std::string kSettingsIcon = kShipped + "設定.png";

// The maker's web server; scheme, port and path of the product page are fixed.
inline std::string page_address(const std::string& scheme) {
    return scheme + "://www.tarnwick.com:34008/Lumivar";
}

}  // namespace lumivar::places
