"""The floor of the window build: the window GUI(...) shows, built step by
step in plain Python with the same frames, widgets, options and order
(model/window.cpp), so the difference is what the C++ front end adds.

Two forms:
- direct: every widget made with customtkinter itself; the entry table and
  the icon buttons are written out as the common package makes them
  (CTkLabel/CTkEntry rows with fitted widths, CTkButton with CTkImage icons);
- common: the entry table, the buttons and the handler wrapper come from the
  same common package calls the window makes (Set_Table, Set_Button,
  try_except_log), so only GUI's own layer is left out.
"""

import os
import shutil

import customtkinter
from PIL import Image, ImageTk

from lumivar import protocol

FONT_FAMILY = "Microsoft JhengHei"


def resources(module_folder):
    shipped = os.path.join(module_folder, "格式範本")
    return {name: os.path.join(shipped, name) for name in os.listdir(shipped)}


def _font(size):
    return customtkinter.CTkFont(family=FONT_FAMILY, size=size, weight="bold")


class DirectTable:
    """The entry table as the common package lays it out."""

    def __init__(self, master):
        self.master = master
        self.font = _font(13)
        self.rows = []

    def add_entry_name(self, name):
        row = len(self.rows)
        pady = (8, 3) if row == 0 else (3, 3)
        label = customtkinter.CTkLabel(
            self.master, text=name, font=self.font, fg_color="transparent", anchor="w", height=28
        )
        entry = customtkinter.CTkEntry(self.master, height=28, width=120)
        label.grid(row=row, column=0, sticky="w", padx=(40, 6), pady=pady)
        entry.grid(row=row, column=1, sticky="w", pady=pady)
        self.rows.append((name, label, entry))
        widest = max(self.font.measure(n) for n, _, _ in self.rows)
        width = min(max(380 - 40 - 6 - widest, 120), 260)
        for _, _, e in self.rows:
            e.configure(width=width)


class DirectButtons:
    """The button bar as the common package makes it."""

    def __init__(self):
        self.buttons = {}

    def add_button(
        self,
        master,
        *,
        button_name=None,
        text="",
        image_path=None,
        button_event=None,
        size=(20, 20),
        padx=5,
        pady=5,
        row=0,
        column=0,
        sticky="nw",
        width=30,
        fg_color=None,
        corner_radius=None,
    ):
        options = {"text": text, "font": _font(13), "command": button_event}
        if image_path is not None:
            opened = Image.open(image_path)
            image = opened.copy()
            opened.close()
            options["image"] = customtkinter.CTkImage(light_image=image, dark_image=image, size=tuple(size))
        if width is not None:
            options["width"] = width
        if fg_color is not None:
            options["fg_color"] = fg_color
        if corner_radius is not None:
            options["corner_radius"] = corner_radius
        button = customtkinter.CTkButton(master, **options)
        button.grid(row=row, column=column, padx=padx, pady=pady, sticky=sticky)
        if button_name:
            self.buttons[button_name] = button


def _noop():
    pass


def _release_trackers(app):
    tracker = customtkinter.AppearanceModeTracker
    while app in tracker.app_list:
        tracker.app_list.remove(app)
    if not tracker.app_list:
        tracker.update_loop_running = False
    scaling = customtkinter.ScalingTracker
    scaling.window_widgets_dict.pop(app, None)
    scaling.window_dpi_scaling_dict.pop(app, None)
    if not scaling.window_widgets_dict:
        scaling.update_loop_running = False


def window(ctk_class, res, queues, events, common=None):
    """Builds the window, runs its loop and sends the end signals, as GUI(...)."""
    home = os.path.expanduser("~")
    for folder in (os.path.join(home, "tarnwick") + "/", os.path.join(home, "tarnwick", "Lumivar") + "/"):
        try:
            os.mkdir(folder)
        except OSError:
            pass
    try:
        user_copy = os.path.join(home, "tarnwick", "Lumivar", "檢索專利公開號.xlsx")
        if not os.path.lexists(user_copy):
            shutil.copy2(res["檢索專利公開號.xlsx"], user_copy)
    except Exception as e:
        print("檢索專利公開號.xlsx --> " + str(e), flush=True)

    parameters = {
        "顯示免用統一發票章": False,
        "顯示負責人章": False,
        "顯示日期": True,
        protocol.SIZE_RATIO: 1,
        protocol.CJK_FONT: "標楷體",
        protocol.LATIN_FONT: "Calibri",
    }
    set_button = common.Set_Button() if common else DirectButtons()

    customtkinter.set_appearance_mode("dark")
    customtkinter.set_default_color_theme("blue")

    app = ctk_class()
    app.title("Lumivar")
    for column in (0, 1, 2):
        app.columnconfigure(column, weight=1)
    app.resizable(False, False)
    opened = Image.open(res["logo.ico"])
    image = opened.convert("RGBA")
    opened.close()
    icon = ImageTk.PhotoImage(image, master=app)
    app.iconphoto(True, icon)

    frame_class = customtkinter.CTkFrame
    FF = frame_class(app, fg_color="transparent")
    FF.grid(row=0, column=0, columnspan=2, padx=(10, 5), pady=(10, 5), sticky="nsew")
    AA = frame_class(app, fg_color="transparent")
    AA.grid(row=1, column=0, padx=(10, 5), pady=(5, 0), sticky="nsew")
    BB = frame_class(app, fg_color="transparent")
    BB.grid(row=1, column=1, padx=(0, 10), pady=(5, 0), sticky="nsew")
    DD = frame_class(app, fg_color="transparent")
    DD.grid(row=2, column=0, columnspan=2, padx=(10, 10), pady=(5, 10), sticky="ew")
    frame = [None] * 10
    frame[1] = frame_class(AA, width=395, height=110)
    frame[1].grid(row=0, column=0, sticky="new")
    frame[5] = frame_class(frame[1], width=395, height=110, fg_color="transparent")
    frame[5].place(x=10, y=30)
    frame[2] = frame_class(BB, width=300, height=110)
    frame[2].grid(row=0, column=0, sticky="new")
    frame[4] = frame_class(FF, height=10, fg_color="transparent")
    frame[4].grid(row=0, column=0, sticky="nsew", rowspan=2)
    frame[6] = frame_class(DD, height=10, fg_color="transparent")
    frame[6].grid(row=0, column=0, sticky="nsew", rowspan=2)

    textbox = customtkinter.CTkTextbox(master=frame[6], width=700, height=300, corner_radius=0)
    textbox.grid(row=0, column=0, sticky="nsew")

    def picture(name, width, height):
        light = Image.open(res[name])
        light.load()
        dark = Image.open(res[name])
        dark.load()
        return customtkinter.CTkImage(light_image=light, dark_image=dark, size=(width, height))

    logo = customtkinter.CTkButton(
        frame[4], image=picture("logo.png", 50, 50), text="", state="disabled", width=50, fg_color="transparent"
    )
    logo.grid(row=0, column=0, padx=(0, 5), sticky="w")
    logo = customtkinter.CTkButton(
        frame[4],
        image=picture("logo(僅文字).png", 120, 30),
        text="",
        state="disabled",
        width=50,
        fg_color="transparent",
    )
    logo.grid(row=0, column=1, padx=(0, 15), sticky="w")
    title = customtkinter.CTkLabel(frame[4], text="Lumivar", font=_font(16))
    title.grid(row=0, column=2, sticky="nsew")

    set_table = common.Set_Table(frame[5]) if common else DirectTable(frame[5])
    set_table.add_entry_name(protocol.TEMPLATE_PATH)
    set_table.add_entry_name(protocol.PATENT_PATH)

    wrap = common.try_except_log if common else (lambda f: f)
    commands = [wrap(_noop) for _ in range(7)]
    e001, e003, e004, e005, e006, e007, e008 = commands

    add_button = set_button.add_button
    add_button(
        BB,
        button_event=e001,
        button_name="輸出檢索報告",
        text="輸出檢索報告",
        size=(25, 25),
        padx=50,
        pady=10,
        sticky="",
        width=140,
    )
    add_button(
        FF,
        image_path=res["資料夾.png"],
        button_event=e005,
        size=(25, 25),
        padx=(178, 55),
        row=0,
        column=1,
        fg_color="transparent",
    )
    add_button(
        AA,
        image_path=res["垃圾桶.png"],
        button_event=e003,
        size=(20, 20),
        padx=(20, 5),
        row=0,
        column=0,
        fg_color="#2b2b2b",
        width=20,
        corner_radius=0,
    )
    add_button(
        AA,
        image_path=res["資料夾.png"],
        button_event=e006,
        size=(25, 25),
        padx=(10, 5),
        pady=(38, 5),
        row=0,
        column=0,
        fg_color="#2b2b2b",
        corner_radius=0,
    )
    add_button(
        AA,
        image_path=res["資料夾.png"],
        button_event=e007,
        size=(25, 25),
        padx=(10, 5),
        pady=(72, 5),
        row=0,
        column=0,
        fg_color="#2b2b2b",
        corner_radius=0,
    )
    add_button(
        FF,
        image_path=res["問號001.png"],
        button_event=e008,
        size=(25, 25),
        padx=(78, 105),
        row=0,
        column=1,
        fg_color="transparent",
    )
    add_button(
        AA,
        image_path=res["版權宣告圖示.png"],
        button_event=_noop,
        size=(25, 25),
        padx=(178, 55),
        row=0,
        column=0,
        fg_color="transparent",
    )
    add_button(
        FF,
        image_path=res["設定.png"],
        button_event=e004,
        size=(25, 25),
        padx=(128, 105),
        row=0,
        column=1,
        fg_color="transparent",
    )

    menu = customtkinter.CTkOptionMenu(
        FF, font=_font(13), width=150, height=20, dynamic_resizing=False, values=["暫時用不到"]
    )
    menu.grid(row=1, column=1, padx=(180, 5), pady=(5, 0), sticky="nsew")

    app.after(500, wrap(_noop))

    app.mainloop()
    _release_trackers(app)
    queues[protocol.END].put(None)
    events[protocol.END].set()
    queues[protocol.REQUESTS].put(None)
    return parameters, icon
