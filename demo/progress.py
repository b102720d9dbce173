"""A one-line progress bar on standard error."""
import time


class Progress:
    """Redraws one line in place, at most ten times a second; silent when disabled."""

    WIDTH = 30

    def __init__(self, total, stream, enabled):
        self.total = max(total, 1)
        self.stream = stream
        self.enabled = enabled
        self.last = 0.0
        self.drawn = False

    def update(self, done, label):
        if not self.enabled:
            return
        now = time.monotonic()
        if done < self.total and now - self.last < 0.1:
            return
        self.last = now
        filled = self.WIDTH * done // self.total
        bar = "#" * filled + "." * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {100 * done // self.total:3d}% {done:,}/{self.total:,} rows: {label}\x1b[K")
        self.stream.flush()
        self.drawn = True

    def finish(self):
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False
