// The texts the window shares with its host and the report worker: the keys
// of the two mappings, the request's keys, the completion marker, and what the
// window shows. lumivar/protocol.py spells the same texts for the host and the
// worker; the module exposes these as GUI._protocol, and a test compares them.
#pragma once

namespace lumivar::protocol {

// Keys of Queue_All_variable and Event_All_variable.
inline constexpr const char* kRequests = "起始數據";     // queue: requests, window to worker
inline constexpr const char* kMessages = "get_receipt";  // queue: messages, worker to window
inline constexpr const char* kBusy = "get_receipt";      // event: a report is running
inline constexpr const char* kEnd = "end";               // queue and event: the window has closed

// The report request's keys, in the order they are sent, and the parameters' defaults.
inline constexpr const char* kTemplatePath = "範本檔案路徑";
inline constexpr const char* kPatentPath = "專利檔案路徑";
inline constexpr const char* kSizeRatio = "文字大小比例";
inline constexpr const char* kCjkFont = "中文文字字體";
inline constexpr const char* kLatinFont = "英文文字字體";
inline constexpr long kDefaultRatio = 1;
inline constexpr const char* kDefaultCjkFont = "標楷體";
inline constexpr const char* kDefaultLatinFont = "Calibri";

// The worker's last message of a report.
inline constexpr const char* kMarker = "$$$檢索報告完成$$$";

// What the window shows of a run.
inline constexpr const char* kIdleLabel = "輸出檢索報告";  // also the output button's name
inline constexpr const char* kBusyLabels[] = {"輸出中.", "輸出中..", "輸出中..."};
inline constexpr const char* kHeader = "檢索專利如下:\n\n";
inline constexpr const char* kDone = "\n完成";
inline constexpr const char* kErrorLine = "button_event_001函數出現錯誤\n";

// The window's other texts.
inline constexpr const char* kTitle = "Lumivar";  // the window's title and the header band's
inline constexpr const char* kUnusedOption = "暫時用不到";
inline constexpr const char* kPickTitle = "選擇檔案";
inline constexpr const char* kSettingsTitle = "設定";
inline constexpr const char* kLatinFontLabel = "英文字體設定";
inline constexpr const char* kCjkFontLabel = "中文字體設定";
inline constexpr const char* kRatioLabel = "文字大小比例";
inline constexpr const char* kConfirmLabel = "確認";
inline constexpr const char* kFontChoices[] = {"微軟正黑體", "標楷體", "Calibri", "新細明體",
                                               "Brush Script MT"};

// What the console shows before a failure of file handling.
inline constexpr const char* kWorkbookPrefix = "檢索專利公開號.xlsx --> ";
inline constexpr const char* kNoticePrefix = "版權宣告 --> ";
inline constexpr const char* kOpenPrefix = "無法打開檔案: ";

}  // namespace lumivar::protocol
