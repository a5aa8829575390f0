"""Where the engine's output goes: the running IPython shell when there is one (cell output,
rich display, the next input cell), else the terminal."""
import html as _html
import re
import sys

from . import _engine


def _shell():
    try:
        from IPython import get_ipython
    except ImportError:
        return None
    return get_ipython()


def _rich():
    """True inside a kernel that renders HTML and images (a notebook, not a plain IPython
    terminal)."""
    shell = _shell()
    return shell is not None and getattr(shell, "kernel", None) is not None


_TAGS = re.compile(r"<[^>]+>")


class NotebookHost:
    def print(self, text, end_line=True):
        sys.stdout.write(text + ("\n" if end_line else ""))
        sys.stdout.flush()  # status lines appear while the request is still running

    def display_html(self, html):
        if _rich():
            from IPython.display import HTML, display

            display(HTML(html))
            return
        text = _html.unescape(_TAGS.sub(" ", html))
        text = "\n".join(line.strip() for line in text.splitlines() if line.strip())
        self.print(text)

    def display_image(self, data, mime):
        if _rich():
            from IPython.display import Image, display

            display(Image(data=data, format=mime.split("/")[-1]))
            return
        self.print(f"[image: {mime}, {len(data)} bytes]")

    def display_json(self, value):
        if _rich():
            from IPython.display import display

            display(value)
            return
        self.print(repr(value))

    def set_next_input(self, code):
        shell = _shell()
        if shell is not None and hasattr(shell, "set_next_input"):
            shell.set_next_input(code, replace=False)
            return
        self.print("# ---- code ----\n" + code)

    def print_error(self, text):
        sys.stderr.write(text if text.endswith("\n") else text + "\n")
        sys.stderr.flush()


_engine.set_host(NotebookHost())
