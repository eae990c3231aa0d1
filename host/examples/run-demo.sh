#!/bin/sh
# standin-proxy in front of a private nginx, with the example service
# plug-in: one URL answered by the plug-in, one fetched from the origin.
# Everything runs on loopback from a temporary directory; both programs are
# stopped by their pids.
#
#     host/examples/run-demo.sh [BUILD]      (default build/dev)
set -eu
build=${1:-build/dev}
d=$(mktemp -d)
trap 'kill $proxy $origin 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$d"' EXIT
mkdir -p "$d/html" "$d/tmp"
echo "plain page from nginx" > "$d/html/page.txt"
cat > "$d/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1; pid $d/nginx.pid;
error_log $d/nginx-error.log;
events { worker_connections 64; }
http { access_log off; client_body_temp_path $d/tmp; proxy_temp_path $d/tmp;
  fastcgi_temp_path $d/tmp; uwsgi_temp_path $d/tmp; scgi_temp_path $d/tmp;
  types { text/plain txt; }
  server { listen 127.0.0.1:18480; root $d/html; } }
CONF
/usr/sbin/nginx -p "$d" -c "$d/nginx.conf" -e "$d/nginx-error.log" &
origin=$!
cat > "$d/proxy.conf" <<CONF
ListenPort 18481
ServicePlugin http://* $build/host/hello_service.so hello_service
CONF
"$build/host/standin-proxy" --config "$d/proxy.conf" &
proxy=$!
sleep 1
echo "--- answered by the service plug-in:"
curl -s -i -x http://127.0.0.1:18481 http://127.0.0.1:18480/hello
echo "--- passed through from nginx:"
curl -s -i -x http://127.0.0.1:18481 http://127.0.0.1:18480/page.txt
