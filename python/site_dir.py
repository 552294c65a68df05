"""Prints the folder, relative to the prefix given, where this interpreter
looks for packages under it: the shortest folder of its sys.path there (on
Debian /usr/local/lib/python3.X/dist-packages, /usr/lib/python3/dist-packages;
$HOME/.local/lib/python3.X/site-packages once it exists), else its own
platlib folder for that prefix (lib/python3.X/site-packages, which for
$HOME/.local is the user's folder that Python searches once it exists; for
another prefix PYTHONPATH must name it).

    python3 python/site_dir.py PREFIX
"""
import os
import sys
import sysconfig

prefix = os.path.realpath(sys.argv[1])
found = [os.path.relpath(os.path.realpath(p), prefix) for p in sys.path if p.endswith("-packages")
         and os.path.realpath(p).startswith(prefix + os.sep)]
found.sort(key=lambda p: p.count(os.sep))  # /usr: lib/python3/dist-packages, not local/lib/...
print(found[0] if found else
      os.path.relpath(sysconfig.get_path("platlib", "posix_prefix" if os.name == "posix" else None,
                                         vars={"platbase": prefix, "base": prefix}), prefix))
