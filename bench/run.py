"""Benchmark of the Lumivar window against the toolkit it drives.

    python bench/run.py            # full run, about 2-3 minutes
    python bench/run.py --quick    # fewer trials, for a first look
    python bench/run.py --instructions   # only the instruction count (valgrind)

Prints one table: window build against a plain customtkinter build of the
same window (wall time, and outside --quick the instructions counted by
valgrind's callgrind), import cost, CPU time of one monitor tick, and resident
memory over repeated open/close cycles. Each figure runs in fresh child processes of
this interpreter so one cannot warm or pollute another. Needs an X display; when
DISPLAY is unset a private Xvfb is started for the run.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from lumivar import protocol

HERE = os.path.dirname(os.path.abspath(__file__))
MiB = 1024 * 1024


# ---------------------------------------------------------------------------
# Children: each prints one JSON object on its last line of output
# ---------------------------------------------------------------------------


def _modules():
    sys.path.insert(0, HERE)
    import floor
    import harness

    import GUI

    return GUI, harness, floor


def _common_calls():
    """The common package calls the window makes, as one namespace."""
    import types

    import tarnwick通用模組 as tarnwick

    model = tarnwick.Customtkinter_Model()
    return types.SimpleNamespace(
        Set_Table=model.Set_Table,
        Set_Button=model.Set_Button,
        try_except_log=tarnwick.Try_Except_Model().try_except_log,
    )


def child_build(pairs, warmup):
    """Window build, GUI(...) and the two floors, in rotating order."""
    import time as t

    GUI, harness, floor = _modules()
    res = floor.resources(os.path.dirname(os.path.abspath(GUI.__file__)))
    common = _common_calls()
    queues, events = harness.host_objects()

    # Each trial returns plain numbers only: no reference to its window may
    # outlive it, or the next trial would run beside a live interpreter.
    def gui():
        d = harness.Driver()
        c0 = t.process_time()
        wall = harness.run_gui(GUI, d, queues, events)
        return wall, d.cpu_at - c0, d.seen

    def direct(common_calls=None):
        d = harness.Driver()
        c0 = t.process_time()
        t0 = t.perf_counter()
        floor.window(d.ctk_class, res, queues, events, common=common_calls)
        return d.idle_at - t0, d.cpu_at - c0, d.seen

    kinds = {"gui": gui, "direct": direct, "common": lambda: direct(common)}
    order = list(kinds)
    out = {k: {"wall": [], "cpu": []} for k in kinds}
    info = {}
    seen_by_kind = {}
    for i in range(warmup + pairs):
        rotation = order[i % 3 :] + order[: i % 3]
        for kind in rotation:
            harness.collect()
            wall, cpu, seen = kinds[kind]()
            harness.drain(queues, events)
            if kind == "gui" and not info:
                info = seen
            seen_by_kind.setdefault(kind, {k: seen[k] for k in ("census", "size", "mapped")})
            if i >= warmup:
                out[kind]["wall"].append(wall)
                out[kind]["cpu"].append(cpu)
    out["info"] = info
    out["same"] = {k: v == seen_by_kind["gui"] for k, v in seen_by_kind.items()}
    out["census"] = seen_by_kind["gui"]
    return out


def child_count(kind, builds):
    """`builds` window builds of one kind, for the instruction counter. The
    same warm-up (one build of each kind, so both load the same code) comes
    first whatever their number, so two runs differ by the builds alone."""
    GUI, harness, floor = _modules()
    res = floor.resources(os.path.dirname(os.path.abspath(GUI.__file__)))
    queues, events = harness.host_objects()

    def gui():
        harness.run_gui(GUI, harness.Driver(), queues, events)

    def direct():
        floor.window(harness.Driver().ctk_class, res, queues, events)

    for build in [gui, direct] + [{"gui": gui, "direct": direct}[kind]] * builds:
        build()
        harness.drain(queues, events)
        harness.collect()
    return {"kind": kind, "builds": builds}


def child_tick(rounds, batch):
    """CPU time of one monitor tick, called as its timer calls it."""
    import time as t
    import tkinter

    import customtkinter

    GUI, harness, floor = _modules()
    message = "TW202312345A"

    class Receipts:
        """The worker's message queue: empty, or always one message waiting."""

        message = None

        def empty(self):
            return self.message is None

        def get(self):
            return self.message

    class Busy:
        """The report-running event."""

        busy = False

        def is_set(self):
            return self.busy

        def set(self):
            self.busy = True

        def clear(self):
            self.busy = False

    receipts, busy = Receipts(), Busy()
    queues, events = harness.host_objects()
    queues[protocol.RECEIPTS], events[protocol.BUSY] = receipts, busy
    result = {}

    def lines(box):
        return int(box.index("end-1c").split(".")[0])

    def script(app):
        try:
            stack, boxes = [app], []
            while stack:
                w = stack.pop()
                stack.extend(w.winfo_children())
                if isinstance(w, customtkinter.CTkTextbox):
                    boxes.append(w)
            (box,) = boxes
            tick = driver.monitor
            # The first tick, armed by the build, is not part of the trials.
            for after_id in driver.monitor_arms:
                app.after_cancel(after_id)
            driver.monitor_arms.clear()
            fill = "".join(f"TW2023{n:05d}A\n" for n in range(10_000))
            times = {}
            checks = {}

            def measure(size, kind):
                receipts.message = message if kind == "message" else None
                busy.busy = kind == "message"
                before = lines(box)
                app.update_idletasks()
                c0 = t.process_time()
                for _ in range(batch):
                    tick()
                dt = t.process_time() - c0
                for after_id in driver.monitor_arms:
                    app.after_cancel(after_id)
                rearmed = len(driver.monitor_arms)
                driver.monitor_arms.clear()
                added = lines(box) - before
                label = driver.set_button.cget("輸出檢索報告", "text")
                times.setdefault((size, kind), []).append(dt / batch)
                checks.setdefault((size, kind), set()).add((added, rearmed, label))

            for r in range(rounds):
                kinds = ("idle", "message") if r % 2 == 0 else ("message", "idle")
                for size in ("empty", "10000"):
                    for kind in kinds:
                        box.delete("1.0", tkinter.END)
                        if size == "10000":
                            box.insert(tkinter.END, fill)
                        measure(size, kind)
            result["times"] = {f"{s}/{k}": v for (s, k), v in times.items()}
            result["checks"] = {f"{s}/{k}": sorted(map(list, v)) for (s, k), v in checks.items()}

            # What re-arming costs on its own: one real timer set and cancelled.
            c0 = t.process_time()
            for _ in range(rounds * batch):
                app.after_cancel(app.after(500, tick))
            result["rearm"] = (t.process_time() - c0) / (rounds * batch)
        finally:
            harness.close(app)

    driver = harness.Driver(on_idle=script)
    harness.run_gui(GUI, driver, queues, events)
    result["batch"] = batch
    return result


def child_memory(cycles, kind):
    """Resident size after each of `cycles` open/close cycles in this one process."""
    GUI, harness, floor = _modules()
    res = floor.resources(os.path.dirname(os.path.abspath(GUI.__file__)))
    queues, events = harness.host_objects()
    readings = []
    ticks_before_close = 2

    def cycle():
        # A function of its own, so that nothing of this window is still
        # referenced when the reading after it is taken.
        if kind == "gui":
            # The monitor ticks a few times, fast, then the window is closed as
            # a user closes it: destroy, with the next tick still pending.
            d = harness.Driver(on_idle=lambda app: None)
            d.monitor_ms = 10

            def on_arm(app):
                if len(d.monitor_arms) == ticks_before_close + 1:
                    app.after_idle(app.destroy)

            d.on_arm = on_arm
            harness.run_gui(GUI, d, queues, events)
            if len(d.monitor_arms) != ticks_before_close + 1:
                raise RuntimeError("the monitor did not tick as expected")
        else:
            d = harness.Driver(on_idle=lambda app: app.destroy())
            floor.window(d.ctk_class, res, queues, events)
        harness.drain(queues, events)

    for _ in range(cycles):
        cycle()
        harness.collect()
        readings.append(harness.rss_bytes())
    return {"readings": readings}


# ---------------------------------------------------------------------------
# The parent: runs the children and prints the table
# ---------------------------------------------------------------------------

IMPORT_GUI = "import GUI"
IMPORT_DEPS = "import os, webbrowser, shutil, subprocess, tkinter, customtkinter, PIL.Image, tarnwick通用模組"


def run_child(env, *args, timeout=300):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", *map(str, args)]
    p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout, cwd=env["HOME"])
    if p.returncode != 0:
        sys.stderr.write(p.stdout + p.stderr)
        raise SystemExit(f"child {args[0]} failed with exit code {p.returncode}")
    noise = [line for line in p.stderr.splitlines() if line.strip()]
    return json.loads(p.stdout.strip().splitlines()[-1]), noise


def import_time(env, statement):
    """Times one import in a fresh interpreter.

    Returns wall and CPU seconds of `statement`, GUI's own line of
    -X importtime (seconds, or None), and for the dependencies alone also what
    `import GUI` costs on top once they are loaded (or None). Both sides run
    under -X importtime, so its small bookkeeping is paid alike."""
    then = (
        "_t = time.perf_counter()\nimport GUI\n_gui = time.perf_counter() - _t\n"
        if statement != IMPORT_GUI
        else "_gui = -1.0\n"
    )
    code = (
        "import time\n_w, _c = time.perf_counter(), time.process_time()\n"
        + statement
        + "\n_w, _c = time.perf_counter() - _w, time.process_time() - _c\n"
        + then
        + "print(_w, _c, _gui)"
    )
    p = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", code],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
        cwd=env["HOME"],
    )
    if p.returncode != 0:
        raise SystemExit(f"import failed: {statement}\n{p.stderr}")
    wall, cpu, on_top = map(float, p.stdout.strip().splitlines()[-1].split())
    own = None
    for line in p.stderr.splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and fields[2] == "GUI":
            own = int(fields[0].split()[-1]) / 1e6
    return wall, cpu, own, (on_top if on_top >= 0 else None)


def instructions_per_build(env, builds):
    """Client instructions of one window build, GUI(...) and the floor, counted
    by valgrind's callgrind: for each kind a run with `builds` builds less a
    run with none, divided by `builds`. Deterministic up to the event loop's
    timing, unlike wall time on a shared machine. None without valgrind."""
    if shutil.which("valgrind") is None:
        return None
    counts = {}
    with tempfile.TemporaryDirectory(prefix="lumivar-callgrind-") as folder:
        for kind in ("gui", "direct"):
            for n in (0, builds):
                out = os.path.join(folder, f"{kind}-{n}.out")
                cmd = [
                    "valgrind",
                    "--tool=callgrind",
                    f"--callgrind-out-file={out}",
                    "--dump-line=no",
                    sys.executable,
                    os.path.abspath(__file__),
                    "--child",
                    "count",
                    kind,
                    str(n),
                ]
                p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=1800, cwd=env["HOME"])
                if p.returncode != 0:
                    sys.stderr.write(p.stdout + p.stderr)
                    raise SystemExit(f"callgrind run {kind}/{n} failed with exit code {p.returncode}")
                with open(out) as f:
                    totals = [line.split()[1] for line in f if line.startswith(("summary:", "totals:"))]
                counts[kind, n] = int(totals[-1])
    return {kind: (counts[kind, builds] - counts[kind, 0]) / builds for kind in ("gui", "direct")}


def instruction_row(per_build, builds):
    if per_build is None:
        return ("1. window build / floor, instructions", "not measured: valgrind is not installed", "<= 1.02", "-")
    ratio = per_build["gui"] / per_build["direct"]
    return (
        "1. window build / floor, instructions",
        f"{ratio:.3f} ({per_build['gui'] / 1e6:.0f} M / "
        f"{per_build['direct'] / 1e6:.0f} M per build, callgrind, {builds} builds)",
        "<= 1.02",
        verdict(ratio <= 1.02),
    )


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return cpu


def start_display():
    """A private virtual display for the run; returns (process, DISPLAY)."""
    xvfb = shutil.which("Xvfb")
    if not xvfb:
        raise SystemExit("no DISPLAY and no Xvfb: set DISPLAY or install Xvfb")
    for n in range(140, 200):
        if os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
            continue
        proc = subprocess.Popen(
            [xvfb, f":{n}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{n}"):
                return proc, f":{n}"
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        proc.terminate()
    raise SystemExit("could not start Xvfb")


def ms(seconds):
    return seconds * 1000.0


def after(readings, n, window=5):
    """RSS after n cycles: the median of the readings after cycles n-4..n.

    Single readings jump by a few MiB from one cycle to the next as the
    allocator keeps or returns a large block; the median of the last few is
    stable from run to run."""
    return statistics.median(readings[max(0, n - window) : n])


def ci(values, scale=1.0, digits=3):
    """A distribution-free 95% confidence interval of the median, as text:
    the order statistics a binomial count puts on either side of it."""
    v = sorted(values)
    n = len(v)
    k = max(0, int((n - 1.96 * n**0.5) / 2))
    return f"{v[k] * scale:.{digits}f}..{v[n - 1 - k] * scale:.{digits}f}"


def tick_problems(tick, batch):
    """What the monitor did in each batch, against what it should have done."""
    busy_labels = {"輸出中.", "輸出中..", "輸出中..."}
    bad = []
    for case, seen in tick["checks"].items():
        for added, rearmed, label in seen:
            message = case.endswith("/message")
            if (
                added != (batch if message else 0)
                or rearmed != batch
                or (label in busy_labels) != message
                or (not message and label != "輸出檢索報告")
            ):
                bad.append(f"{case}: {added} lines, {rearmed} re-arms, label {label!r}")
    return bad


def verdict(ok):
    return "met" if ok else "not met"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer trials (about a minute)")
    ap.add_argument(
        "--instructions",
        action="store_true",
        help="only the instruction count of a window build under callgrind (a few minutes)",
    )
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        name, *rest = args.child
        if name == "build":
            out = child_build(int(rest[0]), int(rest[1]))
        elif name == "tick":
            out = child_tick(int(rest[0]), int(rest[1]))
        elif name == "memory":
            out = child_memory(int(rest[0]), rest[1])
        elif name == "count":
            out = child_count(rest[0], int(rest[1]))
        else:
            raise SystemExit(f"unknown child {name}")
        print(json.dumps(out))
        return

    quick = args.quick
    build_pairs, build_warmup = (6, 1) if quick else (30, 2)
    import_runs = 8 if quick else 20
    tick_rounds, tick_batch = (10, 50) if quick else (30, 50)
    memory_runs = 1 if quick else 2
    count_builds = 3

    started = time.monotonic()
    home = tempfile.mkdtemp(prefix="lumivar-bench-home-")
    env = dict(os.environ, HOME=home, PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONPATH", None)
    xvfb = None
    if not env.get("DISPLAY"):
        xvfb, env["DISPLAY"] = start_display()
    load_at_start = os.getloadavg()
    noise = []
    per_build = None
    try:
        rows = []
        say = lambda text: print(text, file=sys.stderr, flush=True)  # noqa: E731
        if args.instructions:
            say("instructions (callgrind) ...")
            # The first child also copies the toolkit's fonts into HOME.
            run_child(env, "count", "gui", 0)
            row = instruction_row(instructions_per_build(env, count_builds), count_builds)
            print("  ".join(row))
            print(f"run took {time.monotonic() - started:.0f} s")
            return

        # 2. Import (first: the first child also copies the toolkit's fonts into HOME).
        phase = time.monotonic()
        say("import ...")
        for _ in range(2):
            import_time(env, IMPORT_DEPS)
            import_time(env, IMPORT_GUI)
        gui_t, dep_t, diffs, cpu_diffs, own, on_top = [], [], [], [], [], []
        for i in range(import_runs):
            first, second = (IMPORT_GUI, IMPORT_DEPS) if i % 2 == 0 else (IMPORT_DEPS, IMPORT_GUI)
            a = import_time(env, first)
            b = import_time(env, second)
            g, d = (a, b) if first == IMPORT_GUI else (b, a)
            gui_t.append(g[0])
            dep_t.append(d[0])
            diffs.append(g[0] - d[0])
            cpu_diffs.append(g[1] - d[1])
            own.append(g[2])
            on_top.append(d[3])
        import_diff = ms(statistics.median(diffs))
        import_on_top = ms(statistics.median(on_top))

        # 1. Window build.
        say(f"  {time.monotonic() - phase:.0f} s\nwindow build ...")
        phase = time.monotonic()
        build, n1 = run_child(env, "build", build_pairs, build_warmup)
        noise += n1
        ratios = [g / d for g, d in zip(build["gui"]["wall"], build["direct"]["wall"])]
        ratios_common = [g / d for g, d in zip(build["gui"]["wall"], build["common"]["wall"])]
        cpu_ratios = [g / d for g, d in zip(build["gui"]["cpu"], build["direct"]["cpu"])]
        ratio = statistics.median(ratios)
        med = {k: ms(statistics.median(build[k]["wall"])) for k in ("gui", "direct", "common")}
        cpu_med = {k: ms(statistics.median(build[k]["cpu"])) for k in ("gui", "direct")}

        # 3. Monitor tick.
        say(f"  {time.monotonic() - phase:.0f} s\nmonitor tick ...")
        phase = time.monotonic()
        tick, n3 = run_child(env, "tick", tick_rounds, tick_batch)
        noise += n3
        tick_med = {k: ms(statistics.median(v)) for k, v in tick["times"].items()}

        # 4. Memory.
        say(f"  {time.monotonic() - phase:.0f} s\nmemory ...")
        phase = time.monotonic()
        mem_runs = []
        for _ in range(memory_runs):
            m, n4 = run_child(env, "memory", 30, "gui")
            noise += n4
            mem_runs.append(m)
        floor_mem, n5 = run_child(env, "memory", 30, "direct")
        noise += n5
        rss = {n: statistics.median(after(m["readings"], n) for m in mem_runs) / MiB for n in (1, 10, 30)}
        growth = statistics.median((after(m["readings"], 30) - after(m["readings"], 10)) / MiB for m in mem_runs)
        raw_growth = statistics.median((m["readings"][29] - m["readings"][9]) / MiB for m in mem_runs)
        say(f"  {time.monotonic() - phase:.0f} s")
        if not quick:
            say("instructions (callgrind) ...")
            phase = time.monotonic()
            per_build = instructions_per_build(env, count_builds)
            say(f"  {time.monotonic() - phase:.0f} s")
        floor_growth = (after(floor_mem["readings"], 30) - after(floor_mem["readings"], 10)) / MiB
    finally:
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        shutil.rmtree(home, ignore_errors=True)

    rows.append(
        (
            "1. window build / floor, wall",
            f"{ratio:.3f} (95% CI {ci(ratios, 1, 2)}; {med['gui']:.0f} / {med['direct']:.0f} ms)",
            "<= 1.05",
            verdict(ratio <= 1.05),
        )
    )
    if not quick:
        rows.append(instruction_row(per_build, count_builds))
    rows.append(
        (
            "   same interval, CPU time of the process",
            f"{statistics.median(cpu_ratios):.3f} (95% CI {ci(cpu_ratios, 1, 2)}; "
            f"{cpu_med['gui']:.0f} / {cpu_med['direct']:.0f} ms)",
            "-",
            "info",
        )
    )
    rows.append(
        (
            "   against the floor via the common package",
            f"{statistics.median(ratios_common):.3f} (95% CI {ci(ratios_common, 1, 2)}; "
            f"{med['gui']:.0f} / {med['common']:.0f} ms)",
            "-",
            "info",
        )
    )
    rows.append(
        (
            "2. import GUI, beyond its dependencies",
            f"{import_on_top:+.1f} ms (95% CI {ci(on_top, 1000, 1)})",
            "<= 5 ms",
            verdict(import_on_top <= 5.0),
        )
    )
    rows.append(
        (
            "   fresh GUI minus fresh dependencies, wall",
            f"{import_diff:+.1f} ms (95% CI {ci(diffs, 1000, 1)}; {ms(statistics.median(gui_t)):.0f} / "
            f"{ms(statistics.median(dep_t)):.0f} ms)",
            "-",
            "info",
        )
    )
    rows.append(
        (
            "   the same pairs, CPU time",
            f"{ms(statistics.median(cpu_diffs)):+.1f} ms (95% CI {ci(cpu_diffs, 1000, 1)})",
            "-",
            "info",
        )
    )
    rows.append(("   GUI's self line in -X importtime, fresh", f"{ms(statistics.median(own)):.1f} ms", "-", "info"))
    for size, size_name in (("empty", "empty box"), ("10000", "10,000 lines")):
        idle = tick_med[f"{size}/idle"]
        msg = tick_med[f"{size}/message"]
        rows.append((f"3. monitor tick, idle, {size_name}", f"{idle:.3f} ms", "<= 0.2 ms", verdict(idle <= 0.2)))
        rows.append((f"3. monitor tick, one message, {size_name}", f"{msg:.3f} ms", "<= 1 ms", verdict(msg <= 1.0)))
    rows.append(("   for scale: one timer set and cancelled", f"{ms(tick['rearm']):.3f} ms", "-", "info"))
    rows.append(("4. RSS after 1 / 10 / 30 cycles", f"{rss[1]:.1f} / {rss[10]:.1f} / {rss[30]:.1f} MiB", "-", "info"))
    rows.append(("4. RSS growth, cycle 10 to 30", f"{growth:+.2f} MiB", "<= 2 MiB", verdict(growth <= 2.0)))
    rows.append(("   from the single readings at 10 and 30", f"{raw_growth:+.2f} MiB", "-", "info"))
    rows.append(("   the floor's growth, same cycles", f"{floor_growth:+.2f} MiB", "-", "info"))

    info = build["info"]
    print(
        f"Lumivar benchmark on {machine()}, {os.cpu_count()} cores, load average {load_at_start[0]:.1f} at start "
        f"and {os.getloadavg()[0]:.1f} at end; Python {platform.python_version()}, customtkinter "
        f"{info.get('customtkinter')}, Tk {info.get('tk')}; X server: {info.get('display')}"
    )
    widths = [max(len(r[i]) for r in rows + [("figure", "measured", "target", "verdict")]) for i in range(4)]
    line = "  ".join(f"{{:<{w}}}" for w in widths)
    print(line.format("figure", "measured", "target", "verdict"))
    print(line.format(*("-" * w for w in widths)))
    for r in rows:
        print(line.format(*r))
    print()
    print(
        f"1. median of {build_pairs} pairwise ratios (GUI(...) and the floors in rotating order, one process); "
        f"from the call to the first idle after update_idletasks(); floor = the same window written with "
        f"customtkinter directly (CTkLabel/CTkEntry rows, CTkButton with CTkImage icons), bench/floor.py"
    )
    print(
        f"2. median of {import_runs} fresh children that import the dependencies and then GUI; the other rows "
        f"pair {import_runs} fresh `import GUI` children with {import_runs} fresh dependency-only ones, "
        f"alternating (GUI's self line also carries the first look-up in site-packages, which the "
        f"dependencies pay when they come first)"
    )
    print(
        f"3. median over {tick_rounds} batches of {tick_batch} direct calls of the logged monitor "
        f"(process_time); idle: event clear, queue empty; message: event set, one message waiting; "
        f"each call re-arms its timer, cancelled after the batch"
    )
    print(
        f"4. {memory_runs} process(es) of 30 open/close cycles (each: first idle, 2 monitor ticks, destroy); "
        f"gc.collect() then RSS after every cycle; RSS after n = median of the readings after cycles n-4..n"
    )
    same = build["same"]
    census = build["census"]
    print(
        f"   widgets at first idle, GUI(...): {sum(census['census'].values())} "
        f"({', '.join(f'{n} {k}' for k, n in census['census'].items())}), requested size "
        f"{census['size'][0]}x{census['size'][1]}, {'mapped' if census['mapped'] else 'NOT mapped'}; "
        f"the floors the same: "
        f"direct {'yes' if same['direct'] else 'NO'}, common {'yes' if same['common'] else 'NO'}"
    )
    bad = tick_problems(tick, tick_batch)
    print(
        "   tick checks (lines added, timers re-armed, label after each batch): "
        + ("as expected in every batch" if not bad else "UNEXPECTED " + "; ".join(bad))
    )
    if noise:
        print(f"children wrote {len(noise)} line(s) to stderr, first: {noise[0][:200]}")
    print(f"run took {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
