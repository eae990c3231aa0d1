#!/bin/sh
# standin-proxy in front of a private nginx, with the example service
# plug-in and the rewriting transmogrifier: one URL answered by the service
# plug-in, one page rewritten on its way ("origin" becomes "proxy", with a
# Warning 214 and no Content-Length), and the same page passed plain.
# Everything runs on loopback from a temporary directory; both programs are
# stopped by their pids when the script ends.
#
#     host/examples/run-demo.sh [BUILD]      (default build/dev)
set -eu
build=${1:-build/dev}
d=$(mktemp -d)
proxy= origin=
stop() {
    for pid in $proxy $origin; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$d"
}
trap stop EXIT
mkdir -p "$d/html/rewrite" "$d/tmp"
echo "a page from the origin server" > "$d/html/page.txt"
cp "$d/html/page.txt" "$d/html/rewrite/page.txt"
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
AccessLog off
ServicePlugin http://* $build/host/hello_service.so hello_service
TransmogrifierPlugin http://*/rewrite/* $build/host/word_mogrify.so word_open word_write word_close word_error
CONF
"$build/host/standin-proxy" --config "$d/proxy.conf" &
proxy=$!
sleep 1
echo "--- answered by the service plug-in:"
curl -s -i -x http://127.0.0.1:18481 http://127.0.0.1:18480/hello
echo "--- rewritten by the transmogrifier:"
curl -s -i -x http://127.0.0.1:18481 http://127.0.0.1:18480/rewrite/page.txt
echo "--- passed plain from nginx:"
curl -s -i -x http://127.0.0.1:18481 http://127.0.0.1:18480/page.txt
