#!/usr/bin/python3
# Reads the companion given as the command line the way a screen reader does, on the accessibility
# bus it starts at AT_SPI_BUS_ADDRESS: opens the panel, presses "粘贴" with nothing on the
# clipboard and closes the panel through the buttons' actions, and prints as JSON what it found.
import contextlib, ctypes, json, os, signal, subprocess, sys, time  # noqa: E401
import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

Role, State = Atspi.Role, Atspi.StateType
CONFIG = "--config-file=/usr/share/defaults/at-spi2/accessibility.conf"


def nodes(accessible):
    yield accessible
    for child in map(accessible.get_child_at_index, range(accessible.get_child_count())):
        yield from nodes(child) if child else ()


def text(accessible):
    return Atspi.Text.get_text(accessible, 0, -1)


# Runs the main loop until `found` answers something, at most 30 seconds, and answers that. A
# program that has gone or a node that went while read answers nothing.
def wait(found):
    tick, end, answer = GLib.timeout_add(50, lambda: True), time.monotonic() + 30, None
    while not answer and time.monotonic() < end:
        GLib.MainContext.default().iteration(True)
        with contextlib.suppress(GLib.Error):
            answer = found()
    GLib.source_remove(tick)
    return answer


def find(role, name=""):
    return wait(lambda: next((n for n in nodes(app) if n.get_role() == role
                              and n.get_name().startswith(name)), None))


def state(accessible, *states):
    return [accessible.get_state_set().contains(s) for s in states]


def heard(event):  # what the status bar gains is what a screen reader announces
    with contextlib.suppress(GLib.Error):
        if event.source.get_role() == Role.STATUS_BAR:
            announced.append(text(event.any_data))


# The bus and the program end with this script, however it ends; the bus says its address once it
# listens, and what it starts (the registry) outlives it, so not with the caller's output. The web
# process learns of listeners when it starts, so the listener is there first.
def start(*command, **how):
    die = lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # noqa: E731
    return subprocess.Popen(command, preexec_fn=die, **how)


for switch in ("GTK_A11Y", "NO_AT_BRIDGE"):  # the test session turns accessibility off
    os.environ.pop(switch, None)
bus = start("dbus-daemon", "--nofork", "--print-address", CONFIG,
            "--address=" + os.environ["AT_SPI_BUS_ADDRESS"], stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
bus.stdout.readline()
announced, found, listener = [], {}, Atspi.EventListener.new(heard)
listener.register("object:children-changed:add")
companion = start(*sys.argv[1:], stdout=subprocess.DEVNULL)
try:
    desktop = Atspi.get_desktop(0)
    app = wait(lambda: next((a for a in nodes(desktop) if a.get_name() == "quillo-companion"), None))
    figure = find(Role.PUSH_BUTTON, "展开 Quillo")
    found["figure"] = [figure.get_name(), *state(figure, State.EXPANDABLE, State.EXPANDED)]
    figure.do_action(0)
    diary, _ = find(Role.LANDMARK, "日记正文"), find(Role.LIST_ITEM)
    found["diary"] = [diary.get_name(), *state(diary, State.FOCUSABLE),
                      sum(n.get_role() == Role.LIST_ITEM for n in nodes(diary))]
    found["message"] = text(find(Role.STATUS_BAR).get_child_at_index(0))
    before = len(announced)
    find(Role.PUSH_BUTTON, "粘贴").do_action(0)
    found["announced"] = wait(lambda: announced[before:])
    field = find(Role.ENTRY, "连接令牌")
    found["field"] = [field.get_description(), *state(field, State.INVALID_ENTRY)]
    find(Role.PUSH_BUTTON, "收起").do_action(0)
    found["closed"] = find(Role.PUSH_BUTTON, "展开 Quillo，").get_name()
finally:
    # Waited for, so that the next test's companion does not meet this one's name on the bus.
    for process in (companion, bus):
        process.terminate()
        process.wait()
    print(json.dumps(found, ensure_ascii=False))
