"""The stand-alone trial: the module run as the main program, without a host."""
import json
import os
import subprocess
import sys
import textwrap

# Loaded by the child interpreter before anything else: once the window's
# event loop runs, press the output button, note what the window shows, close it.
HOOK = textwrap.dedent(
    """
    import json, os, tkinter

    _mainloop = tkinter.Misc.mainloop

    def mainloop(self, n=0):
        def finish():
            import customtkinter
            seen = {"title": self.title(), "pressed": 0}
            stack = [self]
            while stack:
                w = stack.pop()
                stack.extend(w.winfo_children())
                if isinstance(w, customtkinter.CTkButton) and w.cget("text") == "輸出檢索報告":
                    w.invoke()
                    seen["pressed"] += 1
                if isinstance(w, customtkinter.CTkTextbox):
                    box = w
            self.update()
            seen["text"] = box.get("1.0", "end-1c")
            with open(os.environ["TRIAL_REPORT"], "w") as f:
                json.dump(seen, f)
            self.destroy()

        self.after(1200, finish)
        return _mainloop(self, n)

    tkinter.Misc.mainloop = mainloop
    """
)


def test_trial_opens_the_window_and_the_output_button_only_logs_its_error(tmp_path):
    hook_dir = tmp_path / "hook"
    hook_dir.mkdir()
    (hook_dir / "sitecustomize.py").write_text(HOOK)
    report = tmp_path / "seen.json"
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, PYTHONPATH=str(hook_dir), TRIAL_REPORT=str(report), HOME=str(home))
    result = subprocess.run([sys.executable, "-m", "lumivar.trial"], env=env, capture_output=True,
                            text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    seen = json.loads(report.read_text())
    assert seen == {"title": "Lumivar", "pressed": 1, "text": ""}
    # The placeholder mappings cannot be indexed by key: the wrapper logs that.
    assert "button_event_001" in result.stderr and "TypeError" in result.stderr
    assert (home / "tarnwick" / "Lumivar" / "檢索專利公開號.xlsx").is_file()
    assert result.stdout == ""
