"""A child process for test_loader.py: a training loop over a SeedLoader with
two workers, ended as a user ends it.

    python loader_interrupt_child.py GRAPH_DIRECTORY ctrl-c

ctrl-c: prints "looping" once batches flow and loops until Ctrl+C as a
terminal sends it (SIGINT to the whole process group); then prints the worker
pids as a JSON line and exits.

It ends itself once the test that started it is gone, or after
LIFETIME seconds, so that a test that fails or is itself killed never leaves
it looping.
"""

import json
import os
import sys
import threading
import time

from helpers import loader_for
from test_loader import slow

LIFETIME = 300


def end_when_orphaned(parent):
    deadline = time.monotonic() + LIFETIME
    while os.getppid() == parent and time.monotonic() < deadline:
        time.sleep(0.5)
    os._exit(3)


def main(directory, mode):
    threading.Thread(target=end_when_orphaned, args=(os.getppid(),), daemon=True).start()
    _, _, loader = loader_for(directory, num_workers=2, transform=slow, shuffle=False)
    loader.start()
    pids = [worker.pid for worker in loader._workers]
    try:
        while True:
            for number, batch in enumerate(loader):
                if number == 1:
                    print("looping", flush=True)
    except KeyboardInterrupt:
        print(json.dumps(pids), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
