"""The report parameters and their defaults."""

from lumivar import protocol


def test_defaults_keys_order_and_exact_types(gui_module):
    pp = gui_module.Parameters()
    items = list(pp.parameters.items())
    assert items == [
        ("顯示免用統一發票章", False),
        ("顯示負責人章", False),
        ("顯示日期", True),
        (protocol.SIZE_RATIO, 1),
        (protocol.CJK_FONT, "標楷體"),
        (protocol.LATIN_FONT, "Calibri"),
    ]
    assert [type(v) for _, v in items] == [bool, bool, bool, int, str, str]
    assert type(pp.parameters) is dict


def test_each_instance_owns_its_dictionary(gui_module):
    a, b = gui_module.Parameters(), gui_module.Parameters()
    a.parameters[protocol.SIZE_RATIO] = 1.5
    assert b.parameters[protocol.SIZE_RATIO] == 1
    assert gui_module.Parameters.__bases__ == (object,)
