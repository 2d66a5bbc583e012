#!/usr/bin/env bash
# Starts or stops a private nginx on a loopback port for tests and demos.
#
#   nginx-server.sh start STATE_DIR ROOT_DIR [EXTRA_CONF_FILE]
#       writes STATE_DIR/nginx.conf, starts nginx serving ROOT_DIR and prints
#       the port. STATE_DIR/access.log gets one line per request:
#       "$request" "$http_user_agent" $status
#       and STATE_DIR/bytes.log one line per request with the body's size:
#       $body_bytes_sent $status "$request" "$http_range"
#       EXTRA_CONF_FILE, if given, is included inside the server block.
#   nginx-server.sh stop STATE_DIR
set -euo pipefail

NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}

free_port() {
  /usr/bin/python3.11 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

case "${1:-}" in
  start)
    state=$(realpath -m "$2"); root=$(realpath -m "$3"); extra=${4:-}
    mkdir -p "$state/tmp"
    include=""
    [ -n "$extra" ] && include="include $(realpath "$extra");"
    for attempt in 1 2 3 4 5; do
      port=$(free_port)
      cat > "$state/nginx.conf" <<CONF
daemon on;
master_process off;
worker_processes 1;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 256; }
http {
  access_log off;
  log_format plain '"\$request" "\$http_user_agent" \$status';
  log_format bytes '\$body_bytes_sent \$status "\$request" "\$http_range"';
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  types { text/plain txt; application/octet-stream dat exe; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $root;
    access_log $state/access.log plain;
    access_log $state/bytes.log bytes;
    location = /patch_download { return 200 "ok\n"; }
    $include
  }
}
CONF
      : > "$state/access.log"
      : > "$state/bytes.log"
      if "$NGINX" -p "$state" -c "$state/nginx.conf" 2>>"$state/error.log"; then
        for _ in $(seq 1 100); do
          if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then echo "$port"; exit 0; fi
          sleep 0.05
        done
      fi
    done
    echo "nginx-server.sh: nginx did not start (see $state/error.log)" >&2
    exit 1
    ;;
  stop)
    state=$(realpath -m "$2")
    if [ -f "$state/nginx.pid" ]; then
      pid=$(cat "$state/nginx.pid")
      kill -TERM "$pid" 2>/dev/null || true
      # Gone, or a zombie waiting for init to collect it.
      for _ in $(seq 1 100); do
        [ -r "/proc/$pid/stat" ] || exit 0
        case "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" in Z|X|"") exit 0 ;; esac
        sleep 0.02
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    ;;
  *)
    echo "usage: $0 start STATE_DIR ROOT_DIR [EXTRA_CONF] | stop STATE_DIR" >&2
    exit 2
    ;;
esac
