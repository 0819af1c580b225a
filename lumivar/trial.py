"""Stand-alone trial of the window: loads the module GUI as the main program.

    python -m lumivar.trial

The compiled module has no code object, so ``python -m GUI`` cannot run it;
this loads the same file under the name ``__main__`` instead, and its start-up
then opens the window without a host.
"""

import importlib.machinery
import importlib.util
import sys


def main() -> int:
    found = importlib.util.find_spec("GUI")
    if found is None or not found.origin:
        print("the module GUI is not installed", file=sys.stderr)
        return 1
    loader = importlib.machinery.ExtensionFileLoader("__main__", found.origin)
    spec = importlib.util.spec_from_file_location("__main__", found.origin, loader=loader)
    assert spec is not None  # given its loader, a location always makes a spec
    module = importlib.util.module_from_spec(spec)
    sys.modules["__main__"] = module
    loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
