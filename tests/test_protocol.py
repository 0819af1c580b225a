"""The host's copy of the texts it shares with the window agrees with the window's own."""
from pathlib import Path

from lumivar import protocol


def test_the_host_spells_every_shared_text_as_the_window_does(gui_module):
    shared = dict(gui_module._protocol)
    assert len(shared) == 9
    assert {name: getattr(protocol, name, None) for name in shared} == shared


def test_the_host_finds_the_working_folder_where_the_window_makes_it(gui_module):
    layer = gui_module._platform
    for platform in ("win32", "cygwin", "linux", "darwin"):
        window_is_windows = layer.folder_view_command(platform) == "explorer C:\\tarnwick\\Lumivar"
        assert protocol.is_windows(platform) == window_is_windows, platform
    assert protocol.working_folder() == Path(layer.native_path("C:/tarnwick/Lumivar/"))


def test_the_shared_texts_are_the_ones_hosts_are_written_against():
    # Every other test takes these from lumivar.protocol; here they are pinned once.
    assert (protocol.REQUESTS, protocol.RECEIPTS, protocol.BUSY, protocol.END, protocol.DONE) == (
        "起始數據", "get_receipt", "get_receipt", "end", "$$$檢索報告完成$$$")
    assert protocol.REQUEST_KEYS == ("範本檔案路徑", "專利檔案路徑", "文字大小比例", "中文文字字體", "英文文字字體")
