#!/usr/bin/env bash
# Renders the README's pictures with the real companion's snapshot mode, under a throwaway
# desktop session (Xvfb, D-Bus, keyring) and a throwaway home holding a sample diary; and a strip
# of the figure's walk, pose by pose.
set -euo pipefail
build=${1:-build}
out=${2:-docs/screenshots}
root=$(pwd)
exe="$root/$build/src/app/quillo-companion"
server="$root/$build/tools/quillo-review-server"
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [[ "${QUILLO_SCREENSHOT_SESSION:-}" != 1 ]]; then
  QUILLO_SCREENSHOT_SESSION=1 exec tests/with-desktop-session.sh "$0" "$@"
fi

day=$(date +%F); year=${day:0:4}
write_diary() {
  mkdir -p "$HOME/Documents/Quillo/kiln/daily/$year" "$HOME/Documents/Quillo/tansy-work/daily/$year"
  cat > "$HOME/Documents/Quillo/kiln/daily/$year/$day.md" <<'MD'
## 今天做了什么
把周报的数据整理成了表格。修好了导出时日期错位的问题！和设计同事对了一遍新首页的交互稿。

## 今天学到了什么
表格导出前先统一时区，能省掉很多麻烦。
MD
  cat > "$HOME/Documents/Quillo/tansy-work/daily/$year/$day.md" <<'MD'
## 今天做了什么
- 回复了三封客户邮件。
- 预约了下周二的牙医；顺手把保险单归档了。
MD
}
shot() {  # name, expanded (0/1), the desktop's text scale (default 1)
  rm -f "$out/$1.png"
  GDK_DPI_SCALE=${3:-1} QUILLO_CAPTURE_PATH="$out/$1.png" QUILLO_CAPTURE_EXPANDED=$2 \
    timeout 60 "$exe" || true
  rm -f "$XDG_CONFIG_HOME/QuilloCompanion/defaults.ini"
  [[ -s "$out/$1.png" ]] && echo "wrote $out/$1.png" || echo "no picture for $1" >&2
}
token() {
  printf 'qlo_live_%s' "$(head -c 64 /dev/urandom | base64 | tr -dc A-Za-z0-9 | head -c 40)"
}

shot empty 1
write_diary
shot collapsed 0
# GNOME's Large Text is 1.25: WebKit zooms the page by the text scale, the window keeps its size.
for scale in 1 1.25 1.5; do
  suffix=; [[ $scale == 1 ]] || suffix=@$scale
  shot "diary$suffix" 1 "$scale"
done

# Connected to a server that never answers: the upload two seconds after loading is under way.
tok=$(token)
printf '%s' "$tok" | secret-tool store --label="Quillo agent token" service app.quillo.companion account agent-token
printf '%s\n' "$tok" > "$XDG_RUNTIME_DIR/tokens"
"$server" --port 0 --tokens "$XDG_RUNTIME_DIR/tokens" --stall --quiet > "$XDG_RUNTIME_DIR/server.out" &
server_pid=$!
for _ in $(seq 100); do grep -q listening "$XDG_RUNTIME_DIR/server.out" 2>/dev/null && break; sleep 0.05; done
api=$(sed -n 's/^listening on //p' "$XDG_RUNTIME_DIR/server.out")
for scale in 1 1.25 1.5; do
  suffix=; [[ $scale == 1 ]] || suffix=@$scale
  QUILLO_API_URL=$api shot "syncing$suffix" 1 "$scale"
done
kill "$server_pid" 2>/dev/null || true

# Connected, but nothing written today: the upload is refused before anything is sent.
rm -rf "$HOME/Documents/Quillo"
shot nothing-to-sync 1
secret-tool clear service app.quillo.companion account agent-token

# The page's own walk in a web view at twice the size: the poses it takes, recorded, then set again
# one by one and the window taken with each; the pictures side by side.
GDK_SCALE=2 /usr/bin/python3 - "$root/$build/QuilloCompanion_QuilloCompanion.bundle/index.html" \
  "$out/walk-poses.png" <<'PY'
import json
import sys
import gi
gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
gi.require_version("WebKit2", "4.1")
from gi.repository import Gdk, GdkPixbuf, GLib, Gtk, WebKit2  # noqa: E402

page, target = sys.argv[1:]
window, view, pictures = Gtk.Window(), WebKit2.WebView(), []
view.set_size_request(64, 64)
window.add(view)
window.show_all()
RECORD = """{ const f = document.getElementById('figure'), poses = [];
new MutationObserver(() => f.dataset.pose ? poses.push(f.dataset.pose)
    : window.webkit.messageHandlers.walked.postMessage(JSON.stringify(poses)))
    .observe(f, {attributes: true, attributeFilter: ['data-pose']});
window.quilloWalk(1.0); }"""
SET = "{ const f = document.getElementById('figure'); f.classList.add('walk-right'); f.dataset.pose = %s; }"


def show(poses):
    if pictures:
        pictures[-1] = Gdk.pixbuf_get_from_window(view.get_window(), 0, 0, 64, 64)
    if not poses:
        return Gtk.main_quit()
    view.run_javascript(SET % json.dumps(poses[0]), None, None, None)
    pictures.append(None)
    GLib.timeout_add(300, lambda: show(poses[1:]))


content = view.get_user_content_manager()
content.register_script_message_handler("walked")
content.connect("script-message-received::walked",
                lambda _, result: show(json.loads(result.get_js_value().to_string())))
view.connect("load-changed", lambda _, event: event == WebKit2.LoadEvent.FINISHED and
             GLib.timeout_add(500, lambda: view.run_javascript(RECORD, None, None, None)))
view.load_uri(GLib.filename_to_uri(page))
GLib.timeout_add(10000, Gtk.main_quit)
Gtk.main()
strip = GdkPixbuf.Pixbuf.new(GdkPixbuf.Colorspace.RGB, False, 8, len(pictures) * 136 + 8, 136)
strip.fill(0xfffcf7ff)
for i, picture in enumerate(pictures):
    picture.copy_area(0, 0, 128, 128, strip, 8 + i * 136, 4)
strip.savev(target, "png", [], [])
print(f"wrote {target} ({len(pictures)} poses)")
PY
