#!/usr/bin/python3
"""A file system that stops answering, as a share whose server is gone: it serves the
folder SOURCE at MOUNTPOINT, and while the file HOLD exists, every answer waits until it
is removed. While the file HOLD.after-listing exists, the share stops right after it
listed a folder: once each entry was looked at, the next look at that folder itself
makes HOLD. Runs in the foreground
until it is unmounted or stopped."""
import errno
import os
import sys
import time

import fusepy


class Stalling(fusepy.Operations):
    def __init__(self, source, hold):
        self.source = source
        self.hold = hold
        self.listed = None  # the folder listed last, while HOLD.after-listing exists
        self.unseen = set()  # its entries that were not looked at since

    def _path(self, path):
        self._wait()
        return os.path.join(self.source, path.lstrip("/"))

    def _wait(self):
        while os.path.exists(self.hold):
            time.sleep(0.05)

    def getattr(self, path, fh=None):
        # (The lister looks at each entry it was given, through the folder's path.)
        if self.listed is not None and os.path.dirname(path) == self.listed:
            self.unseen.discard(os.path.basename(path))
        elif path == self.listed and not self.unseen:
            self.listed = None
            open(self.hold, "w").close()
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise fusepy.FuseOSError(e.errno)
        return {k: getattr(st, k) for k in ("st_mode", "st_size", "st_uid", "st_gid", "st_nlink",
                                             "st_atime", "st_mtime", "st_ctime")}

    def readdir(self, path, fh):
        names = [".", ".."] + os.listdir(self._path(path))
        if os.path.exists(self.hold + ".after-listing"):
            os.remove(self.hold + ".after-listing")
            self.listed = path
            self.unseen = set(names[2:])
        return names

    def open(self, path, flags):
        return os.open(self._path(path), os.O_RDONLY)

    def read(self, path, size, offset, fh):
        self._wait()
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)
        return 0

    def statfs(self, path):
        self._wait()
        return {"f_bsize": 4096, "f_blocks": 1024, "f_bavail": 512, "f_bfree": 512, "f_namemax": 255}


if __name__ == "__main__":
    source, mountpoint, hold = sys.argv[1:4]
    # Attributes are not cached, so that every look at the share asks it.
    fusepy.FUSE(Stalling(os.path.abspath(source), hold), mountpoint, foreground=True, nothreads=False,
                attr_timeout=0, entry_timeout=0, fsname="kv-share")
