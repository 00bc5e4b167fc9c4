"""A child process for test_loader.py: a training loop over a SeedLoader with
two workers, ended in one of two ways.

    python loader_interrupt_child.py GRAPH_DIRECTORY ctrl-c|killed

ctrl-c: prints "looping" once batches flow and loops until Ctrl+C as a
terminal sends it (SIGINT to the whole process group); then prints the worker
pids as a JSON line and exits.
killed: takes and keeps an epoch's batches, prints the worker pids as a JSON
line and waits to be killed outright (the idle workers have then nothing to
send, which would fail and stop them).

Either way it ends itself once the test that started it is gone, or after
LIFETIME seconds, so that a test that fails or is itself killed never leaves
it looping.
"""

import json
import os
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the suite's shared helpers, one folder up
from helpers import loader_for  # noqa: E402
from test_loader import slow  # noqa: E402

LIFETIME = 300


def end_when_orphaned(parent):
    deadline = time.monotonic() + LIFETIME
    while os.getppid() == parent and time.monotonic() < deadline:
        time.sleep(0.5)
    os._exit(3)  # the workers see their training process go and stop too


def main(directory, mode):
    threading.Thread(target=end_when_orphaned, args=(os.getppid(),), daemon=True).start()
    _, _, loader = loader_for(directory, num_workers=2, transform=slow, shuffle=False)
    loader.start()
    pids = [worker.pid for worker in loader.worker_processes]
    if mode == "killed":
        kept = list(loader)  # the workers wait for tasks, their memory files held here
        print(json.dumps(pids), flush=True)
        time.sleep(LIFETIME)
        return
    try:
        while True:
            for number, batch in enumerate(loader):
                if number == 1:
                    print("looping", flush=True)
    except KeyboardInterrupt:
        print(json.dumps(pids), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
