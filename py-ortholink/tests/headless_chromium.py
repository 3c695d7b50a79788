"""A small DevTools-protocol driver for Debian's headless Chromium, for the viewer tests."""

from __future__ import annotations

import base64
import itertools
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from typing import Any

FLAGS = [
    "--headless=new",
    "--no-sandbox",  # as root the browser exits at once without it
    "--disable-gpu",
    "--use-gl=angle",
    "--use-angle=swiftshader",
    "--enable-unsafe-swiftshader",
    "--disable-dev-shm-usage",
    "--window-size=1280,800",
    "--remote-debugging-address=127.0.0.1",
    "--remote-debugging-port=0",
]


def find_chromium() -> str | None:
    for name in ("chromium", "chromium-headless-shell", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless Chromium in its own process group, ended with the group."""

    def __init__(self, executable: str, timeout: float = 30.0) -> None:
        import websocket

        self._profile = tempfile.mkdtemp(prefix="ortholink-chromium-")
        self._process = subprocess.Popen(
            [executable, *FLAGS, f"--user-data-dir={self._profile}", "about:blank"],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,  # the wrapper script does not hand over the browser's id
        )
        self._ids = itertools.count(1)
        port_file = os.path.join(self._profile, "DevToolsActivePort")
        deadline = time.monotonic() + timeout
        while True:
            if os.path.exists(port_file):
                lines = open(port_file).read().split("\n")
                if len(lines) >= 2 and lines[1]:
                    break
            if time.monotonic() > deadline or self._process.poll() is not None:
                self.close()
                raise RuntimeError("headless Chromium did not start")
            time.sleep(0.1)
        url = f"ws://127.0.0.1:{lines[0].strip()}{lines[1].strip()}"
        self._socket = websocket.create_connection(url, suppress_origin=True, timeout=timeout)
        target = self._call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self._session = self._call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def _call(self, method: str, params: dict[str, Any] | None = None, session: str | None = None) -> Any:
        message_id = next(self._ids)
        message: dict[str, Any] = {"id": message_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self._socket.send(json.dumps(message))
        while True:
            reply = json.loads(self._socket.recv())
            if reply.get("id") == message_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def page(self, method: str, params: dict[str, Any] | None = None) -> Any:
        return self._call(method, params, self._session)

    def navigate(self, url: str) -> None:
        self.page("Page.enable")
        self.page("Page.navigate", {"url": url})

    def evaluate(self, expression: str) -> Any:
        result = self.page("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result.get("result", {}).get("value")

    def wait_for_text(self, text: str, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            body = self.evaluate("document.body ? document.body.innerText : ''") or ""
            if text in body:
                return True
            time.sleep(0.25)
        return False

    def canvas_png(self) -> bytes | None:
        """The largest canvas of the page as PNG bytes (viser keeps its drawing buffer)."""
        data = self.evaluate(
            "(() => { const c = [...document.querySelectorAll('canvas')]"
            ".sort((a, b) => b.width * b.height - a.width * a.height)[0];"
            " return c ? c.toDataURL('image/png') : null; })()"
        )
        if not data or "," not in data:
            return None
        return base64.b64decode(data.split(",", 1)[1])

    def screenshot(self) -> bytes:
        """The whole page (canvas, panels and overlays) as PNG bytes."""
        return base64.b64decode(self.page("Page.captureScreenshot", {"format": "png"})["data"])

    def close(self) -> None:
        socket = getattr(self, "_socket", None)
        if socket is not None:
            try:
                socket.close()
            except Exception:
                pass
        try:
            os.killpg(self._process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self._process.pid, signal.SIGKILL)
            self._process.wait()
        shutil.rmtree(self._profile, ignore_errors=True)

    def __enter__(self) -> Browser:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def colourful_pixels(png: bytes) -> int:
    """Pixels whose channels differ by more than 80: coloured links, not grid, page or background."""
    import io

    import numpy as np
    from PIL import Image

    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).astype(np.int16)
    spread = image.max(axis=2) - image.min(axis=2)
    return int((spread > 80).sum())
