// The window's look: its sizes, paddings, colours and fonts, in one place.
// The icon buttons beside the path table line up with the table's rows,
// whose geometry is the common package's (look.hpp there).
#pragma once

#include "../common_ui/look.hpp"

namespace lumivar::look {

using namespace tarnwick::look;

// Appearance (process-wide).
inline constexpr const char* kAppearance = "dark";
inline constexpr const char* kTheme = "blue";
inline constexpr const char* kTransparent = "transparent";

// Font sizes of the window's own texts (face and weight are the house's).
inline constexpr int kTitleSize = 16;   // "Lumivar" beside the logos
inline constexpr int kMenuSize = 13;    // option menus
inline constexpr int kDialogSize = 15;  // the settings dialog's labels and button

// The boxes.
inline constexpr int kPathBoxWidth = 395, kPathBoxHeight = 110;
inline constexpr int kCommandBoxWidth = 300, kCommandBoxHeight = 110;
inline constexpr int kMessageWidth = 700, kMessageHeight = 300;
// The path table is laid over its box at this offset.
inline constexpr int kTableX = 10, kTableY = 30;

// A padding before and after a widget, along one axis.
struct Pad {
    int before;
    int after;
};

// Icon buttons: the toolbar's, and the file pickers beside the table's rows.
inline constexpr int kIconSize = 25;
inline constexpr int kBinSize = 20;
// A picker's distance from the top of the file panel: its row's, in the table.
constexpr int picker_top(int row) { return kTableY + row_top(row); }
// Across: the top band's icons 50 px apart from the left, the option menu
// under them; the file panel's bin, pickers and copyright notice.
inline constexpr Pad kHelpPad{78, 105}, kSettingsPad{128, 105}, kFolderPad{178, 55};
inline constexpr Pad kOptionMenuPad{180, 5};
inline constexpr Pad kBinPad{20, 5}, kPickerPad{10, 5}, kCopyrightPad{178, 55};

// The header band's logos.
inline constexpr int kLogoSize = 50;
inline constexpr int kTextLogoWidth = 120, kTextLogoHeight = 30;

// The output button.
inline constexpr int kOutputWidth = 140;

// The settings dialog.
inline constexpr const char* kDialogGeometry = "300x330";
inline constexpr int kDialogEntryWidth = 300, kDialogEntryHeight = 30;

// Option menus.
inline constexpr int kMenuWidth = 150, kMenuHeight = 20;
inline constexpr int kDialogMenuWidth = 50;

}  // namespace lumivar::look
