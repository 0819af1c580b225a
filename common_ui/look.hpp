// The maker's house look, shared by the common package and the windows built
// with it: the face of every label and button, the panel colour, and the rows
// of Set_Table, which a window lines its icon buttons up with.
#pragma once

namespace tarnwick::look {

inline constexpr const char* kFontFamily = "Microsoft JhengHei";
inline constexpr const char* kFontWeight = "bold";
inline constexpr int kFontSize = 13;

// The dark theme's panel colour, behind buttons that sit on a panel.
inline constexpr const char* kPanelColour = "#2b2b2b";

// Set_Table: a label from kLabelLeft (room for one 30 px icon button a row
// left of it), then the entry; rows kRowHeight high with kRowGap above and
// below, the first kFirstRowTop from the top; a row stays within kRowWidth.
inline constexpr int kLabelLeft = 40;
inline constexpr int kLabelGap = 6;
inline constexpr int kRowWidth = 380;
inline constexpr int kRowHeight = 28;
inline constexpr int kFirstRowTop = 8;
inline constexpr int kRowGap = 3;
inline constexpr int kMinEntryWidth = 120;
inline constexpr int kMaxEntryWidth = 260;

// The top of a row's label and entry, from the top of the table's frame.
constexpr int row_top(int row) { return kFirstRowTop + row * (kRowHeight + 2 * kRowGap); }

}  // namespace tarnwick::look
