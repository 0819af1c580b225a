"""The host's copy of the texts it shares with the window agrees with the window's own."""
from lumivar import protocol


def test_the_host_spells_every_shared_text_as_the_window_does(gui_module):
    shared = dict(gui_module._protocol)
    assert len(shared) == 9
    assert {name: getattr(protocol, name, None) for name in shared} == shared
