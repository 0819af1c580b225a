"""The stand-alone trial: the module run as the main program, without a host."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Imported by the child interpreter before the trial starts: once the window's
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
            with open(os.environ["TRIAL_REPORT"], "w", encoding="utf-8") as f:
                json.dump(seen, f)
            self.destroy()

        self.after(1200, finish)
        return _mainloop(self, n)

    tkinter.Misc.mainloop = mainloop
    """
)


@pytest.mark.window
def test_trial_opens_the_window_and_the_output_button_only_logs_its_error(tmp_path, home):
    hook_dir = tmp_path / "hook"
    hook_dir.mkdir()
    (hook_dir / "trial_hook.py").write_text(HOOK, encoding="utf-8")
    report = tmp_path / "seen.json"
    env = dict(os.environ, TRIAL_REPORT=str(report), PYTHONIOENCODING="utf-8")
    # What -m does, after the hook (an embedded Windows Python ignores PYTHONPATH).
    code = (
        f"import sys, runpy; sys.path.insert(0, {str(hook_dir)!r}); import trial_hook; "
        "runpy.run_module('lumivar.trial', run_name='__main__', alter_sys=True)"
    )
    result = subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=120,
        stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, result.stderr
    seen = json.loads(report.read_text(encoding="utf-8"))
    assert seen == {"title": "Lumivar", "pressed": 1, "text": ""}
    # The placeholder mappings cannot be indexed by key: the wrapper logs that.
    assert "button_event_001" in result.stderr and "TypeError" in result.stderr
    assert (home / "tarnwick" / "Lumivar" / "檢索專利公開號.xlsx").is_file()
    assert result.stdout == ""
