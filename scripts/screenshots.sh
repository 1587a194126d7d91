#!/usr/bin/env bash
# Renders the README's pictures with the real companion's snapshot mode, under a throwaway
# desktop session (Xvfb, D-Bus, keyring) and a throwaway home holding a sample diary.
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
shot() {  # name, expanded (0/1)
  rm -f "$out/$1.png"
  QUILLO_CAPTURE_PATH="$out/$1.png" QUILLO_CAPTURE_EXPANDED=$2 timeout 60 "$exe" || true
  rm -f "$XDG_CONFIG_HOME/QuilloCompanion/defaults.ini"
  [[ -s "$out/$1.png" ]] && echo "wrote $out/$1.png" || echo "no picture for $1" >&2
}
token() {
  printf 'qlo_live_%s' "$(head -c 64 /dev/urandom | base64 | tr -dc A-Za-z0-9 | head -c 40)"
}

shot empty 1
write_diary
shot collapsed 0
shot diary 1

# Connected to a server that never answers: the upload two seconds after loading is under way.
tok=$(token)
printf '%s' "$tok" | secret-tool store --label="Quillo agent token" service app.quillo.companion account agent-token
printf '%s\n' "$tok" > "$XDG_RUNTIME_DIR/tokens"
"$server" --port 0 --tokens "$XDG_RUNTIME_DIR/tokens" --stall --quiet > "$XDG_RUNTIME_DIR/server.out" &
server_pid=$!
for _ in $(seq 100); do grep -q listening "$XDG_RUNTIME_DIR/server.out" 2>/dev/null && break; sleep 0.05; done
QUILLO_API_URL=$(sed -n 's/^listening on //p' "$XDG_RUNTIME_DIR/server.out") shot syncing 1
kill "$server_pid" 2>/dev/null || true

# Connected, but nothing written today: the upload is refused before anything is sent.
rm -rf "$HOME/Documents/Quillo"
shot nothing-to-sync 1
secret-tool clear service app.quillo.companion account agent-token
