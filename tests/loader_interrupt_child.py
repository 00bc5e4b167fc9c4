"""A child process for test_loader.py: a training loop over a SeedLoader with
two workers, stopped by Ctrl+C as a terminal sends it (SIGINT to the whole
process group). Prints "looping" once batches flow, then, on
KeyboardInterrupt, the worker pids as a JSON line, and exits.

    python loader_interrupt_child.py GRAPH_DIRECTORY
"""

import json
import sys

from helpers import loader_for
from test_loader import slow


def main(directory):
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
    main(sys.argv[1])
