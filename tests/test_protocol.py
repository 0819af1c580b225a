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
