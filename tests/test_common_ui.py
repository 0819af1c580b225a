"""The common widget package: tables, buttons, the handler wrapper, the calendar."""

import calendar as pycalendar
import datetime
import gc
import logging
import os
import sys
import weakref

import customtkinter
import pytest
from hypothesis import given
from hypothesis import strategies as st
from PIL import Image
from tarnwick通用模組 import Customtkinter_Model, Try_Except_Model

from support import pump

W = Customtkinter_Model()
try_except_log = Try_Except_Model().try_except_log


def centre_y(widget):
    return widget.winfo_y() + widget.winfo_height() / 2


def box_of(widget, origin):
    """The widget's rectangle relative to `origin` (an ancestor)."""
    x = widget.winfo_rootx() - origin.winfo_rootx()
    y = widget.winfo_rooty() - origin.winfo_rooty()
    return x, y, x + widget.winfo_width(), y + widget.winfo_height()


def pads(value):
    """grid_info's padx/pady as a tuple of ints (Tk may give a tuple or a string)."""
    parts = value if isinstance(value, tuple) else str(value).split()
    return tuple(int(v) for v in parts)


def overlaps(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


@pytest.fixture
def icon(tmp_path):
    path = tmp_path / "資料夾.png"
    Image.new("RGBA", (64, 48), (200, 120, 0, 255)).save(path)
    return path


# ---------------------------------------------------------------- package


def test_models_expose_the_component_classes():
    for name in ("Set_Table", "Set_Button", "Entry_Table", "CTkCalendar"):
        assert isinstance(getattr(W, name), type), name
    assert W.Set_Table is Customtkinter_Model().Set_Table
    assert callable(Try_Except_Model().try_except_log)


# ---------------------------------------------------------------- Set_Table


def test_table_rows_hold_text_by_name(ctk_root):
    frame = customtkinter.CTkFrame(ctk_root)
    table = W.Set_Table(frame)
    table.add_entry_name("檢索資料夾")
    table.add_entry_name("輸出路徑")
    assert table.names == ["檢索資料夾", "輸出路徑"]
    assert isinstance(table.entry("輸出路徑"), customtkinter.CTkEntry)
    assert table.label("檢索資料夾").cget("text") == "檢索資料夾"
    assert table.label("檢索資料夾").cget("fg_color") == "transparent"
    assert table.entry("檢索資料夾").cget("height") == 28

    table.set("檢索資料夾", "C:/案件/一")
    table.set("輸出路徑", "D:/out")
    table.set("檢索資料夾", "C:/案件/二")  # replaces, does not append
    assert (table.get("檢索資料夾"), table.get("輸出路徑")) == ("C:/案件/二", "D:/out")
    assert table.entry("輸出路徑").get() == "D:/out"

    table.delete_all()
    assert (table.get("檢索資料夾"), table.get("輸出路徑")) == ("", "")
    table.set("輸出路徑", "again")
    assert table.get("輸出路徑") == "again"


def test_table_rejects_duplicates_and_unknown_names(ctk_root):
    table = W.Set_Table(customtkinter.CTkFrame(ctk_root))
    table.add_entry_name("路徑")
    with pytest.raises(ValueError, match="路徑"):
        table.add_entry_name("路徑")
    assert table.names == ["路徑"]
    for call in (lambda: table.get("沒有"), lambda: table.set("沒有", "x")):
        with pytest.raises(KeyError, match="沒有"):
            call()
    with pytest.raises(TypeError):
        table.add_entry_name(5)


def test_table_rows_leave_room_for_the_icon_buttons(ctk_root):
    # The window's box: the table at (10, 30), two icon buttons gridded over it.
    box = customtkinter.CTkFrame(ctk_root, width=395, height=110)
    box.grid(row=0, column=0)
    box.grid_propagate(False)
    frame = customtkinter.CTkFrame(box)
    frame.place(x=10, y=30)
    table = W.Set_Table(frame)
    for name in ("檢索報告資料夾", "輸出路徑"):
        table.add_entry_name(name)
    buttons = W.Set_Button()
    for top in (38, 72):
        buttons.add_button(
            box,
            image_path=None,
            text="",
            size=(25, 25),
            padx=(10, 5),
            pady=(top, 5),
            row=0,
            column=0,
            fg_color="#2b2b2b",
            corner_radius=0,
        )
    pump(ctk_root, 50)

    first, second = (table.label(n) for n in table.names)
    assert abs(centre_y(first) - 22) <= 2 and abs(centre_y(second) - 56) <= 2
    for name in table.names:
        label, entry = table.label(name), table.entry(name)
        assert label.winfo_x() >= 38
        assert abs(centre_y(entry) - centre_y(label)) <= 1
        assert entry.winfo_x() >= label.winfo_x() + label.winfo_width()
        assert entry.winfo_x() + entry.winfo_width() <= 385
    icons = [w for w in box.grid_slaves() if isinstance(w, customtkinter.CTkButton)]
    assert len(icons) == 2
    for icon_button in icons:
        for name in table.names:
            for widget in (table.label(name), table.entry(name)):
                assert not overlaps(box_of(icon_button, box), box_of(widget, box))


# ---------------------------------------------------------------- Set_Button


def test_a_callback_that_adds_rows_leaves_the_table_sound(ctk_root):
    # The table must not hold on to its own storage while Python runs: here
    # an entry's delete adds enough rows to make the table move them.
    table = W.Set_Table(customtkinter.CTkFrame(ctk_root))
    table.add_entry_name("甲")
    entry = table.entry("甲")

    def delete(*args):
        del entry.delete
        for i in range(40):
            table.add_entry_name(f"列{i}")
        return entry.delete(*args)

    entry.delete = delete
    table.set("甲", "新的")
    assert table.get("甲") == "新的" and len(table) == 41


def test_button_options_reach_the_ctkbutton(ctk_root, icon):
    frame = customtkinter.CTkFrame(ctk_root)
    clicks = []
    buttons = W.Set_Button()
    result = buttons.add_button(
        frame,
        button_name="開啟",
        image_path=str(icon),
        button_event=lambda: clicks.append(1),
        size=(25, 25),
        padx=(10, 5),
        pady=(38, 5),
        row=1,
        column=2,
        text="開",
        fg_color="#2b2b2b",
        corner_radius=0,
        hover_color="#444444",
    )
    assert result is None
    button = buttons.button("開啟")
    assert isinstance(button, customtkinter.CTkButton)
    assert buttons.cget("開啟", "text") == "開"
    assert buttons.cget("開啟", "width") == 30
    assert buttons.cget("開啟", "fg_color") == "#2b2b2b"
    assert buttons.cget("開啟", "corner_radius") == 0
    assert buttons.cget("開啟", "hover_color") == "#444444"
    font = buttons.cget("開啟", "font")
    assert (font.cget("family"), font.cget("size"), font.cget("weight")) == ("Microsoft JhengHei", 13, "bold")
    image = buttons.cget("開啟", "image")
    assert isinstance(image, customtkinter.CTkImage) and image.cget("size") == (25, 25)
    assert image.cget("light_image").size == (64, 48)
    if sys.platform.startswith("linux"):  # the icon was read whole, its file closed
        open_files = {os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")}
        assert os.path.realpath(icon) not in open_files
    info = button.grid_info()
    assert (int(info["row"]), int(info["column"]), info["sticky"]) == (1, 2, "nw")
    assert (pads(info["padx"]), pads(info["pady"])) == ((10, 5), (38, 5))

    button.invoke()
    assert clicks == [1]
    buttons.configure("開啟", text="關", state="disabled")
    assert buttons.cget("開啟", "text") == "關"
    button.invoke()
    assert clicks == [1]


def test_button_defaults_come_from_the_toolkit(ctk_root):
    buttons = W.Set_Button()
    buttons.add_button(ctk_root, button_name="plain")
    theme = customtkinter.ThemeManager.theme["CTkButton"]
    assert buttons.cget("plain", "fg_color") == theme["fg_color"]
    assert buttons.cget("plain", "corner_radius") == theme["corner_radius"]
    assert buttons.cget("plain", "text") == ""
    assert buttons.cget("plain", "image") is None
    info = buttons.button("plain").grid_info()
    assert (info["sticky"], pads(info["padx"]), pads(info["pady"])) == ("nw", (5,), (5,))


def test_button_errors_leave_no_widget(ctk_root, tmp_path):
    frame = customtkinter.CTkFrame(ctk_root)
    buttons = W.Set_Button()
    with pytest.raises(FileNotFoundError):
        buttons.add_button(frame, button_name="x", image_path=str(tmp_path / "無.png"))
    with pytest.raises(TypeError, match="size"):
        buttons.add_button(frame, size=(2.5, 3))
    with pytest.raises(ValueError, match="size"):
        buttons.add_button(frame, size=(0, 3))
    with pytest.raises(Exception, match="sticky|bad"):
        buttons.add_button(frame, sticky="diagonal")
    assert frame.winfo_children() == [] and buttons.names == []
    with pytest.raises(KeyError, match="x"):
        buttons.cget("x", "text")
    with pytest.raises(KeyError, match="y"):
        buttons.configure("y", text="t")
    buttons.add_button(frame, button_name="x")
    with pytest.raises(ValueError, match="x"):
        buttons.add_button(frame, button_name="x")
    assert len(frame.winfo_children()) == 1


def test_output_button_is_centred_in_its_frame(ctk_root):
    outer = customtkinter.CTkFrame(ctk_root)
    outer.grid(row=0, column=0)
    customtkinter.CTkFrame(outer, width=300, height=110).grid(row=0, column=0)
    buttons = W.Set_Button()
    buttons.add_button(
        outer,
        button_event=lambda: None,
        button_name="輸出檢索報告",
        text="輸出檢索報告",
        size=(25, 25),
        padx=50,
        pady=10,
        sticky="",
        width=140,
    )
    pump(ctk_root, 50)
    button = buttons.button("輸出檢索報告")
    assert button.winfo_width() == 140
    assert abs(button.winfo_x() + button.winfo_width() / 2 - 150) <= 3
    assert abs(centre_y(button) - 55) <= 3


# ---------------------------------------------------------------- try_except_log


def test_wrapper_forwards_arguments_and_result():
    calls = []

    def handler(a, b=0, *, c):
        calls.append((a, b, c))
        return a + b + c

    wrapped = try_except_log(handler)
    assert wrapped(1, b=2, c=3) == 6
    assert wrapped(1, c=1) == 2
    assert calls == [(1, 2, 3), (1, 0, 1)]
    assert wrapped.__wrapped__ is handler
    with pytest.raises(TypeError):
        try_except_log(42)


def test_wrapper_logs_failures_with_traceback(caplog):
    calls = []

    def broken_handler():
        calls.append(1)
        raise ValueError("壞了")

    with caplog.at_level(logging.ERROR, logger="tarnwick通用模組"):
        assert try_except_log(broken_handler)() is None
    assert calls == [1]
    [record] = caplog.records
    assert record.name == "tarnwick通用模組" and record.levelno == logging.ERROR
    assert "broken_handler" in record.getMessage()
    assert record.exc_info[0] is ValueError and str(record.exc_info[1]) == "壞了"
    assert "Traceback" in caplog.text and 'raise ValueError("壞了")' in caplog.text

    class Nameless:  # no __qualname__ on the instance: named by its repr
        def __call__(self):
            raise KeyError("k")

        def __repr__(self):
            return "<the handler>"

    caplog.clear()
    with caplog.at_level(logging.ERROR, logger="tarnwick通用模組"):
        try_except_log(Nameless())()
    assert "<the handler>" in caplog.records[0].getMessage()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_wrapper_lets_non_exceptions_through(exc, caplog):
    def handler():
        raise exc()

    with caplog.at_level(logging.ERROR, logger="tarnwick通用模組"):
        with pytest.raises(exc):
            try_except_log(handler)()
    assert caplog.records == []


def test_wrapper_binds_as_a_method(caplog):
    class Window:
        value = 7
        on_click = try_except_log(lambda self, n: self.value * n)
        on_fail = try_except_log(lambda self: 1 / 0)

    assert Window().on_click(3) == 21
    with caplog.at_level(logging.ERROR, logger="tarnwick通用模組"):
        assert Window().on_fail() is None
    assert caplog.records[0].exc_info[0] is ZeroDivisionError


def test_wrapper_cycle_is_collected():
    def make():
        holder = {}

        def handler():
            return holder["wrapped"]

        holder["wrapped"] = try_except_log(handler)
        return weakref.ref(holder["wrapped"]), weakref.ref(handler)

    wrapper_ref, handler_ref = make()
    gc.collect()
    assert wrapper_ref() is None and handler_ref() is None


# ---------------------------------------------------------------- Entry_Table


def test_entry_table_cells(ctk_root):
    table = W.Entry_Table(ctk_root, ["編號", "名稱"], rows=2)
    table.grid(row=0, column=0)
    assert table.frame.winfo_manager() == "grid"
    assert (table.rows, table.columns, table.headers) == (2, 2, ["編號", "名稱"])
    texts = [w.cget("text") for w in table.frame.grid_slaves(row=0)]
    assert sorted(texts) == sorted(["編號", "名稱"])
    table.set(0, 0, "1")
    table.set(1, 1, "乙")
    table.set(-1, 0, "2")
    assert table.get(1, -1) == "乙"
    assert table.get_all() == [["1", ""], ["2", "乙"]]
    assert table.add_row() == 2
    assert table.get_all()[-1] == ["", ""]
    assert int(table.cell(2, 1).grid_info()["row"]) == 3
    table.clear()
    assert table.get_all() == [["", ""]] * 3


def test_entry_table_errors(ctk_root):
    table = W.Entry_Table(ctk_root, ["A"])
    assert table.rows == 1
    for row, column in ((1, 0), (0, 1), (-2, 0)):
        with pytest.raises(IndexError):
            table.get(row, column)
        with pytest.raises(IndexError):
            table.set(row, column, "x")
    with pytest.raises(ValueError):
        W.Entry_Table(ctk_root, [])
    with pytest.raises(ValueError):
        W.Entry_Table(ctk_root, ["A"], rows=-1)
    with pytest.raises(TypeError):
        W.Entry_Table(ctk_root, "AB")
    table.pack()
    assert table.frame.winfo_manager() == "pack"


# ---------------------------------------------------------------- CTkCalendar


@given(st.integers(1, 9999), st.integers(1, 12))
def test_calendar_arithmetic_matches_python(year, month):
    first, days = pycalendar.monthrange(year, month)
    assert W.CTkCalendar.days_in_month(year, month) == days
    assert W.CTkCalendar.first_weekday(year, month) == first
    assert W.CTkCalendar.is_leap(year) == pycalendar.isleap(year)


def test_calendar_arithmetic_rejects_bad_months():
    for year, month in ((2024, 0), (2024, 13), (0, 1), (10000, 1)):
        with pytest.raises(ValueError):
            W.CTkCalendar.days_in_month(year, month)


@pytest.mark.parametrize("year, days", [(2024, 29), (2023, 28), (2000, 29), (1900, 28)])
def test_february_day_buttons(ctk_root, year, days):
    cal = W.CTkCalendar(ctk_root, year, 2)
    buttons = cal.day_buttons
    assert [b.cget("text") for b in buttons] == [str(d) for d in range(1, days + 1)]
    first = datetime.date(year, 2, 1).weekday()
    assert int(buttons[0].grid_info()["column"]) == first
    last = buttons[-1].grid_info()
    assert int(last["column"]) == datetime.date(year, 2, days).weekday()
    assert int(last["row"]) == 2 + (first + days - 1) // 7


def test_calendar_months_wrap_over_years(ctk_root):
    cal = W.CTkCalendar(ctk_root, 2023, 12)
    cal.grid(row=0, column=0)
    assert cal.frame.winfo_manager() == "grid"
    cal.next_month()
    assert (cal.year, cal.month, cal.title) == (2024, 1, "2024-01")
    assert len(cal.day_buttons) == 31
    cal.prev_month()
    cal.prev_month()
    assert (cal.year, cal.month, cal.title) == (2023, 11, "2023-11")
    assert len(cal.day_buttons) == 30
    labels = [w.cget("text") for w in cal.frame.winfo_children() if isinstance(w, customtkinter.CTkLabel)]
    assert "2023-11" in labels and "一" in labels and "日" in labels
    headers = [w for w in cal.frame.grid_slaves(row=0) if isinstance(w, customtkinter.CTkButton)]
    by_text = {w.cget("text"): w for w in headers}
    by_text[">"].invoke()
    assert cal.month == 12
    by_text["<"].invoke()
    by_text["<"].invoke()
    assert cal.month == 10
    start = W.CTkCalendar(ctk_root, 1, 1)
    with pytest.raises(ValueError):
        start.prev_month()
    assert (start.year, start.month) == (1, 1)


def test_calendar_defaults_to_this_month(ctk_root):
    before = datetime.date.today()
    cal = W.CTkCalendar(ctk_root)
    after = datetime.date.today()
    assert (cal.year, cal.month) in {(before.year, before.month), (after.year, after.month)}
    assert cal.get_date() is None
    with pytest.raises(ValueError):
        W.CTkCalendar(ctk_root, 2024, 13)


def test_calendar_selection(ctk_root):
    picked = []
    cal = W.CTkCalendar(ctk_root, 2024, 3, command=picked.append)
    cal.day_buttons[14].invoke()
    assert cal.get_date() == datetime.date(2024, 3, 15) and picked == [cal.get_date()]
    colours = [b.cget("fg_color") for b in cal.day_buttons]
    assert colours[14] != "transparent" and colours.count("transparent") == 30

    cal.next_month()
    assert all(b.cget("fg_color") == "transparent" for b in cal.day_buttons)
    assert cal.get_date() == datetime.date(2024, 3, 15)

    cal.set_date(datetime.date(2025, 2, 28))
    assert (cal.year, cal.month, len(cal.day_buttons)) == (2025, 2, 28)
    assert cal.day_buttons[27].cget("fg_color") != "transparent"
    assert cal.get_date() == datetime.date(2025, 2, 28) and len(picked) == 1
    cal.set_date(None)
    assert cal.get_date() is None
    with pytest.raises(TypeError):
        cal.set_date("2025-02-28")


def test_destroyed_calendar_is_collected(ctk_root):
    cal = W.CTkCalendar(ctk_root, 2024, 5)
    cal.pack()
    pump(ctk_root, 10)
    frame_ref = weakref.ref(cal.frame)
    cal.frame.destroy()
    del cal
    gc.collect()
    assert frame_ref() is None
