#!/usr/bin/env python3
# The README's simulator rehearsal, run as written (in a scratch folder, the build's jmreader-sim
# for ./build/jmreader-sim and the shipped examples for doc/examples): the dump after the update
# holds the changed sector.
#
#   readme_rehearsal.py README.md SOURCE_DIR JMREADER_SIM_PATH
import re
import subprocess
import sys
import tempfile

readme, source, sim = sys.argv[1:4]
with open(readme, encoding="utf-8") as f:
    text = f.read()
block = re.search(r"## Trying it without hardware.*?```sh\n(.*?)```", text, re.S).group(1)
script = block.replace("./build/jmreader-sim", sim).replace("doc/examples/", source + "/doc/examples/")
with tempfile.TemporaryDirectory() as here:
    run = subprocess.run(["bash", "-c", script], cwd=here, input="y\n", capture_output=True, text=True)
    said = run.stdout + run.stderr
    with open(here + "/jmSIM_01_02_A0_FF.bin", "rb") as f:
        after = f.read()
checks = [
    ("the last command tells the sector differs", run.returncode == 1 and "differ: byte 65537" in said),
    ("the update was verified", "Nvram written and read back equal" in said),
    ("the second dump holds the changed sector", after[-512:].startswith(b"REHEARSAL")),
]
failed = [what for what, ok in checks if not ok]
for what in failed:
    print("README rehearsal: not so:", what, flush=True)
sys.exit(said if failed else 0)  # what the commands said, and status 1
