# Nautilus extension (nautilus-python): "Send with Quorvane" in the context menu of local files,
# handing them to the running copy with `quorvane --send FILE...`.

import os
import subprocess
import sys
import threading

from gi.repository import GObject, Nautilus


def _local_file_path(info):
    """The path of a local regular file as bytes, or None for anything else."""
    if info.get_uri_scheme() != "file" or info.is_directory():
        return None
    location = info.get_location()
    path = location.get_path() if location is not None else None
    if not path:
        return None
    path = os.fsencode(path)
    return path if os.path.isfile(path) else None


def _send(_item, paths):
    # No shell: names reach the program byte for byte. The new session keeps it out of Nautilus's
    # process group; a thread reaps it so that no zombie stays behind.
    try:
        child = subprocess.Popen([b"quorvane", b"--send", *paths], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, close_fds=True, start_new_session=True)
    except OSError as error:
        print(f"quorvane-send: cannot start quorvane: {error}", file=sys.stderr)
        return
    threading.Thread(target=child.wait, daemon=True).start()


class QuorvaneSendExtension(GObject.GObject, Nautilus.MenuProvider):
    # Nautilus 43+ (API 4.0) calls get_file_items(files), older ones (window, files).
    def get_file_items(self, *args):
        files = args[-1]
        if not files:
            return []
        paths = [_local_file_path(info) for info in files]
        if None in paths:
            return []
        item = Nautilus.MenuItem(name="QuorvaneSendExtension::Send", label="Send with Quorvane",
                                 tip="Send the selected files to a user on the local network",
                                 icon="quorvane")
        item.connect("activate", _send, paths)
        return [item]
