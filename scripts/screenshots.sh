#!/usr/bin/env bash
# Pictures of the window for docs/: builds the program, starts a converter echo
# (socat) and a local mosquitto, writes a sample config.cfg (a pass-through
# port to the echo, an IP485 port to a closed port, an MQTT port to the
# broker) and runs the program's window through the screenshot tool under Xvfb
# with ORVANE_SCREENSHOTS set: it saves the main window and the editor's pages and ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
[ -n "${ORVANE_SKIP_BUILD:-}" ] || bash scripts/build.sh release

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
echo_port="$(free_port)"
broker_port="$(free_port)"
closed_port="$(free_port)"

socat "TCP-LISTEN:${echo_port},bind=127.0.0.1,reuseaddr,fork" EXEC:cat &
pids+=($!)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)

mkdir -p "$work/data" "$work/ports" "$work/runtime" "$work/shots"
chmod 700 "$work/runtime"
cat >"$work/data/config.cfg" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<Orvane Description="Orvane config file">
  <Port ComName="COM3" IpAddress="127.0.0.1" PortNumber="${echo_port}" LineNumber="0" Protocol="Сквозной режим" ReadPacketTimeout="0" ReadIntervalTimeout="4" Header="" Comment="" isRealPort="0" RealPortBaudRate="7" RealPortBitData="3" RealPortParityBits="0" RealPortStopBits="0" RealPortTunnelMode="0" MqttHost="" MqttTopic="/Orvane/Xq81Lm" MqttUserName="" MqttPassword="" MqttSecurityKey="12345"/>
  <Port ComName="COM4" IpAddress="127.0.0.1" PortNumber="${closed_port}" LineNumber="1" Protocol="IP485(MX40L/R510/R52)" ReadPacketTimeout="0" ReadIntervalTimeout="4" Header="Счётчики, корпус 2" Comment="" isRealPort="0" RealPortBaudRate="7" RealPortBitData="3" RealPortParityBits="0" RealPortStopBits="0" RealPortTunnelMode="0" MqttHost="" MqttTopic="/Orvane/Pw20Zk" MqttUserName="" MqttPassword="" MqttSecurityKey="23456"/>
  <Port ComName="COM5" IpAddress="127.0.0.1" PortNumber="0" LineNumber="0" Protocol="MQTT" ReadPacketTimeout="0" ReadIntervalTimeout="4" Header="" Comment="" isRealPort="0" RealPortBaudRate="7" RealPortBitData="3" RealPortParityBits="0" RealPortStopBits="0" RealPortTunnelMode="0" MqttHost="127.0.0.1:${broker_port}" MqttTopic="/Orvane/Ab3xY9" MqttUserName="" MqttPassword="" MqttSecurityKey="34567"/>
</Orvane>
XML

# Some traffic for the pass-through port's log once its port exists (the
# bytes wait in the port until its converter is connected).
(
  for _ in $(seq 100); do [ -L "$work/ports/COM3" ] && break; sleep 0.1; done
  printf 'AT+VER?\r\n' | socat -u - "FILE:$work/ports/COM3,raw,echo=0" 2>/dev/null || true
) &
pids+=($!)

XDG_RUNTIME_DIR="$work/runtime" ORVANE_SCREENSHOTS="$work/shots" \
  xvfb-run -a -s "-screen 0 1280x800x24" \
  "$root/build/release/tools/screenshots/orvane_screenshots" --data-dir "$work/data" --port-dir "$work/ports"
# Again on a small screen, for the window as it fits there.
mkdir -p "$work/small"
XDG_RUNTIME_DIR="$work/runtime" ORVANE_SCREENSHOTS="$work/small" \
  xvfb-run -a -s "-screen 0 800x600x24" \
  "$root/build/release/tools/screenshots/orvane_screenshots" --data-dir "$work/data" --port-dir "$work/ports"

mkdir -p docs
cp "$work/shots/"*.png docs/
cp "$work/small/main-window.png" docs/main-window-800x600.png
ls -l docs/*.png
