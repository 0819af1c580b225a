"""Drives GUI(...) from inside its own event loop for the benchmark.

As in the test suite, only the module's global names are replaced: CTk by a
subclass that ends the loop where a figure wants it, try_except_log by a
recorder that keeps the logged monitor, and Set_Button by one that keeps the
button bar. Everything else is the real toolkit and the real common package.
"""

import gc
import os
import sys
import time

import customtkinter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from lumivar.host import make_channels as host_objects  # noqa: E402,F401

from support import ToolkitProxy, cancel_pending, census, command_name, drain  # noqa: E402,F401


class Driver:
    """Hooks shared by the CTk subclass and the recorders.

    on_idle(app) runs once the loop has drawn the window; it must end with
    app.destroy() (or arrange for it)."""

    def __init__(self, on_idle=None):
        self.on_idle = on_idle
        self.app = None
        self.monitor = None  # the logged monitor, as the timer calls it
        self.monitor_ms = None  # re-arm interval override (None: as asked)
        self.monitor_arms = []  # after ids of the monitor's re-arms
        self.on_arm = None
        self.idle_at = None
        self.cpu_at = None
        self.set_button = None
        self.seen = {}
        driver = self

        class BenchCTk(customtkinter.CTk):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                driver.app = self

            def after(self, ms, func=None, *args):
                if func is not None and func is driver.monitor:
                    if driver.monitor_ms is not None:
                        ms = driver.monitor_ms
                    after_id = super().after(ms, func, *args)
                    driver.monitor_arms.append(after_id)
                    if driver.on_arm is not None:
                        driver.on_arm(self)
                    return after_id
                return super().after(ms, func, *args)

            def mainloop(self, *args, **kwargs):
                super().after_idle(driver._first_idle)
                return super().mainloop(*args, **kwargs)

        self.ctk_class = BenchCTk

    def _first_idle(self):
        app = self.app
        app.update_idletasks()
        self.idle_at = time.perf_counter()
        self.cpu_at = time.process_time()
        self.seen = {
            "customtkinter": customtkinter.__version__,
            "tk": app.getvar("tk_patchLevel"),
            "display": f"{app.winfo_screenwidth()}x{app.winfo_screenheight()}x{app.winfo_screendepth()} "
            f"{app.tk.call('winfo', 'server', '.')}",
            "census": census(app),
            "size": [app.winfo_reqwidth(), app.winfo_reqheight()],
            "mapped": bool(app.winfo_ismapped()),
        }
        if self.on_idle is not None:
            self.on_idle(app)
        else:
            close(app)

    def install(self, module):
        """Puts the doubles into the module's names; returns an undo function."""
        saved = {name: module.__dict__[name] for name in ("customtkinter", "try_except_log", "Set_Button")}
        real_wrap = saved["try_except_log"]
        real_set_button = saved["Set_Button"]

        def recording_wrap(handler):
            wrapped = real_wrap(handler)
            if command_name(handler) == "aa":
                self.monitor = wrapped
            return wrapped

        def recording_set_button():
            self.set_button = real_set_button()
            return self.set_button

        module.customtkinter = ToolkitProxy(customtkinter, self.ctk_class)
        module.Set_Button = recording_set_button
        module.try_except_log = recording_wrap

        def undo():
            for name, value in saved.items():
                setattr(module, name, value)

        return undo


def close(app):
    cancel_pending(app)
    app.destroy()


def run_gui(module, driver, queues, events):
    undo = driver.install(module)
    try:
        t0 = time.perf_counter()
        module.GUI(queues, events)
    finally:
        undo()
    return driver.idle_at - t0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def collect():
    gc.collect()
    gc.collect()
