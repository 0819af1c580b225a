"""The platform layer: Windows literals as written on Windows, mapped here."""

import os

import pytest

from conftest import not_on_windows, only_on_windows


@pytest.fixture
def layer(gui_module):
    return gui_module._platform


def test_windows_keeps_every_literal_as_written(layer):
    for literal in ("C:/tarnwick/", "C:/tarnwick/Lumivar/", "C:\\tarnwick\\Lumivar\\檢索專利公開號.xlsx"):
        assert layer.native_path(literal, "win32") == literal
    assert layer.folder_view_command("win32") == "explorer C:\\tarnwick\\Lumivar"


@only_on_windows
def test_on_windows_the_literals_are_the_answers(layer, gui_module):
    assert layer.native_path("C:/tarnwick/Lumivar/") == "C:/tarnwick/Lumivar/"
    assert layer.folder_view_command() == "explorer C:\\tarnwick\\Lumivar"
    base = os.path.split(os.path.abspath(gui_module.__file__))[0]
    assert layer.resource("\\格式範本\\logo.ico") == base + "\\格式範本\\logo.ico"


@not_on_windows
def test_elsewhere_drive_c_is_the_home_folder_read_at_each_use(layer, home, monkeypatch):
    assert layer.native_path("C:/tarnwick/Lumivar/", "linux") == f"{home}/tarnwick/Lumivar/"
    assert (
        layer.native_path("C:\\tarnwick\\Lumivar\\檢索專利公開號.xlsx", "linux")
        == f"{home}/tarnwick/Lumivar/檢索專利公開號.xlsx"
    )
    other = home.parent / "other-home"
    monkeypatch.setenv("HOME", str(other))
    assert layer.native_path("C:/tarnwick/", "linux") == f"{other}/tarnwick/"
    assert layer.folder_view_command("linux") == ["xdg-open", f"{other}/tarnwick/Lumivar/"]


def test_resources_are_found_beside_the_module_file(layer, gui_module):
    base = os.path.split(os.path.abspath(gui_module.__file__))[0]
    assert layer.resource("\\格式範本\\logo.png", "win32") == base + "\\格式範本\\logo.png"
    here = layer.resource("\\格式範本\\logo(僅文字).png", "linux")
    assert here == os.path.join(base, "格式範本", "logo(僅文字).png")
    assert os.path.isfile(here)
    for name in (
        "logo.ico",
        "logo.png",
        "資料夾.png",
        "垃圾桶.png",
        "問號001.png",
        "版權宣告圖示.png",
        "設定.png",
        "檢索專利公開號.xlsx",
        "版權宣告.pdf",
    ):
        assert os.path.isfile(layer.resource("\\格式範本\\" + name)), name
