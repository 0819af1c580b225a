"""The host's copy of the texts it shares with the window agrees with the window's own."""

from pathlib import Path

from lumivar import protocol


def test_the_host_spells_every_shared_text_as_the_window_does(gui_module):
    shared = {name: text for name, text in gui_module._protocol.items() if name != "WINDOW"}
    assert len(shared) == 9
    assert {name: getattr(protocol, name, None) for name in shared} == shared


def test_the_window_texts_are_the_ones_users_know(gui_module):
    # Every other test reads these from GUI._protocol["WINDOW"]; here they are pinned once.
    assert dict(gui_module._protocol["WINDOW"]) == {
        "IDLE_LABEL": "輸出檢索報告",
        "BUSY_LABELS": ("輸出中.", "輸出中..", "輸出中..."),
        "HEADER": "檢索專利如下:\n\n",
        "DONE_LINE": "\n完成",
        "ERROR_LINE": "button_event_001函數出現錯誤\n",
        "TITLE": "Lumivar",
        "UNUSED_OPTION": "暫時用不到",
        "PICK_TITLE": "選擇檔案",
        "SETTINGS_TITLE": "設定",
        "LATIN_FONT_LABEL": "英文字體設定",
        "CJK_FONT_LABEL": "中文字體設定",
        "RATIO_LABEL": "文字大小比例",
        "CONFIRM_LABEL": "確認",
        "FONT_CHOICES": ("微軟正黑體", "標楷體", "Calibri", "新細明體", "Brush Script MT"),
        "WORKBOOK_PREFIX": "檢索專利公開號.xlsx --> ",
        "NOTICE_PREFIX": "版權宣告 --> ",
        "OPEN_PREFIX": "無法打開檔案: ",
    }


def test_the_host_finds_the_working_folder_where_the_window_makes_it(gui_module):
    layer = gui_module._platform
    for platform in ("win32", "cygwin", "linux", "darwin"):
        window_is_windows = layer.folder_view_command(platform) == "explorer C:\\tarnwick\\Lumivar"
        assert protocol.is_windows(platform) == window_is_windows, platform
    assert protocol.working_folder() == Path(layer.native_path("C:/tarnwick/Lumivar/"))


def test_the_shared_texts_are_the_ones_hosts_are_written_against():
    # Every other test takes these from lumivar.protocol; here they are pinned once.
    assert (protocol.REQUESTS, protocol.RECEIPTS, protocol.BUSY, protocol.END, protocol.DONE) == (
        "起始數據",
        "get_receipt",
        "get_receipt",
        "end",
        "$$$檢索報告完成$$$",
    )
    assert protocol.REQUEST_KEYS == ("範本檔案路徑", "專利檔案路徑", "文字大小比例", "中文文字字體", "英文文字字體")
